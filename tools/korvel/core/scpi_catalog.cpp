#include "core/scpi_catalog.h"

#include <algorithm>
#include <cctype>

namespace korvel::cli {
namespace {

constexpr ScpiHelp kCatalog[] = {
    {"*IDN?", "meter identification (maker, model, serial number, firmware)"},
    {"*OPT?", "probe identification"},
    {"*CLS", "clear the event registers"},
    {"*ESE <0-255>", "set the standard event enable mask (*ESE? reads it)"},
    {"*ESE?", "read the standard event enable mask"},
    {"*ESR?", "read and clear the standard event register"},
    {"*OPC", "raise the operation-complete event (*OPC? also answers 1;)"},
    {"*OPC?", "answer 1; when the line is done"},
    {"*SRE <0-255>", "set the service request enable mask"},
    {"*SRE?", "read the service request enable mask"},
    {"*STB?", "read the status byte"},
    {":MEAS:FLUX?", "take a reading, formatted with its unit (e.g. 123.4G)"},
    {":UNIT:FLUX?", "read the unit and AC/DC mode (e.g. DC GAUSS)"},
    {":UNIT:FLUX:DC:GAUS", "measure DC in gauss"},
    {":UNIT:FLUX:DC:TESL", "measure DC in tesla"},
    {":UNIT:FLUX:DC:AM", "measure DC in ampere per metre"},
    {":UNIT:FLUX:AC:GAUS", "measure AC in gauss"},
    {":UNIT:FLUX:AC:TESL", "measure AC in tesla"},
    {":UNIT:FLUX:AC:AM", "measure AC in ampere per metre"},
    {":SENS:FLUX:RANG <0-2>", "select the range (0 is the finest)"},
    {":SENS:FLUX:RANG?", "read the range"},
    {":SENS:FLUX:RANG:AUT <0-1>", "switch auto-range off or on"},
    {":SENS:HOLD:STAT <0-3>", "set the hold mode (0 off)"},
    {":SENS:HOLD:STAT?", "read the hold mode"},
    {":SENS:HOLD:RES", "release the held value"},
    {":SYST:ERR?", "take the oldest entry off the error queue (0, NO ERROR when empty)"},
    {":SYST:CLE", "empty the error queue"},
    {":SYST:AZER", "auto-zero the probe"},
    {":SYST:AREL:STAT <0-2>", "set the relative mode (0 off)"},
    {":SYST:AREL:STAT?", "read the relative mode"},
    {":SYST:OUT <0-2>", "set the analog output mode"},
    {":SYST:KLOC <0-1>", "unlock or lock the keypad"},
    {":STAT:PRES", "clear every enable register"},
    {":STAT:MEAS:EVEN?", "read and clear the measurement event register"},
    {":STAT:MEAS:ENAB <0-255>", "set the measurement enable mask (:ENAB? reads it)"},
    {":STAT:MEAS:COND?", "read the measurement condition register"},
    {":STAT:OPER:EVEN?", "read and clear the operation event register"},
    {":STAT:OPER:ENAB <0-255>", "set the operation enable mask (:ENAB? reads it)"},
    {":STAT:OPER:COND?", "read the operation condition register"},
    {":STAT:QUES:EVEN?", "read and clear the questionable event register"},
    {":STAT:QUES:ENAB <0-255>", "set the questionable enable mask (:ENAB? reads it)"},
    {":STAT:QUES:COND?", "read the questionable condition register"},
    {":DIAG:REC", "service: recalibrate", true},
    {":DIAG:MUX:CURR", "service: name of the multiplexer current setting", true},
    {":DIAG:MUX:RANG <0-6>", "service: select the diagnostic multiplexer range", true},
    {":DIAG:MUX:AMP <0-1>", "service: select the amplifier input", true},
    {":DIAG:DAT:DAC <0-3> <0-65535>", "service: load a DAC", true},
    {":DIAG:DAT:EEPR? <address>", "service: read one memory byte"},
    {":DIAG:DAT:EEPR <address> <0-255>", "service: WRITE one memory byte (calibration lives there)", true},
    {":DIAG:DAT:ADC?", "service: read the raw converter"},
    {":DIAG:DAT:PROB? <0-255>", "service: read one byte of the probe's data"},
    {":DIAG:DAT:LIM <0-1>", "service: switch the limit setting"},
    {":DIAG:DAT:FREQ?", "service: read the frequency value"},
    {":DIAG:SWV:DRIV", "version of the library's SCPI layer"},
    {":DIAG:MOD <0-1>", "service: switch diagnostic mode", true},
    {":DIAG:PWR <0-1>", "service: switch the power-off timer", true},
};

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::span<const ScpiHelp> scpiCatalog() { return kCatalog; }

std::string_view scpiKeyword(const ScpiHelp& entry) {
    const std::string_view command(entry.command);
    return command.substr(0, command.find(' '));
}

std::vector<std::string> completeScpi(std::string_view typed) {
    const std::string prefix = upper(typed);
    std::vector<std::string> matches;
    for (const ScpiHelp& entry : kCatalog) {
        const std::string_view keyword = scpiKeyword(entry);
        if (!keyword.starts_with(prefix)) continue;
        // Stop at the next level, so ":S" offers ":SENS", ":SYST", ":STAT".
        const size_t next = keyword.find(':', prefix.size() + 1);
        matches.emplace_back(keyword.substr(0, next == std::string_view::npos ? keyword.size() : next));
    }
    std::sort(matches.begin(), matches.end());
    matches.erase(std::unique(matches.begin(), matches.end()), matches.end());
    return matches;
}

std::string scpiHelpText(std::string_view topic) {
    size_t width = 0;
    for (const ScpiHelp& entry : kCatalog) width = std::max(width, std::string_view(entry.command).size());
    const std::string wanted = upper(topic);
    std::string out;
    for (const ScpiHelp& entry : kCatalog) {
        if (!wanted.empty() && upper(entry.command).find(wanted) == std::string::npos &&
            upper(entry.help).find(wanted) == std::string::npos)
            continue;
        std::string line = entry.command;
        line.resize(width + 2, ' ');
        out += "  " + line + entry.help + "\n";
    }
    if (out.empty()) out = "  no command matches '" + std::string(topic) + "'; 'help' lists them all\n";
    return out;
}

}  // namespace korvel::cli

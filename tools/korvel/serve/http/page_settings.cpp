#include "serve/http/page_settings.h"

#include <algorithm>
#include <array>

namespace korvel::cli::serve::http {
namespace {

// A setting that takes a small number and becomes one command with it.
struct NumberSetting {
    const char* field;
    const char* command;  // followed by " N"
    int highest;
};

constexpr std::array kNumberSettings{
    NumberSetting{"range", ":SENS:FLUX:RANG", 2},
    NumberSetting{"autorange", ":SENS:FLUX:RANG:AUT", 1},
    NumberSetting{"relative", ":SYST:AREL:STAT", 2},
    NumberSetting{"hold", ":SENS:HOLD:STAT", 3},
};

struct Choice {
    const char* text;
    int code;
    const char* keyword;
};

constexpr std::array kUnits{Choice{"G", 0, "GAUS"}, Choice{"T", 1, "TESL"}, Choice{"A/m", 2, "AM"}};
constexpr std::array kAcDc{Choice{"DC", 0, "DC"}, Choice{"AC", 1, "AC"}};

template <size_t N>
const Choice* choose(const std::array<Choice, N>& choices, const std::string& text) {
    for (const Choice& c : choices)
        if (text == c.text) return &c;
    return nullptr;
}

template <size_t N>
const Choice* byCode(const std::array<Choice, N>& choices, int code) {
    for (const Choice& c : choices)
        if (code == c.code) return &c;
    return &choices[0];
}

bool smallNumber(const std::string& text, int highest, int* value) {
    if (text.size() != 1 || text[0] < '0' || text[0] - '0' > highest) return false;
    *value = text[0] - '0';
    return true;
}

SettingLines refuse(std::string why) {
    SettingLines out;
    out.error = std::move(why);
    return out;
}

}  // namespace

SettingLines settingLines(const std::map<std::string, std::string>& fields, PresentUnits present) {
    SettingLines out;
    const auto units = fields.find("units");
    const auto acdc = fields.find("acdc");
    if (units != fields.end() || acdc != fields.end()) {
        const Choice* u = units != fields.end() ? choose(kUnits, units->second) : byCode(kUnits, present.units);
        const Choice* a = acdc != fields.end() ? choose(kAcDc, acdc->second) : byCode(kAcDc, present.acdc);
        if (u == nullptr) return refuse("units must be G, T or A/m");
        if (a == nullptr) return refuse("acdc must be DC or AC");
        out.lines.push_back(std::string(":UNIT:FLUX:") + a->keyword + ":" + u->keyword);
    }
    size_t known = (units != fields.end()) + (acdc != fields.end());
    for (const NumberSetting& setting : kNumberSettings) {
        const auto field = fields.find(setting.field);
        if (field == fields.end()) continue;
        ++known;
        int value = 0;
        if (!smallNumber(field->second, setting.highest, &value))
            return refuse(std::string(setting.field) + " must be 0 to " + std::to_string(setting.highest));
        out.lines.push_back(std::string(setting.command) + " " + std::to_string(value));
        // A range chosen by hand ends auto-ranging.
        if (std::string(setting.field) == "range") out.autoRange = 0;
        if (std::string(setting.field) == "autorange") out.autoRange = value;
    }
    if (const auto reset = fields.find("holdreset"); reset != fields.end()) {
        ++known;
        if (reset->second != "1") return refuse("holdreset must be 1");
        out.lines.push_back(":SENS:HOLD:RES");
    }
    if (known != fields.size()) {
        for (const auto& [name, value] : fields) {
            const bool isKnown = name == "units" || name == "acdc" || name == "holdreset" ||
                                 std::any_of(kNumberSettings.begin(), kNumberSettings.end(),
                                             [&name](const NumberSetting& s) { return name == s.field; });
            if (!isKnown) return refuse("unknown setting \"" + name + "\"");
        }
    }
    if (out.lines.empty()) return refuse("no setting given");
    return out;
}

}  // namespace korvel::cli::serve::http

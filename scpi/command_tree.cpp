// The command tree: static tables, each ending in the catch-all entry. The
// first entry whose compared characters match wins, so order matters where
// keywords are prefixes of one another (":FLUX?" before ":FLUX", ":RANGE:AUT"
// and ":RANG:AUT" before ":RANG"). Each entry carries its own data: a
// single-number command its descriptor, a unit choice its codes, a service
// command its mark.
#include "scpi/handlers.h"
#include "scpi/interpreter.h"
#include "scpi/settings.h"

namespace korvel::scpi {
namespace {

using namespace settings;
constexpr Access kService = Access::Service;

constexpr CommandEntry kCatchAll = command("unknown", unmatchedCommand);

constexpr CommandEntry kSystemRelativeTable[] = {
    command(":STAT", numericSetting, &kRelativeState),
    kCatchAll,
};

constexpr CommandEntry kSystemTable[] = {
    command(":ERR", systemError),
    command(":CLE", systemClear),
    command(":AZER", systemAutoZero),
    node(":AREL", kSystemRelativeTable),
    command(":OUT", numericSetting, &kAnalogOutput),
    command(":KLOC", numericSetting, &kKeypadLockout),
    kCatchAll,
};

template <int Set>
constexpr CommandEntry kRegisterSetTable[] = {
    command(":EVEN", numericSetting, &kEvents<Set>),
    command(":ENAB", numericSetting, &kEnable<Set>),
    command(":COND", numericSetting, &kCondition<Set>),
    kCatchAll,
};

constexpr CommandEntry kStatusTable[] = {
    node(":MEAS", kRegisterSetTable<kMeasurement>),
    node(":OPER", kRegisterSetTable<kOperation>),
    node(":QUES", kRegisterSetTable<kQuestionable>),
    command(":PRES", statusPreset),
    kCatchAll,
};

constexpr CommandEntry kUnitFluxTable[] = {
    command(":AC:GAUS", selectUnits, &kAcGauss),
    command(":AC:TESL", selectUnits, &kAcTesla),
    command(":AC:AM", selectUnits, &kAcAmperePerMetre),
    command(":DC:GAUS", selectUnits, &kDcGauss),
    command(":DC:TESL", selectUnits, &kDcTesla),
    command(":DC:AM", selectUnits, &kDcAmperePerMetre),
    kCatchAll,
};

constexpr CommandEntry kUnitTable[] = {
    command(":FLUX?", unitQuery),
    node(":FLUX", kUnitFluxTable),
    kCatchAll,
};

// Walked from the ":RANG" that follows ":FLUX", so its keywords repeat it.
constexpr CommandEntry kSenseRangeTable[] = {
    // The long form is compared without its last letter, as the command set
    // has always matched it (":RANGE:AU" selects auto-range).
    {":RANGE:AUT", 9, numericSetting, nullptr, &kAutoRange},
    command(":RANG:AUT", numericSetting, &kAutoRange),
    command(":RANG", numericSetting, &kRange),
    kCatchAll,
};

constexpr CommandEntry kSenseTable[] = {
    node(":FLUX:RANG", kSenseRangeTable),
    command(":HOLD:STAT", numericSetting, &kHoldState),
    command(":HOLD:RES", senseHoldReset),
    kCatchAll,
};

constexpr CommandEntry kMeasureTable[] = {
    command(":FLUX?", measureFlux),
    kCatchAll,
};

constexpr CommandEntry kDiagDataTable[] = {
    command(":DAC", diagDac, nullptr, kService),
    command(":EEPR", diagEeprom, nullptr, Access::ServiceUnlessQuery),
    command(":ADC?", diagAdc),
    command(":PROB", diagProbeData),
    command(":LIM", numericSetting, &kLimit),
    command(":FREQ", diagFrequency),
    kCatchAll,
};

constexpr CommandEntry kDiagSoftwareTable[] = {
    command(":DRIV", diagDriverVersion),
    kCatchAll,
};

constexpr CommandEntry kDiagTable[] = {
    command(":REC", diagRecalibrate, nullptr, kService),
    command(":MUX:CURR", diagMuxCurrent, nullptr, kService),
    command(":MUX:RANG", numericSetting, &kMuxRange, kService),
    command(":MUX:AMP", numericSetting, &kMuxAmplifier, kService),
    node(":DAT", kDiagDataTable),
    node(":SWV", kDiagSoftwareTable),
    command(":MOD", numericSetting, &kDiagMode, kService),
    command(":PWR", numericSetting, &kPowerOffTimer, kService),
    kCatchAll,
};

}  // namespace

constexpr CommandEntry kRootTable[] = {
    command("*CLS", clearStatus),
    command("*ESE", numericSetting, &kEnable<kStandardEvent>),
    command("*ESR?", numericSetting, &kStandardEvents),
    command("*IDN?", identify),
    command("*OPC", operationComplete),
    command("*OPT?", options),
    command("*SRE", numericSetting, &kServiceRequestEnable),
    command("*STB?", numericSetting, &kStatusByte),
    rootNode(":SYST", kSystemTable),
    rootNode(":STAT", kStatusTable),
    rootNode(":UNIT", kUnitTable),
    rootNode(":SENS", kSenseTable),
    rootNode(":MEAS", kMeasureTable),
    rootNode(":DIAG", kDiagTable),
    kCatchAll,
};

}  // namespace korvel::scpi

// The command tree: static tables, each ending in the catch-all entry. The
// first entry whose compared characters match wins, so order matters where
// keywords are prefixes of one another (":FLUX?" before ":FLUX", ":RANGE:AUT"
// and ":RANG:AUT" before ":RANG").
#include "scpi/handlers.h"
#include "scpi/interpreter.h"

namespace korvel::scpi {
namespace {

constexpr CommandEntry kCatchAll{"unknown", 7, unmatchedCommand, nullptr};

//  keyword         compared  handler                 child table
constexpr CommandEntry kSystemRelativeTable[] = {
    {":STAT", 5, systemRelativeState, nullptr},
    kCatchAll,
};

constexpr CommandEntry kSystemTable[] = {
    {":ERR", 4, systemError, nullptr},
    {":CLE", 4, systemClear, nullptr},
    {":AZER", 5, systemAutoZero, nullptr},
    {":AREL", 5, nullptr, kSystemRelativeTable},
    {":OUT", 4, systemOutput, nullptr},
    {":KLOC", 5, systemKeypadLockout, nullptr},
    kCatchAll,
};

constexpr CommandEntry kMeasurementStatusTable[] = {
    {":EVEN", 5, measurementEvent, nullptr},
    {":ENAB", 5, measurementEnable, nullptr},
    {":COND", 5, measurementCondition, nullptr},
    kCatchAll,
};

constexpr CommandEntry kOperationStatusTable[] = {
    {":EVEN", 5, operationEvent, nullptr},
    {":ENAB", 5, operationEnable, nullptr},
    {":COND", 5, operationCondition, nullptr},
    kCatchAll,
};

constexpr CommandEntry kQuestionableStatusTable[] = {
    {":EVEN", 5, questionableEvent, nullptr},
    {":ENAB", 5, questionableEnable, nullptr},
    {":COND", 5, questionableCondition, nullptr},
    kCatchAll,
};

constexpr CommandEntry kStatusTable[] = {
    {":MEAS", 5, nullptr, kMeasurementStatusTable},
    {":OPER", 5, nullptr, kOperationStatusTable},
    {":QUES", 5, nullptr, kQuestionableStatusTable},
    {":PRES", 5, statusPreset, nullptr},
    kCatchAll,
};

constexpr CommandEntry kUnitFluxTable[] = {
    {":AC:GAUS", 8, unitAcGauss, nullptr},
    {":AC:TESL", 8, unitAcTesla, nullptr},
    {":AC:AM", 6, unitAcAmperePerMetre, nullptr},
    {":DC:GAUS", 8, unitDcGauss, nullptr},
    {":DC:TESL", 8, unitDcTesla, nullptr},
    {":DC:AM", 6, unitDcAmperePerMetre, nullptr},
    kCatchAll,
};

constexpr CommandEntry kUnitTable[] = {
    {":FLUX?", 6, unitQuery, nullptr},
    {":FLUX", 5, nullptr, kUnitFluxTable},
    kCatchAll,
};

// Walked from the ":RANG" that follows ":FLUX", so its keywords repeat it.
constexpr CommandEntry kSenseRangeTable[] = {
    {":RANGE:AUT", 9, senseAutoRange, nullptr},
    {":RANG:AUT", 9, senseAutoRange, nullptr},
    {":RANG", 5, senseRange, nullptr},
    kCatchAll,
};

constexpr CommandEntry kSenseTable[] = {
    {":FLUX:RANG", 10, nullptr, kSenseRangeTable},
    {":HOLD:STAT", 10, senseHoldState, nullptr},
    {":HOLD:RES", 9, senseHoldReset, nullptr},
    kCatchAll,
};

constexpr CommandEntry kMeasureTable[] = {
    {":FLUX?", 6, measureFlux, nullptr},
    kCatchAll,
};

constexpr CommandEntry kDiagDataTable[] = {
    {":DAC", 4, diagDac, nullptr},
    {":EEPR", 5, diagEeprom, nullptr},
    {":ADC?", 5, diagAdc, nullptr},
    {":PROB", 5, diagProbeData, nullptr},
    {":LIM", 4, diagLimit, nullptr},
    {":FREQ", 5, diagFrequency, nullptr},
    kCatchAll,
};

constexpr CommandEntry kDiagSoftwareTable[] = {
    {":DRIV", 5, diagDriverVersion, nullptr},
    kCatchAll,
};

constexpr CommandEntry kDiagTable[] = {
    {":REC", 4, diagRecalibrate, nullptr},
    {":MUX:CURR", 9, diagMuxCurrent, nullptr},
    {":MUX:RANG", 9, diagMuxRange, nullptr},
    {":MUX:AMP", 8, diagMuxAmplifier, nullptr},
    {":DAT", 4, nullptr, kDiagDataTable},
    {":SWV", 4, nullptr, kDiagSoftwareTable},
    {":MOD", 4, diagMode, nullptr},
    {":PWR", 4, diagPowerOffTimer, nullptr},
    kCatchAll,
};

}  // namespace

constexpr CommandEntry kRootTable[] = {
    {"*CLS", 4, clearStatus, nullptr},
    {"*ESE", 4, eventStatusEnable, nullptr},
    {"*ESR?", 5, eventStatusRegister, nullptr},
    {"*IDN?", 5, identify, nullptr},
    {"*OPC", 4, operationComplete, nullptr},
    {"*OPT?", 5, options, nullptr},
    {"*SRE", 4, serviceRequestEnable, nullptr},
    {"*STB?", 5, statusByte, nullptr},
    {":SYST", 4, nullptr, kSystemTable},
    {":STAT", 4, nullptr, kStatusTable},
    {":UNIT", 4, nullptr, kUnitTable},
    {":SENS", 4, nullptr, kSenseTable},
    {":MEAS", 4, nullptr, kMeasureTable},
    {":DIAG", 4, nullptr, kDiagTable},
    kCatchAll,
};

}  // namespace korvel::scpi

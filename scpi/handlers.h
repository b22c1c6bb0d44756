// Every command handler of the tree (see command_tree.cpp for where each one
// hangs). All have the CommandHandler form of interpreter.h.
#pragma once

#include "scpi/interpreter.h"

namespace korvel::scpi {

// Common commands (common_handlers.cpp).
int clearStatus(Line& line, const char* text, char* piece);           // *CLS
int eventStatusEnable(Line& line, const char* text, char* piece);     // *ESE, *ESE?
int eventStatusRegister(Line& line, const char* text, char* piece);   // *ESR?
int identify(Line& line, const char* text, char* piece);              // *IDN?
int operationComplete(Line& line, const char* text, char* piece);     // *OPC, *OPC?
int options(Line& line, const char* text, char* piece);               // *OPT?
int serviceRequestEnable(Line& line, const char* text, char* piece);  // *SRE, *SRE?
int statusByte(Line& line, const char* text, char* piece);            // *STB?

// :SYST (common_handlers.cpp).
int systemError(Line& line, const char* text, char* piece);           // :ERR
int systemClear(Line& line, const char* text, char* piece);           // :CLE
int systemAutoZero(Line& line, const char* text, char* piece);        // :AZER
int systemRelativeState(Line& line, const char* text, char* piece);   // :AREL:STAT
int systemOutput(Line& line, const char* text, char* piece);          // :OUT
int systemKeypadLockout(Line& line, const char* text, char* piece);   // :KLOC

// :STAT (common_handlers.cpp): one handler per register set and register.
int measurementEvent(Line& line, const char* text, char* piece);
int measurementEnable(Line& line, const char* text, char* piece);
int measurementCondition(Line& line, const char* text, char* piece);
int operationEvent(Line& line, const char* text, char* piece);
int operationEnable(Line& line, const char* text, char* piece);
int operationCondition(Line& line, const char* text, char* piece);
int questionableEvent(Line& line, const char* text, char* piece);
int questionableEnable(Line& line, const char* text, char* piece);
int questionableCondition(Line& line, const char* text, char* piece);
int statusPreset(Line& line, const char* text, char* piece);          // :PRES

// :UNIT, :SENS, :MEAS (measure_handlers.cpp).
int unitQuery(Line& line, const char* text, char* piece);             // :UNIT:FLUX?
int unitAcGauss(Line& line, const char* text, char* piece);
int unitAcTesla(Line& line, const char* text, char* piece);
int unitAcAmperePerMetre(Line& line, const char* text, char* piece);
int unitDcGauss(Line& line, const char* text, char* piece);
int unitDcTesla(Line& line, const char* text, char* piece);
int unitDcAmperePerMetre(Line& line, const char* text, char* piece);
int senseAutoRange(Line& line, const char* text, char* piece);        // :SENS:FLUX:RANG:AUT
int senseRange(Line& line, const char* text, char* piece);            // :SENS:FLUX:RANG
int senseHoldState(Line& line, const char* text, char* piece);        // :SENS:HOLD:STAT
int senseHoldReset(Line& line, const char* text, char* piece);        // :SENS:HOLD:RES
int measureFlux(Line& line, const char* text, char* piece);           // :MEAS:FLUX?

// :DIAG (diagnostic_handlers.cpp).
int diagRecalibrate(Line& line, const char* text, char* piece);       // :REC
int diagMuxCurrent(Line& line, const char* text, char* piece);        // :MUX:CURR
int diagMuxRange(Line& line, const char* text, char* piece);          // :MUX:RANG
int diagMuxAmplifier(Line& line, const char* text, char* piece);      // :MUX:AMP
int diagDac(Line& line, const char* text, char* piece);               // :DAT:DAC
int diagEeprom(Line& line, const char* text, char* piece);            // :DAT:EEPR
int diagAdc(Line& line, const char* text, char* piece);               // :DAT:ADC?
int diagProbeData(Line& line, const char* text, char* piece);         // :DAT:PROB
int diagLimit(Line& line, const char* text, char* piece);             // :DAT:LIM
int diagFrequency(Line& line, const char* text, char* piece);         // :DAT:FREQ
int diagDriverVersion(Line& line, const char* text, char* piece);     // :SWV:DRIV
int diagMode(Line& line, const char* text, char* piece);              // :MOD
int diagPowerOffTimer(Line& line, const char* text, char* piece);     // :PWR

}  // namespace korvel::scpi

// Every command handler of the tree (see command_tree.cpp for where each one
// hangs). All have the CommandHandler form of interpreter.h; a handler that
// needs no context ignores it.
#pragma once

#include "scpi/interpreter.h"

namespace korvel::scpi {

// Every single-number command: context is its NumericSetting (arguments.h).
int numericSetting(Line& line, const char* text, char* piece, const void* context);
// :UNIT:FLUX:{AC,DC}:{GAUS,TESL,AM}: context is its settings::UnitChoice; any
// text after the keyword is ignored.
int selectUnits(Line& line, const char* text, char* piece, const void* context);

// Common commands and :SYST, :STAT (common_handlers.cpp).
int clearStatus(Line& line, const char* text, char* piece, const void* context);        // *CLS
int identify(Line& line, const char* text, char* piece, const void* context);           // *IDN?
int operationComplete(Line& line, const char* text, char* piece, const void* context);  // *OPC, *OPC?
int options(Line& line, const char* text, char* piece, const void* context);            // *OPT?
int systemError(Line& line, const char* text, char* piece, const void* context);        // :ERR
int systemClear(Line& line, const char* text, char* piece, const void* context);        // :CLE
int systemAutoZero(Line& line, const char* text, char* piece, const void* context);     // :AZER
int statusPreset(Line& line, const char* text, char* piece, const void* context);       // :PRES

// :UNIT, :SENS, :MEAS (measure_handlers.cpp).
int unitQuery(Line& line, const char* text, char* piece, const void* context);       // :UNIT:FLUX?
int senseHoldReset(Line& line, const char* text, char* piece, const void* context);  // :SENS:HOLD:RES
int measureFlux(Line& line, const char* text, char* piece, const void* context);     // :MEAS:FLUX?

// :DIAG (diagnostic_handlers.cpp).
int diagRecalibrate(Line& line, const char* text, char* piece, const void* context);    // :REC
int diagMuxCurrent(Line& line, const char* text, char* piece, const void* context);     // :MUX:CURR
int diagDac(Line& line, const char* text, char* piece, const void* context);            // :DAT:DAC
int diagEeprom(Line& line, const char* text, char* piece, const void* context);         // :DAT:EEPR
int diagAdc(Line& line, const char* text, char* piece, const void* context);            // :DAT:ADC?
int diagProbeData(Line& line, const char* text, char* piece, const void* context);      // :DAT:PROB
int diagFrequency(Line& line, const char* text, char* piece, const void* context);      // :DAT:FREQ
int diagDriverVersion(Line& line, const char* text, char* piece, const void* context);  // :SWV:DRIV

}  // namespace korvel::scpi

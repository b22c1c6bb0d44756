// Every error number the meter's queue may hold, with the text :SYST:ERR?
// shows for it, in the stored order (the first entry of a number wins). The
// one list: errors.cpp builds the lookup table from it, and the Python
// package's copy is checked against the library number by number.
//
//  X(number, text)
#pragma once

#define KORVEL_SCPI_ERRORS(X)                 \
    X(0, "NO ERROR")                          \
    X(3, "INVALID METER CAL DATA")            \
    X(40, "UNABLE TO READ PROBE CAL DATA")    \
    X(43, "INVALID PROBE CAL DATA")           \
    X(44, "INVALID PROBE CAL DATA")           \
    X(45, "INVALID PROBE CAL DATA")           \
    X(98, "INVALID PROBE CAL DATA")           \
    X(99, "METER CALIBRATION ERROR")          \
    X(60, "METER CALIBRATION ERROR")          \
    X(61, "METER CALIBRATION ERROR")          \
    X(62, "METER CALIBRATION ERROR")          \
    X(63, "METER CALIBRATION ERROR")          \
    X(64, "METER CALIBRATION ERROR")          \
    X(65, "METER CALIBRATION ERROR")          \
    X(66, "METER CALIBRATION ERROR")          \
    X(67, "METER CALIBRATION ERROR")          \
    X(-120, "NUMERIC DATA ERROR")             \
    X(-103, "INVALID SEPARATOR")              \
    X(-201, "NOT IN MEASURE MODE")            \
    X(-224, "ILLEGAL PARAMETER ERROR")        \
    X(-363, "INPUT BUFFER OVERRUN")           \
    X(-102, "SYNTAX ERROR")                   \
    X(-100, "COMMAND ERROR")

// What the meter's 4-digit LCD shows for a reading.
#pragma once

#include <cstdint>

#include "sim/meter/core.h"

namespace korvel::sim {

// The LCD image as the snapshot command sends it: four characters, the
// number of digits after the decimal point, and 13 annunciators (0 or 1):
enum LcdFlag {
    kLcdMinus = 0,
    kLcdGauss = 1,
    kLcdTesla = 2,
    kLcdAmperePerMetre = 3,
    kLcdKilo = 4,   // shown in kG or kA/m
    kLcdMilli = 5,  // shown in mT
    kLcdAc = 6,
    kLcdDc = 7,
    kLcdHold = 8,
    kLcdRelative = 9,
    kLcdAuto = 10,
    kLcdOverrange = 11,  // the digits read "  OL"
    kLcdLocked = 12,
    kLcdFlagCount = 13,
};

struct LcdImage {
    char text[4] = {' ', ' ', ' ', ' '};
    std::uint8_t decimals = 0;
    std::uint8_t flags[kLcdFlagCount] = {};
};

// Renders a reading with the meter's present settings; `scale` is the
// scale code the counts were taken with.
LcdImage renderLcd(const Counts& reading, const Settings& settings, int scale = 0);

}  // namespace korvel::sim

#include "sim/meter/display.h"

#include <cmath>
#include <cstdio>

namespace korvel::sim {

LcdImage renderLcd(const Counts& reading, const Settings& s, int scale) {
    LcdImage lcd;
    auto& f = lcd.flags;
    f[kLcdGauss] = s.units == kGauss;
    f[kLcdTesla] = s.units == kTesla;
    f[kLcdAmperePerMetre] = s.units == kAmperePerMetre;
    f[kLcdAc] = s.acdc != 0;
    f[kLcdDc] = s.acdc == 0;
    f[kLcdHold] = s.hold != 0;
    f[kLcdRelative] = s.relative != 0;
    f[kLcdAuto] = s.autoRange != 0;
    f[kLcdLocked] = s.keypadLockout != 0;
    if (reading.overrange) {
        f[kLcdOverrange] = 1;
        lcd.text[2] = 'O';
        lcd.text[3] = 'L';
        return lcd;
    }
    f[kLcdMinus] = reading.value < 0;

    // The number in its unit, with a prefix that keeps it readable in four
    // digits: millitesla below 1 T, kilogauss and kA/m from 10000 up.
    const double size = countSize(s.units, reading.range, scale);
    double x = std::fabs(static_cast<double>(reading.value)) * size;
    double step = size;
    if (s.units == kTesla && x < 1.0) {
        x *= 1000.0;
        step *= 1000.0;
        f[kLcdMilli] = 1;
    } else if (s.units != kTesla && x >= 10000.0) {
        x /= 1000.0;
        step /= 1000.0;
        f[kLcdKilo] = 1;
    }
    // As many decimals as the count resolution carries and four digits hold.
    int decimals = 0;
    while (decimals < 3 && step * std::pow(10.0, decimals) < 0.999 &&
           std::round(x * std::pow(10.0, decimals + 1)) <= 9999.0)
        ++decimals;
    double digits = std::round(x * std::pow(10.0, decimals));
    if (digits > 9999.0) digits = 9999.0;
    char text[8];
    std::snprintf(text, sizeof text, "%4d", static_cast<int>(digits));
    for (int i = 0; i < 4; ++i) lcd.text[i] = text[i];
    lcd.decimals = static_cast<std::uint8_t>(decimals);
    return lcd;
}

}  // namespace korvel::sim

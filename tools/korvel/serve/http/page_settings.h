// The page's controls as the SCPI lines the meter's worker runs: the same
// commands a SCPI client would send, so the page and the bridge agree.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace korvel::cli::serve::http {

// What the meter is set to now, for commands that set two things at once
// (units and AC/DC are one command).
struct PresentUnits {
    int units = 0;  // 0 gauss, 1 tesla, 2 A/m
    int acdc = 0;   // 0 DC, 1 AC
};

struct SettingLines {
    std::vector<std::string> lines;  // to run in order
    std::string error;               // why the request is refused (lines empty then)
    int autoRange = -1;              // the auto-range state the lines leave (-1: unchanged)
};

// From the form fields of POST /api/settings:
//   units=G|T|A/m  acdc=DC|AC  range=0..2  autorange=0|1
//   relative=0|1|2 (off, zero now, back to the stored zero)
//   hold=0..3 (off, hold, max, min)  holdreset=1
// Unknown fields and values out of range are refused as a whole.
SettingLines settingLines(const std::map<std::string, std::string>& fields, PresentUnits present);

}  // namespace korvel::cli::serve::http

// scpi_session.cpp - talk to a Korvel meter in SCPI from C++.
//
// Identifies the meter, selects DC gauss, takes ten readings as the meter
// formats them, and drains the meter's error queue. Build and run:
//   c++ -std=c++17 scpi_session.cpp $(pkg-config --cflags --libs korvel-sim) -o scpi_session
//   ./scpi_session
// (pkg-config korvel for a real meter.) Exit status: 0 fine, 1 the meter
// stopped answering or reported errors, 3 no meter found.
#include <korvel.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

// One open meter; closed when it goes out of scope.
class Meter {
public:
    Meter() : handle_(openKorvel()) {}
    ~Meter() { closeKorvel(handle_); }
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;

    explicit operator bool() const { return handle_ != 0; }

    // Sends one SCPI line and returns the meter's reply (empty for a setting).
    std::string scpi(const std::string& line) {
        char reply[128] = {};
        scpiCommand(handle_, line.c_str(), reply, static_cast<int>(sizeof reply));
        std::string text(reply);
        if (text == "USB Connection Problem") {
            throw std::runtime_error("the meter stopped answering (" + line + ")");
        }
        return text;
    }

private:
    MeterHandle handle_;
};

}  // namespace

int main() {
    Meter meter;
    if (!meter) {
        std::fprintf(stderr, "no meter found (plugged in? permitted by the udev rule?)\n");
        return 3;
    }
    try {
        std::printf("meter: %s\n", meter.scpi("*IDN?").c_str());
        meter.scpi(":UNIT:FLUX:DC:GAUS");
        std::printf("units: %s\n", meter.scpi(":UNIT:FLUX?").c_str());
        for (int i = 1; i <= 10; ++i) {
            std::printf("reading %2d: %s\n", i, meter.scpi(":MEAS:FLUX?").c_str());
        }
        // The queue answers "0,..." once it is empty; bound the loop anyway.
        int errors = 0;
        for (int i = 0; i < 32; ++i) {
            const std::string entry = meter.scpi(":SYST:ERR?");
            if (entry.empty() || entry[0] == '0') break;
            std::fprintf(stderr, "meter error: %s\n", entry.c_str());
            ++errors;
        }
        return errors == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}

// The field the simulated probe sits in, and how the meter turns it into
// counts. The resolution table here is the meter's own: it is deliberately
// not shared with the library's reading formatter, so a mistake on either
// side shows up as a wrong reading instead of cancelling out.
#pragma once

#include <cstdint>

namespace korvel::sim {

// What the probe sits in; all values in tesla and hertz.
struct FieldSource {
    double dc = 0.0;           // static field
    double acAmplitude = 0.0;  // peak of the AC component (0: none)
    double acFrequency = 0.0;  // its frequency, also what the meter reports
    double noise = 0.0;        // standard deviation of Gaussian noise
    double drift = 0.0;        // peak of a slow wander around dc
    std::uint32_t seed = 0;    // noise seed: equal seeds give equal readings
};

// Units and range codes as the meter reports them.
enum Units : std::uint8_t { kGauss = 0, kTesla = 1, kAmperePerMetre = 2 };
inline constexpr int kUnitCount = 3;
inline constexpr int kRangeCount = 3;
inline constexpr int kFullScaleCounts = 32767;

// Size of one count, in the units' own measure (G, T or A/m): range 0 is the
// finest. The scale code the meter reports picks another resolution for a
// few units and ranges (2: finer gauss and tesla in range 1 and A/m in range
// 1; 4 and 5: A/m counted in kA/m); every other code is the plain one.
double countSize(int units, int range, int scale = 0);

// The field in the units' own measure: gauss, tesla, or the magnetising
// field H = B / mu0 in ampere per metre.
double inUnits(double tesla, int units);

struct Counts {
    std::int16_t value = 0;  // signed counts, saturated at +/-32767
    std::uint8_t range = 0;  // the range the counts belong to
    bool overrange = false;  // the field did not fit the range
};

// Converts a field to counts. With autoRange the finest range that holds the
// field is chosen (the top one, saturated, when none does); otherwise the
// given range is used and saturates when the field does not fit it.
// The counts follow the resolution of `scale` (see countSize).
Counts toCounts(double tesla, int units, int range, bool autoRange, int scale = 0);

// Seeded noise: the same seed gives the same sequence on every machine.
class NoiseSource {
public:
    void seed(std::uint32_t seed);
    double gaussian();  // standard normal
    double uniform();   // [0, 1)
    std::uint32_t next32();

private:
    std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
    bool spare_ = false;
    double spareValue_ = 0.0;
};

// A field source sampled over time (seconds since power-on).
class FieldSampler {
public:
    void set(const FieldSource& source);
    const FieldSource& source() const { return source_; }

    // The slow wander at time t (within +/-drift).
    double driftAt(double t) const;
    // What a DC measurement sees at t: the static field, its drift and noise;
    // the AC component averages out over the meter's integration time.
    double dcSample(double t);
    // What an AC (true RMS) measurement sees: the RMS of the AC component,
    // disturbed by noise, never negative.
    double acSample();
    // The instantaneous field at t, AC component included (waveform capture).
    double instantaneous(double t);
    // The frequency the meter reports: the AC component's, rounded; 0 when
    // there is no AC component.
    std::uint16_t frequency() const;

private:
    FieldSource source_{};
    NoiseSource noise_{};
};

}  // namespace korvel::sim

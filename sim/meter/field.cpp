#include "sim/meter/field.h"

#include <cmath>
#include <numbers>

namespace korvel::sim {
namespace {

// Magnetic constant (CODATA 2018), H/m.
constexpr double kMu0 = 1.25663706212e-6;

// One count per units and range, scale code 0.
constexpr double kCountSize[kUnitCount][kRangeCount] = {
    {0.1, 1.0, 10.0},       // gauss
    {1e-5, 1e-4, 1e-3},     // tesla
    {10.0, 100.0, 1000.0},  // ampere per metre
};

// The scale codes with their own resolution, per units and range (the meter's
// counts are then of another size; the display moves its decimal point or
// shows kA/m). Ends in a sentinel row with scale code -1.
struct ScaledSize {
    int scale;
    int units;
    int range;
    double size;  // one count, in the units' own measure
};
constexpr ScaledSize kScaledSizes[] = {
    {2, kGauss, 1, 0.001},         // 1.234 G
    {2, kTesla, 1, 1e-7},          // 0.0001234 T
    {2, kAmperePerMetre, 1, 0.01}, // 12.34 A/m
    {4, kAmperePerMetre, 0, 1.0},  // 1.234 kA/m
    {4, kAmperePerMetre, 1, 10.0},
    {4, kAmperePerMetre, 2, 100.0},
    {5, kAmperePerMetre, 0, 10.0},  // 12.34 kA/m
    {5, kAmperePerMetre, 1, 100.0},
    {5, kAmperePerMetre, 2, 1000.0},  // 1234 kA/m
    {-1, 0, 0, 0.0},
};

// Drift: two slow sines of a few minutes' period, peak 1 together.
constexpr double kDriftPeriodA = 240.0;
constexpr double kDriftPeriodB = 97.0;
constexpr double kDriftShareA = 0.7;

}  // namespace

double countSize(int units, int range, int scale) {
    if (units < 0 || units >= kUnitCount || range < 0 || range >= kRangeCount) return 0.0;
    for (const ScaledSize* row = kScaledSizes; row->scale >= 0; ++row) {
        if (row->scale == scale && row->units == units && row->range == range) return row->size;
    }
    return kCountSize[units][range];
}

double inUnits(double tesla, int units) {
    switch (units) {
    case kGauss: return tesla * 1e4;
    case kTesla: return tesla;
    case kAmperePerMetre: return tesla / kMu0;
    default: return 0.0;
    }
}

Counts toCounts(double tesla, int units, int range, bool autoRange, int scale) {
    Counts out;
    if (units < 0 || units >= kUnitCount) return out;
    if (range < 0 || range >= kRangeCount) range = kRangeCount - 1;
    const double value = inUnits(tesla, units);
    int first = autoRange ? 0 : range;
    int last = autoRange ? kRangeCount - 1 : range;
    for (int r = first; r <= last; ++r) {
        // Nudged away from zero by a hair, so a field that is a decimal half
        // count (0.15 G) rounds up as written, not as binary floating point
        // happens to land.
        const double exact = value / countSize(units, r, scale);
        const double counts = std::round(exact + exact * 1e-12);
        if (std::fabs(counts) <= kFullScaleCounts) {
            out.value = static_cast<std::int16_t>(counts);
            out.range = static_cast<std::uint8_t>(r);
            return out;
        }
    }
    // Beyond the range (the top one under auto-range): the converter pins.
    out.range = static_cast<std::uint8_t>(last);
    out.value = static_cast<std::int16_t>(value < 0 ? -kFullScaleCounts : kFullScaleCounts);
    out.overrange = true;
    return out;
}

void NoiseSource::seed(std::uint32_t seed) {
    state_ = 0x9E3779B97F4A7C15ULL ^ (static_cast<std::uint64_t>(seed) * 0xBF58476D1CE4E5B9ULL);
    spare_ = false;
}

// splitmix64: small, fast and the same everywhere.
std::uint32_t NoiseSource::next32() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<std::uint32_t>(z >> 32);
}

double NoiseSource::uniform() { return next32() / 4294967296.0; }

double NoiseSource::gaussian() {
    if (spare_) {
        spare_ = false;
        return spareValue_;
    }
    // Box-Muller; u1 kept away from 0 so the logarithm stays finite.
    const double u1 = (next32() + 1.0) / 4294967297.0;
    const double u2 = uniform();
    const double radius = std::sqrt(-2.0 * std::log(u1));
    const double angle = 2.0 * std::numbers::pi * u2;
    spareValue_ = radius * std::sin(angle);
    spare_ = true;
    return radius * std::cos(angle);
}

void FieldSampler::set(const FieldSource& source) {
    source_ = source;
    noise_.seed(source.seed);
}

double FieldSampler::driftAt(double t) const {
    if (source_.drift == 0.0) return 0.0;
    const double a = std::sin(2.0 * std::numbers::pi * t / kDriftPeriodA);
    const double b = std::sin(2.0 * std::numbers::pi * t / kDriftPeriodB + 1.0);
    return source_.drift * (kDriftShareA * a + (1.0 - kDriftShareA) * b);
}

double FieldSampler::dcSample(double t) {
    double b = source_.dc + driftAt(t);
    if (source_.noise != 0.0) b += source_.noise * noise_.gaussian();
    return b;
}

double FieldSampler::acSample() {
    double rms = std::fabs(source_.acAmplitude) / std::numbers::sqrt2;
    if (source_.noise != 0.0) rms += source_.noise * noise_.gaussian();
    return std::fabs(rms);
}

double FieldSampler::instantaneous(double t) {
    double b = source_.dc + driftAt(t);
    if (source_.acAmplitude != 0.0)
        b += source_.acAmplitude * std::sin(2.0 * std::numbers::pi * source_.acFrequency * t);
    if (source_.noise != 0.0) b += source_.noise * noise_.gaussian();
    return b;
}

std::uint16_t FieldSampler::frequency() const {
    if (source_.acAmplitude == 0.0 || !(source_.acFrequency > 0.0)) return 0;
    const double f = std::round(source_.acFrequency);
    return static_cast<std::uint16_t>(f > 65535.0 ? 65535.0 : f);
}

}  // namespace korvel::sim

// One logged reading: what `korvel read` writes, in text, CSV or JSON lines,
// and the statistics of a run.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "korvel.h"

namespace korvel::cli {

// The meter's own text (as :MEAS:FLUX? shows it) and the field in tesla,
// both from the one formatter table. tesla is empty when the reading carries
// a unit or range code the formatter does not know (text is then "Error").
struct ReadingValue {
    std::string text;
    std::optional<double> tesla;
};
ReadingValue describeReading(const MeterReading& reading);

struct LoggedReading {
    std::chrono::system_clock::time_point time;
    double elapsed = 0;  // seconds since the first reading of the run
    MeterReading raw{};
    ReadingValue value;
};

enum class Format { Text, Csv, Jsonl };

// "G", "T", "A/m", or "units N" for a code the meter should not send.
std::string unitsName(int units);
// "DC", "AC", or "acdc N".
std::string acdcName(int acdc);
// ISO-8601 UTC with microseconds: 2024-05-01T12:34:56.789012Z.
std::string isoTimestamp(std::chrono::system_clock::time_point time);
// A value in tesla with every digit the meter resolves (%.7g).
std::string formatTesla(double tesla);

// The CSV header line (with its line feed).
std::string csvHeader();
// One record, ending in a line feed.
std::string formatRecord(Format format, const LoggedReading& reading);

// Count, extremes, mean and sample standard deviation (Welford's method, so
// a long run keeps its precision).
class Statistics {
public:
    void add(double value);
    long long count() const { return count_; }
    double min() const { return min_; }
    double max() const { return max_; }
    double mean() const { return mean_; }
    // Sample standard deviation; 0 with fewer than two values.
    double standardDeviation() const;

private:
    long long count_ = 0;
    double min_ = 0, max_ = 0, mean_ = 0, m2_ = 0;
};

// The end-of-run summary (lines ending in line feeds): readings taken, time,
// readings per second, and min/max/mean/standard deviation in tesla.
std::string formatSummary(long long readings, double seconds, const Statistics& field);

}  // namespace korvel::cli

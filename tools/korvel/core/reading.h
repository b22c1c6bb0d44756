// One logged reading: what `korvel read` writes, in text, CSV or JSON lines,
// and the statistics of a run.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "korvel.h"

namespace korvel::cli {

// A reading at the converter's end is over its range: the meter pins the
// count at +32767 or -32767 (and -32768 is past the end too). Its value is
// then only the range's limit, never the field.
bool isOverRange(const MeterReading& reading);

// The meter's own text (as :MEAS:FLUX? shows it) and the field in tesla,
// both from the one formatter table. tesla is empty when the reading carries
// a unit or range code the formatter does not know (text is then "Error").
struct ReadingValue {
    std::string text;
    std::optional<double> tesla;
    bool overRange = false;
};
ReadingValue describeReading(const MeterReading& reading);

struct LoggedReading {
    std::chrono::system_clock::time_point time;
    double elapsed = 0;  // seconds since the first reading of the run
    MeterReading raw{};
    ReadingValue value;
};

enum class Format { Text, Csv, Jsonl };

// "text", "csv", "jsonl".
const char* formatName(Format format);
// The format a log file's name asks for: .csv, .jsonl or .ndjson, else text.
Format formatOfPath(const std::string& path);
// The version of the record layout, written into every meta block: a log
// whose meta block names another (or none) has other columns.
inline constexpr int kRecordsVersion = 2;

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

// What a log says about itself before its first record: the program, the
// meter, its settings for the run, when and where it started and how.
struct RunMeta {
    std::string version;         // the program's version, "1.2.0"
    std::string identification;  // the meter's *IDN? text
    std::string serial;
    std::string probe;           // the probe's *OPT? text
    int units = 0;
    int acdc = 0;
    int range = 0;
    bool autoRange = false;
    std::chrono::system_clock::time_point start;
    std::string host;
    std::string command;  // the command line as typed
    int file = 0;         // the number of a rotated log's file (0: not rotated)
};
// This machine's name, for the meta block ("unknown" when it has none).
std::string hostName();
// CSV and text: "# " comment lines (the first "# korvel VERSION"); JSONL:
// one {"type":"meta",...} line.
std::string formatMeta(Format format, const RunMeta& meta);
// An outage: CSV and text a "# gap" comment line, JSONL {"type":"gap",...}.
std::string formatGap(Format format, std::chrono::system_clock::time_point from,
                      std::chrono::system_clock::time_point to);
// One record, ending in a line feed.
std::string formatRecord(Format format, const LoggedReading& reading);

// The MQTT payloads: the JSON-lines reading record and gap record with the
// meter's serial in front, no line feed (the spool puts the sequence number
// before it).
std::string serialReading(const std::string& serial, const LoggedReading& reading);
std::string serialGap(const std::string& serial, std::chrono::system_clock::time_point from,
                      std::chrono::system_clock::time_point to);

// Count, extremes, mean and sample standard deviation (Welford's method, so
// a long run keeps its precision). Over-range readings are only counted:
// their value is the range's limit, not the field.
class Statistics {
public:
    void add(double value);
    // A reading as the record has it: over range, or without a value.
    void add(const ReadingValue& value);
    long long count() const { return count_; }
    long long overRange() const { return overRange_; }
    double min() const { return min_; }
    double max() const { return max_; }
    double mean() const { return mean_; }
    // Sample standard deviation; 0 with fewer than two values.
    double standardDeviation() const;

private:
    long long count_ = 0;
    long long overRange_ = 0;
    double min_ = 0, max_ = 0, mean_ = 0, m2_ = 0;
};

// The end-of-run summary (lines ending in line feeds): readings taken, time
// and readings per second (not for a single reading),
// min/max/mean/standard deviation in tesla, and how many readings were over
// range or had no value (left out of those figures).
std::string formatSummary(long long readings, double seconds, const Statistics& field);

}  // namespace korvel::cli

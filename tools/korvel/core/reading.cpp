#include "core/reading.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

#include "core/json.h"
#include "scpi/reading_format.h"

namespace korvel::cli {
namespace {

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (const char ch : text) {
        if (ch == '"') out.push_back('"');
        out.push_back(ch);
    }
    return out + "\"";
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Comment values stay on their line.
std::string oneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return out;
}

std::string trimLeft(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

}  // namespace

ReadingValue describeReading(const MeterReading& reading) {
    ReadingValue value;
    char text[80] = {};
    scpi::formatReading(reading, text, static_cast<int>(sizeof text));
    value.text = text;
    double tesla = 0;
    if (scpi::readingToTesla(reading, &tesla)) value.tesla = tesla;
    value.overRange = isOverRange(reading);
    return value;
}

bool isOverRange(const MeterReading& reading) { return reading.value >= 32767 || reading.value <= -32767; }

const char* formatName(Format format) {
    switch (format) {
    case Format::Csv: return "csv";
    case Format::Jsonl: return "jsonl";
    case Format::Text:
    default: return "text";
    }
}

Format formatOfPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return Format::Text;
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (extension == "csv") return Format::Csv;
    if (extension == "jsonl" || extension == "ndjson") return Format::Jsonl;
    return Format::Text;
}

std::string unitsName(int units) {
    switch (units) {
    case 0: return "G";
    case 1: return "T";
    case 2: return "A/m";
    default: return "units " + std::to_string(units);
    }
}

std::string acdcName(int acdc) {
    switch (acdc) {
    case 0: return "DC";
    case 1: return "AC";
    default: return "acdc " + std::to_string(acdc);
    }
}

std::string isoTimestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto micros = duration_cast<microseconds>(time.time_since_epoch()).count();
    auto seconds = static_cast<std::time_t>(micros / 1000000);
    long long fraction = micros % 1000000;
    if (fraction < 0) {  // before 1970: keep the fraction positive
        fraction += 1000000;
        --seconds;
    }
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, fraction);
    return text;
}

std::string formatTesla(double tesla) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", tesla);
    return text;
}

std::string csvHeader() { return "timestamp,elapsed_s,tesla,text,units,range,acdc,counts,over_range\n"; }

std::string formatMeta(Format format, const RunMeta& m) {
    const std::string start = isoTimestamp(m.start);
    if (format != Format::Jsonl) {
        std::string out = "# korvel " + oneLine(m.version) + "\n";
        const std::pair<const char*, std::string> lines[] = {
            {"format", formatName(format)},
            {"records", std::to_string(kRecordsVersion)},
            {"meter", m.identification},
            {"serial", m.serial},
            {"probe", m.probe},
            {"units", unitsName(m.units)},
            {"acdc", acdcName(m.acdc)},
            {"range", std::to_string(m.range)},
            {"auto_range", m.autoRange ? "on" : "off"},
            {"start", start},
            {"host", m.host},
            {"command", m.command},
        };
        for (const auto& [key, value] : lines) out += std::string("# ") + key + ": " + oneLine(value) + "\n";
        if (m.file > 0) out += "# file: " + std::to_string(m.file) + "\n";
        return out;
    }
    {
        return "{\"type\":\"meta\",\"korvel\":" + jsonString(m.version) + ",\"format\":\"jsonl\",\"records\":" +
               std::to_string(kRecordsVersion) + ",\"meter\":" + jsonString(m.identification) +
               ",\"serial\":" + jsonString(m.serial) + ",\"probe\":" + jsonString(m.probe) +
               ",\"units\":" + jsonString(unitsName(m.units)) + ",\"acdc\":" + jsonString(acdcName(m.acdc)) +
               ",\"range\":" + std::to_string(m.range) + ",\"auto_range\":" + (m.autoRange ? "true" : "false") +
               ",\"start\":" + jsonString(start) + ",\"host\":" + jsonString(m.host) +
               ",\"command\":" + jsonString(m.command) +
               (m.file > 0 ? ",\"file\":" + std::to_string(m.file) : std::string()) + "}\n";
    }
}

std::string formatGap(Format format, std::chrono::system_clock::time_point from,
                      std::chrono::system_clock::time_point to) {
    if (format == Format::Jsonl) {
        return "{\"type\":\"gap\",\"from\":" + jsonString(isoTimestamp(from)) + ",\"to\":" +
               jsonString(isoTimestamp(to)) + "}\n";
    }
    return "# gap: from " + isoTimestamp(from) + " to " + isoTimestamp(to) +
           " (the meter was lost and came back)\n";
}

std::string formatRecord(Format format, const LoggedReading& r) {
    const std::string stamp = isoTimestamp(r.time);
    const std::string elapsed = fixed(r.elapsed, 6);
    switch (format) {
    case Format::Csv:
        return stamp + "," + elapsed + "," + (r.value.tesla ? formatTesla(*r.value.tesla) : "") + "," +
               csvField(r.value.text) + "," + csvField(unitsName(r.raw.units)) + "," +
               std::to_string(r.raw.range) + "," + csvField(acdcName(r.raw.acdc)) + "," +
               std::to_string(r.raw.value) + "," + (r.value.overRange ? "true" : "false") + "\n";
    case Format::Jsonl:
        return "{\"timestamp\":" + jsonString(stamp) + ",\"elapsed_s\":" + elapsed +
               ",\"tesla\":" + (r.value.tesla ? formatTesla(*r.value.tesla) : "null") +
               ",\"text\":" + jsonString(r.value.text) + ",\"units\":" + jsonString(unitsName(r.raw.units)) +
               ",\"range\":" + std::to_string(r.raw.range) + ",\"acdc\":" + jsonString(acdcName(r.raw.acdc)) +
               ",\"counts\":" + std::to_string(r.raw.value) +
               ",\"over_range\":" + (r.value.overRange ? "true" : "false") + "}\n";
    case Format::Text:
    default: {
        char line[256];
        const std::string tesla = r.value.tesla ? formatTesla(*r.value.tesla) + " T" : "(no value)";
        std::snprintf(line, sizeof line, "%s  %10.3f s  %10s  %14s  %s  range %d%s\n", stamp.c_str(), r.elapsed,
                      trimLeft(r.value.text).c_str(), tesla.c_str(), acdcName(r.raw.acdc).c_str(), r.raw.range,
                      r.value.overRange ? "  OVER RANGE" : "");
        return line;
    }
    }
}

namespace {

// {"serial":"KV0001",<the record's keys>} from a JSON-lines record.
std::string withSerial(const std::string& serial, std::string record) {
    record.pop_back();  // the line feed
    return "{\"serial\":" + jsonString(serial) + "," + record.substr(1);
}

}  // namespace

std::string serialReading(const std::string& serial, const LoggedReading& reading) {
    return withSerial(serial, formatRecord(Format::Jsonl, reading));
}

std::string serialGap(const std::string& serial, std::chrono::system_clock::time_point from,
                      std::chrono::system_clock::time_point to) {
    return withSerial(serial, formatGap(Format::Jsonl, from, to));
}

void Statistics::add(const ReadingValue& value) {
    if (value.overRange) {
        ++overRange_;
    } else if (value.tesla) {
        add(*value.tesla);
    }
}

void Statistics::add(double value) {
    ++count_;
    if (count_ == 1) {
        min_ = max_ = mean_ = value;
        m2_ = 0;
        return;
    }
    if (value < min_) min_ = value;
    if (value > max_) max_ = value;
    const double delta = value - mean_;
    mean_ += delta / static_cast<double>(count_);
    m2_ += delta * (value - mean_);
}

double Statistics::standardDeviation() const {
    return count_ < 2 ? 0.0 : std::sqrt(m2_ / static_cast<double>(count_ - 1));
}

std::string formatSummary(long long readings, double seconds, const Statistics& field) {
    char line[256];
    std::string out;
    // One reading has no rate (and its "time" is only the exchange).
    if (readings == 1) {
        std::snprintf(line, sizeof line, "1 reading\n");
    } else {
        const double rate = seconds > 0 ? static_cast<double>(readings) / seconds : 0.0;
        std::snprintf(line, sizeof line, "%lld readings in %.3f s (%.1f readings/s)\n", readings, seconds, rate);
    }
    out += line;
    if (field.count() > 0) {
        std::snprintf(line, sizeof line, "field: min %s T, max %s T, mean %s T, standard deviation %s T\n",
                      formatTesla(field.min()).c_str(), formatTesla(field.max()).c_str(),
                      formatTesla(field.mean()).c_str(), formatTesla(field.standardDeviation()).c_str());
        out += line;
    }
    if (field.overRange() > 0) {
        std::snprintf(line, sizeof line, "%lld reading%s over range (left out of the field figures)\n",
                      field.overRange(), field.overRange() == 1 ? " was" : "s were");
        out += line;
    }
    const long long noValue = readings - field.count() - field.overRange();
    if (noValue > 0) {
        std::snprintf(line, sizeof line,
                      "%lld reading%s had no value in tesla (a unit or range code the formatter does not "
                      "know)\n",
                      noValue, noValue == 1 ? "" : "s");
        out += line;
    }
    return out;
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "unknown";
    return name;
}

}  // namespace korvel::cli

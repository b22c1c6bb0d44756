#include "serve/http/metrics.h"

#include <cstdio>

namespace korvel::cli::serve::http {
namespace {

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

// One family per metric; reading families first (left out while away).
constexpr Family kField{"korvel_field_tesla", "gauge", "Field of the latest reading in tesla."};
constexpr Family kCounts{"korvel_reading_counts", "gauge", "Latest reading in the meter's counts."};
constexpr Family kRange{"korvel_range", "gauge", "Range of the latest reading (0 finest to 2)."};
constexpr Family kUnits{"korvel_units_code", "gauge", "Units of the latest reading: 0 gauss, 1 tesla, 2 A/m."};
constexpr Family kOver{"korvel_overrange", "gauge", "1 when the latest reading is at the end of its range."};
constexpr Family kConnected{"korvel_connected", "gauge", "1 while the meter is open, 0 while it is looked for."};
constexpr Family kExchanges{"korvel_exchanges_total", "counter",
                            "Client lines, readings and settings done with the meter."};
constexpr Family kFailed{"korvel_exchanges_failed_total", "counter",
                         "Exchanges that found the connection to the meter gone."};
constexpr Family kScpi{"korvel_scpi_clients", "gauge", "SCPI clients connected."};
constexpr Family kStreams{"korvel_http_streams", "gauge", "Pages receiving the live stream."};

void add(std::string* out, const Family& family, const std::string& labels, const std::string& value) {
    *out += std::string("# HELP ") + family.name + " " + family.help + "\n";
    *out += std::string("# TYPE ") + family.name + " " + family.type + "\n";
    *out += std::string(family.name) + labels + " " + value + "\n";
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

}  // namespace

std::string labelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string formatMetrics(const MetricsSnapshot& s) { return formatMetrics(std::vector<MetricsSnapshot>{s}); }

std::string formatMetrics(const std::vector<MetricsSnapshot>& meters) {
    // A family's samples follow its HELP and TYPE lines, one per meter.
    std::string out;
    const auto family = [&](const Family& f, bool (*has)(const MetricsSnapshot&),
                            std::string (*value)(const MetricsSnapshot&)) {
        bool first = true;
        for (const MetricsSnapshot& s : meters) {
            if (!has(s)) continue;
            if (first) {
                out += std::string("# HELP ") + f.name + " " + f.help + "\n";
                out += std::string("# TYPE ") + f.name + " " + f.type + "\n";
                first = false;
            }
            out += std::string(f.name) + "{serial=\"" + labelValue(s.serial) + "\"} " + value(s) + "\n";
        }
    };
    const auto reading = [](const MetricsSnapshot& s) { return s.connected && s.reading.has_value(); };
    const auto always = [](const MetricsSnapshot&) { return true; };
    family(kField, [](const MetricsSnapshot& s) { return s.connected && s.reading && s.tesla; },
           [](const MetricsSnapshot& s) { return number(*s.tesla); });
    family(kCounts, reading, [](const MetricsSnapshot& s) { return std::to_string(s.reading->value); });
    family(kRange, reading, [](const MetricsSnapshot& s) { return std::to_string(s.reading->range); });
    family(kUnits, reading, [](const MetricsSnapshot& s) { return std::to_string(s.reading->units); });
    family(kOver, reading, [](const MetricsSnapshot& s) { return std::string(s.overRange ? "1" : "0"); });
    family(kConnected, always, [](const MetricsSnapshot& s) { return std::string(s.connected ? "1" : "0"); });
    family(kExchanges, always, [](const MetricsSnapshot& s) { return std::to_string(s.exchanges); });
    family(kFailed, always, [](const MetricsSnapshot& s) { return std::to_string(s.failedExchanges); });
    // Server-wide: given once, labelled with the first meter's serial as before.
    if (!meters.empty()) {
        const std::string labels = "{serial=\"" + labelValue(meters.front().serial) + "\"}";
        add(&out, kScpi, labels, std::to_string(meters.front().scpiClients));
        add(&out, kStreams, labels, std::to_string(meters.front().httpStreams));
    }
    return out;
}

}  // namespace korvel::cli::serve::http

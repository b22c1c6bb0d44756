// GET /metrics: the Prometheus text exposition format (version 0.0.4).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "korvel.h"

namespace korvel::cli::serve::http {

struct MetricsSnapshot {
    std::string serial;                  // label of every sample ("" before the meter was seen)
    bool connected = false;
    std::optional<MeterReading> reading; // the latest reading while connected
    std::optional<double> tesla;         // its field, when the formatter knows its codes
    bool overRange = false;
    std::uint64_t exchanges = 0;
    std::uint64_t failedExchanges = 0;
    int scpiClients = 0;
    int httpStreams = 0;
};

// The reading metrics are left out while the meter is away: a stale value
// would look like a live one.
std::string formatMetrics(const MetricsSnapshot& snapshot);
// Several meters: each family once, a sample per meter (by serial); the
// server-wide gauges once, labelled with the first meter.
std::string formatMetrics(const std::vector<MetricsSnapshot>& meters);

// A label value with \, " and line feeds escaped.
std::string labelValue(const std::string& text);

}  // namespace korvel::cli::serve::http

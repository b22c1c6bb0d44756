// The page's JSON: the state every stream event carries and the history.
#pragma once

#include <string>
#include <vector>

#include "core/json.h"
#include "core/reading.h"
#include "core/text.h"
#include "serve/http/live_feed.h"
#include "serve/http/recorder.h"

namespace korvel::cli::serve::http {

struct ServerFacts {
    double uptime = 0;      // seconds
    int streams = 0;
    int scpiClients = 0;
    bool scpi = true;       // an SCPI port is open
    const char* access = "page";  // "page", "token" or "read-only"
    bool simulated = false;
};

std::string stateJson(const Sample& sample, const MeterStatus& status, const Statistics& statistics,
                      const Recorder::State& recording, const ServerFacts& server);

// {"t":[ms...],"v":[tesla or null...]}
std::string historyJson(const std::vector<HistoryPoint>& points);

}  // namespace korvel::cli::serve::http

#include "serve/http/page_json.h"

#include <filesystem>

namespace korvel::cli::serve::http {
namespace {

std::string mode(int value) { return value < 0 ? "null" : std::to_string(value); }

std::string readingJson(const Sample& s) {
    if (!s.hasReading) return "null";
    return "{\"text\":" + jsonString(trim(s.value.text)) +
           ",\"tesla\":" + (s.value.tesla ? jsonNumber(*s.value.tesla) : "null") +
           ",\"counts\":" + std::to_string(s.raw.value) + ",\"units\":" + jsonString(unitsName(s.raw.units)) +
           ",\"unitsCode\":" + std::to_string(s.raw.units) + ",\"acdc\":" + jsonString(acdcName(s.raw.acdc)) +
           ",\"range\":" + std::to_string(s.raw.range) + ",\"overRange\":" + (s.overRange ? "true" : "false") + "}";
}

}  // namespace

std::string stateJson(const Sample& sample, const MeterStatus& status, const Statistics& statistics,
                      const Recorder::State& recording, const ServerFacts& server) {
    std::string out = "{\"seq\":" + std::to_string(sample.sequence) +
                      ",\"t\":" + std::to_string(epochMillis(sample.time)) +
                      ",\"connected\":" + (sample.connected ? "true" : "false") + ",\"reading\":" + readingJson(sample);
    out += ",\"meter\":{\"serial\":" + jsonString(status.serial) + ",\"probe\":" + jsonString(status.probe) +
           ",\"identification\":" + jsonString(status.identification) + ",\"hold\":" + mode(status.hold) +
           ",\"relative\":" + mode(status.relative) + ",\"autoRange\":" + mode(status.autoRange) + "}";
    out += ",\"stats\":{\"n\":" + std::to_string(statistics.count()) +
           ",\"overRange\":" + std::to_string(statistics.overRange());
    if (statistics.count() > 0) {
        out += ",\"min\":" + jsonNumber(statistics.min()) + ",\"max\":" + jsonNumber(statistics.max()) +
               ",\"mean\":" + jsonNumber(statistics.mean()) + ",\"sd\":" + jsonNumber(statistics.standardDeviation());
    }
    out += "}";
    out += ",\"recording\":{\"on\":" + std::string(recording.recording ? "true" : "false") +
           ",\"file\":" + jsonString(std::filesystem::path(recording.path).filename().string()) +
           ",\"rows\":" + std::to_string(recording.rows) + ",\"error\":" + jsonString(recording.error) + "}";
    out += ",\"server\":{\"uptime\":" + jsonNumber(server.uptime) + ",\"streams\":" + std::to_string(server.streams) +
           ",\"scpiClients\":" + std::to_string(server.scpiClients) + ",\"scpi\":" + (server.scpi ? "true" : "false") +
           ",\"access\":" + jsonString(server.access) + ",\"simulated\":" + (server.simulated ? "true" : "false") +
           "}}";
    return out;
}

std::string historyJson(const std::vector<HistoryPoint>& points) {
    std::string times = "[";
    std::string values = "[";
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i > 0) {
            times += ',';
            values += ',';
        }
        times += std::to_string(points[i].millis);
        values += points[i].tesla ? jsonNumber(*points[i].tesla) : "null";
    }
    return "{\"t\":" + times + "],\"v\":" + values + "]}";
}

}  // namespace korvel::cli::serve::http

#include "serve/http/web_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/eeprom.h"
#include "core/failure.h"
#include "serve/http/json.h"
#include "serve/http/live_feed.h"
#include "serve/http/metrics.h"
#include "serve/http/page_assets.h"
#include "serve/http/recorder.h"
#include "serve/http/sampler.h"
#include "serve/http/security.h"
#include "serve/http/settings.h"
#include "serve/log.h"

#ifndef KORVEL_DYGRAPHS_DIR
#define KORVEL_DYGRAPHS_DIR "/usr/share/javascript/dygraphs"
#endif

namespace korvel::cli::serve::http {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr auto kSamplePeriod = 100ms;         // 10 readings per second while a page watches
constexpr auto kFreshEnough = 300ms;          // /metrics and /api/state take a new reading when older
constexpr auto kFreshWait = 2s;
constexpr auto kStreamKeepAlive = 10s;        // a comment line keeps a quiet stream open
constexpr int kThreads = 48;                  // connections served at once
constexpr int kMaxStreams = 32;               // streams among them; the rest stay for requests
constexpr std::size_t kMaxBody = 64 * 1024;
constexpr int kHistoryPoints = 4000;          // points a history answer carries at most

const char kTokenHeader[] = "X-Korvel-Token";
const char kJson[] = "application/json";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void replaceAll(std::string* text, const std::string& from, const std::string& to) {
    for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
        text->replace(at, from.size(), to);
}

void refuse(httplib::Response& res, int status, const std::string& why) {
    res.status = status;
    res.set_content("{\"error\":" + jsonString(why) + "}\n", kJson);
}

const char* accessName(TokenSource source) {
    switch (source) {
    case TokenSource::Page: return "page";
    case TokenSource::File: return "token";
    case TokenSource::ReadOnly: return "read-only";
    }
    return "read-only";
}

}  // namespace

struct WebServer::State {
    Session& session;
    MeterWorker& worker;
    const ServeOptions& options;
    std::function<int()> scpiClients;
    Access access;
    LiveFeed feed;
    Recorder recorder;
    Sampler sampler;
    httplib::Server server;
    std::thread thread;
    int port = 0;
    const SteadyClock::time_point started = SteadyClock::now();
    std::atomic<int> streams{0};
    std::atomic<bool> dumping{false};
    std::mutex recordingMutex;  // start/stop and the demand they set
    std::string dygraphScript;
    std::string dygraphStyle;

    State(Session& s, MeterWorker& w, const ServeOptions& o, std::function<int()> clients)
        : session(s), worker(w), options(o), scpiClients(std::move(clients)), recorder(o.recordDir),
          sampler(s, feed, recorder) {}

    // Sampling runs while a page streams or a recording runs; otherwise the
    // meter is read only when asked (/metrics, /api/state).
    void updateDemand() { worker.setSampling(streams.load() > 0 || recorder.state().recording); }

    Sample fresh() {
        const Sample latest = feed.latest();
        if (latest.sequence == 0 || WallClock::now() - latest.time > kFreshEnough) {
            worker.requestSample();
            feed.waitNewer(latest.sequence, std::chrono::duration_cast<std::chrono::milliseconds>(kFreshWait));
        }
        return feed.latest();
    }

    ServerFacts facts() const {
        ServerFacts f;
        f.uptime = std::chrono::duration<double>(SteadyClock::now() - started).count();
        f.streams = streams.load();
        f.scpiClients = scpiClients ? scpiClients() : 0;
        f.scpi = static_cast<bool>(scpiClients);
        f.access = accessName(access.source);
        f.simulated = session.simulated();
        return f;
    }

    std::string state(const Sample& sample) const {
        return stateJson(sample, feed.status(), feed.statistics(), recorder.state(), facts());
    }

    // POST routes: Host, Origin and token, or a 403 with the reason.
    bool mayChange(const httplib::Request& req, httplib::Response& res) const {
        const Refusal refusal = checkStateChange(access, req.get_header_value("Host"), req.get_header_value("Origin"),
                                                 req.get_header_value(kTokenHeader));
        if (refusal == Refusal::None) return true;
        refuse(res, 403, refusalText(refusal));
        return false;
    }

    // Runs a task on the meter's thread and waits for its answer ("" : done).
    std::string onWorker(std::function<std::string(Meter&)> task, std::chrono::seconds limit) {
        auto answer = std::make_shared<std::promise<std::string>>();
        auto result = answer->get_future();
        worker.post([task = std::move(task), answer](Meter* meter) {
            answer->set_value(meter == nullptr ? "the meter is not connected" : task(*meter));
        });
        if (result.wait_for(limit) != std::future_status::ready) return "the meter did not answer in time";
        return result.get();
    }

    void routes();
    void pages();
    void readings();
    void changes();
    void downloads();
};

void WebServer::State::pages() {
    std::string page = kPageHtml;
    replaceAll(&page, "@TOKEN@", access.source == TokenSource::Page ? access.token : "");
    replaceAll(&page, "@ACCESS@", accessName(access.source));
    server.Get("/", [page](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Security-Policy",
                       // The chart library styles its elements inline.
                       "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
                       "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
        res.set_header("Cache-Control", "no-store");
        res.set_content(page, "text/html; charset=utf-8");
    });
    const auto asset = [this](const char* path, const std::string* text, const char* type) {
        server.Get(path, [text, type](const httplib::Request&, httplib::Response& res) {
            if (text->empty()) return refuse(res, 404, "not installed: the chart library (Debian's libjs-dygraphs)");
            res.set_header("Cache-Control", "max-age=3600");
            res.set_content(*text, type);
        });
    };
    static const std::string script = kPageScript;
    static const std::string style = kPageStyle;
    asset("/page.js", &script, "text/javascript; charset=utf-8");
    asset("/page.css", &style, "text/css; charset=utf-8");
    asset("/dygraph.min.js", &dygraphScript, "text/javascript; charset=utf-8");
    asset("/dygraph.min.css", &dygraphStyle, "text/css; charset=utf-8");
}

void WebServer::State::readings() {
    server.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(state(fresh()) + "\n", kJson);
    });
    server.Get("/api/history", [this](const httplib::Request& req, httplib::Response& res) {
        long seconds = 600;
        if (req.has_param("seconds")) {
            const std::string text = req.get_param_value("seconds");
            if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
                return refuse(res, 400, "seconds must be 1 to 3600");
            seconds = std::stol(text);
        }
        if (seconds < 1 || seconds > 3600) return refuse(res, 400, "seconds must be 1 to 3600");
        res.set_content(historyJson(feed.history(std::chrono::seconds(seconds), kHistoryPoints)), kJson);
    });
    server.Get("/api/stream", [this](const httplib::Request&, httplib::Response& res) {
        if (++streams > kMaxStreams) {
            --streams;
            return refuse(res, 503, "too many pages stream at once (" + std::to_string(kMaxStreams) + ")");
        }
        updateDemand();
        res.set_header("Cache-Control", "no-store");
        auto last = std::make_shared<std::uint64_t>(0);
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, last](size_t, httplib::DataSink& sink) {
                const auto sample = feed.waitNewer(
                    *last, std::chrono::duration_cast<std::chrono::milliseconds>(kStreamKeepAlive));
                if (feed.stopped()) {  // the server stops: the stream ends cleanly
                    sink.done();
                    return true;
                }
                // A slow page skips to the newest sample: at most 10 a second, never a backlog.
                const std::string event =
                    sample ? "data: " + state(*sample) + "\n\n" : std::string(": still here\n\n");
                if (sample) *last = sample->sequence;
                return sink.write(event.data(), event.size());
            },
            [this](bool) {
                --streams;
                updateDemand();
            });
    });
    server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        const Sample sample = fresh();
        MetricsSnapshot m;
        m.serial = feed.status().serial;
        m.connected = sample.connected;
        if (sample.hasReading) {
            m.reading = sample.raw;
            m.tesla = sample.value.tesla;
            m.overRange = sample.overRange;
        }
        m.exchanges = worker.exchanges();
        m.failedExchanges = worker.failedExchanges();
        m.scpiClients = scpiClients ? scpiClients() : 0;
        m.httpStreams = streams.load();
        res.set_content(formatMetrics(m), "text/plain; version=0.0.4; charset=utf-8");
    });
}

void WebServer::State::changes() {
    server.Post("/api/settings", [this](const httplib::Request& req, httplib::Response& res) {
        if (!mayChange(req, res)) return;
        std::map<std::string, std::string> fields;
        for (const auto& [name, value] : req.params) fields[name] = value;
        const Sample latest = feed.latest();
        const PresentUnits present{latest.hasReading ? latest.raw.units : 0, latest.hasReading ? latest.raw.acdc : 0};
        const SettingLines plan = settingLines(fields, present);
        if (!plan.error.empty()) return refuse(res, 400, plan.error);
        const std::string error = onWorker(
            [this, plan](Meter& meter) -> std::string {
                std::string why;
                for (const std::string& line : plan.lines) {
                    const std::string reply = meter.scpi(line);
                    if (meter.lost()) return "the meter was lost";
                    if (reply.starts_with("Error") || reply.starts_with("ERR")) {
                        why = line + ": " + reply;
                        break;
                    }
                    log("page: " + line);
                }
                if (why.empty() && plan.autoRange >= 0) sampler.setAutoRange(plan.autoRange);
                sampler.refreshModes(meter);
                worker.requestSample();
                return why;
            },
            10s);
        if (!error.empty()) return refuse(res, 503, error);
        feed.waitNewer(latest.sequence, 1000ms);  // the answer shows the new setting
        res.set_content(state(feed.latest()) + "\n", kJson);
    });
    server.Post("/api/stats/reset", [this](const httplib::Request& req, httplib::Response& res) {
        if (!mayChange(req, res)) return;
        feed.resetStatistics();
        res.set_content(state(feed.latest()) + "\n", kJson);
    });
    server.Post("/api/recording/start", [this](const httplib::Request& req, httplib::Response& res) {
        if (!mayChange(req, res)) return;
        std::string error;
        {
            std::lock_guard lock(recordingMutex);
            if (!recorder.start(&error)) return refuse(res, 409, error);
            updateDemand();
        }
        log("page: recording started (the file is made at its first reading)");
        res.set_content(state(feed.latest()) + "\n", kJson);
    });
    server.Post("/api/recording/stop", [this](const httplib::Request& req, httplib::Response& res) {
        if (!mayChange(req, res)) return;
        {
            std::lock_guard lock(recordingMutex);
            recorder.stop();
            updateDemand();
        }
        const Recorder::State recording = recorder.state();
        if (!recording.path.empty())
            log("page: recording stopped (" + std::to_string(recording.rows) + " rows in " + recording.path + ")");
        res.set_content(state(feed.latest()) + "\n", kJson);
    });
    if (!session.simulated()) return;
    // The simulated probe's field, for trying the page (and for its tests).
    server.Post("/api/sim/field", [this](const httplib::Request& req, httplib::Response& res) {
        if (!mayChange(req, res)) return;
        double tesla = 0;
        try {
            size_t used = 0;
            const std::string text = req.get_param_value("tesla");
            tesla = std::stod(text, &used);
            if (used != text.size() || !(tesla >= -10 && tesla <= 10)) throw std::invalid_argument(text);
        } catch (const std::exception&) {
            return refuse(res, 400, "tesla must be a number from -10 to 10");
        }
        const int index = feed.status().simulatedIndex;
        worker.post([this, index, tesla](Meter*) { session.api().korvelSimSetField(index < 0 ? 0 : index, tesla); });
        worker.requestSample();
        res.set_content("{}\n", kJson);
    });
}

void WebServer::State::downloads() {
    server.Get("/api/recording.csv", [this](const httplib::Request&, httplib::Response& res) {
        const Recorder::State recording = recorder.state();
        if (recording.path.empty()) return refuse(res, 404, "nothing recorded yet");
        // Streamed from the file in pieces: a long recording is never held in memory.
        auto file = std::make_shared<std::ifstream>(recording.path, std::ios::binary);
        std::error_code error;
        const auto size = std::filesystem::file_size(recording.path, error);
        if (!*file || error) return refuse(res, 404, "the recording's file is gone: " + recording.path);
        res.set_header("Content-Disposition",
                       "attachment; filename=\"" + std::filesystem::path(recording.path).filename().string() + "\"");
        res.set_content_provider(
            static_cast<size_t>(size), "text/csv; charset=utf-8",
            [file](size_t offset, size_t length, httplib::DataSink& sink) {
                char piece[64 * 1024];
                file->seekg(static_cast<std::streamoff>(offset));
                file->read(piece, static_cast<std::streamsize>(std::min(length, sizeof piece)));
                const auto got = file->gcount();
                return got > 0 && sink.write(piece, static_cast<size_t>(got));
            });
    });
    // Read only: the page offers no way to write the memory.
    server.Get("/api/memory.bin", [this](const httplib::Request&, httplib::Response& res) {
        if (dumping.exchange(true)) return refuse(res, 429, "a memory image is being read already");
        auto bytes = std::make_shared<std::vector<std::uint8_t>>();
        const std::string error = onWorker(
            [this, bytes](Meter& meter) -> std::string {
                const int index = session.simulatedIndex(meter);
                const int simulatedSize = index >= 0 ? session.api().korvelSimEepromSize(index) : -1;
                const int size = simulatedSize > 0 ? simulatedSize : kDefaultEepromSize;
                try {
                    *bytes = EepromAccess(session.api(), meter.handle()).read(0, size);
                } catch (const Failure& failure) {
                    return failure.what();
                }
                return "";
            },
            60s);
        dumping = false;
        if (!error.empty()) return refuse(res, 503, error);
        const std::string serial = feed.status().serial.empty() ? "meter" : feed.status().serial;
        res.set_header("Content-Disposition", "attachment; filename=\"korvel-" + serial + "-memory.bin\"");
        res.set_content(std::string(bytes->begin(), bytes->end()), "application/octet-stream");
    });
}

void WebServer::State::routes() {
    server.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    server.set_payload_max_length(kMaxBody);
    server.set_read_timeout(10, 0);
    server.set_write_timeout(5, 0);
    server.set_keep_alive_timeout(5);
    server.set_keep_alive_max_count(1000);
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"X-Frame-Options", "DENY"},
                                {"Referrer-Policy", "no-referrer"}});
    // DNS rebinding: a page of another site that got this address for its
    // own name still sends its own name as Host.
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (hostAllowed(access, req.get_header_value("Host"))) return httplib::Server::HandlerResponse::Unhandled;
        refuse(res, 403, refusalText(Refusal::Host));
        return httplib::Server::HandlerResponse::Handled;
    });
    pages();
    readings();
    changes();
    downloads();
}

WebServer::WebServer(Session& session, MeterWorker& worker, const ServeOptions& options,
                     std::function<int()> scpiClients)
    : state_(std::make_unique<State>(session, worker, options, std::move(scpiClients))) {
    State& s = *state_;
    std::error_code error;
    if (!options.recordDir.empty() && !std::filesystem::is_directory(options.recordDir, error))
        throw Failure(kExitUsage, "--record-dir " + options.recordDir + " is not a folder");
    s.access.hosts = allowedHosts(options.bind);
    for (const std::string& name : options.httpHosts) s.access.hosts.push_back(hostName(name));
    if (!options.httpTokenFile.empty()) {
        s.access.token = readTokenFile(options.httpTokenFile);
        s.access.source = TokenSource::File;
    } else if (isLoopbackAddress(options.bind)) {
        s.access.token = newToken();
        s.access.source = TokenSource::Page;
    } else {
        s.access.source = TokenSource::ReadOnly;
    }
    s.dygraphScript = readFile(std::string(KORVEL_DYGRAPHS_DIR) + "/dygraph.min.js");
    s.dygraphStyle = readFile(std::string(KORVEL_DYGRAPHS_DIR) + "/dygraph.min.css");
    if (s.dygraphScript.empty())
        log("warning: no chart library in " KORVEL_DYGRAPHS_DIR " (install libjs-dygraphs); the page shows no chart");
    worker.setSampler([&s](Meter* meter) { s.sampler.sample(meter); },
                      std::chrono::duration_cast<std::chrono::milliseconds>(kSamplePeriod));
    s.routes();
}

WebServer::~WebServer() { stop(); }

std::string WebServer::bind() {
    State& s = *state_;
    const std::string host = s.options.bind.empty() ? "0.0.0.0" : s.options.bind;
    if (s.options.httpPort == 0) {
        s.port = s.server.bind_to_any_port(host);
    } else if (s.server.bind_to_port(host, s.options.httpPort)) {
        s.port = s.options.httpPort;
    } else {
        s.port = -1;
    }
    if (s.port <= 0)
        throw Failure(kExitUsage, "cannot listen for the page on " + host + " port " +
                                      std::to_string(s.options.httpPort) +
                                      " (in use or not an address of this host; choose another --http, or 0)");
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(s.port);
}

void WebServer::start() {
    State& s = *state_;
    s.thread = std::thread([&s] { s.server.listen_after_bind(); });
}

void WebServer::stop() {
    State& s = *state_;
    s.feed.stop();
    s.server.stop();
    if (s.thread.joinable()) s.thread.join();
    s.recorder.stop();
}

std::string WebServer::accessNote() const {
    switch (state_->access.source) {
    case TokenSource::Page: return "changes from the page need its token";
    case TokenSource::File: return "changes need the token in " + state_->options.httpTokenFile;
    case TokenSource::ReadOnly:
        return "settings and recording are read-only (reachable from other hosts; --http-token-file allows them)";
    }
    return "";
}

}  // namespace korvel::cli::serve::http

#include "serve/http/web_server.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/memory_image.h"
#include "core/failure.h"
#include "serve/http/http_server.h"
#include "serve/http/page_json.h"
#include "serve/http/live_feed.h"
#include "serve/http/metrics.h"
#include "serve/http/page_assets.h"
#include "serve/http/recorder.h"
#include "serve/http/sampler.h"
#include "serve/http/security.h"
#include "serve/http/worker_call.h"
#include "serve/http/page_settings.h"
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
constexpr int kThreads = 48;                  // requests answered at once (streams among them)
constexpr int kMaxStreams = 32;               // streams among them; the rest stay for requests
constexpr std::size_t kMaxBody = 64 * 1024;
constexpr std::size_t kMaxConnections = 2048; // open at once (fewer when descriptors are short)
constexpr auto kIdleDeadline = 5s;            // a connection with no request under way
constexpr auto kRequestDeadline = 2s;         // a request, from its first byte to its last
constexpr auto kWriteDeadline = 10s;          // a piece of an answer, to be taken
constexpr auto kSettingLimit = 10s;           // a setting must have begun by then, or it is dropped
constexpr auto kSettingFinish = 10s;          // and one that began, finished by then
constexpr int kHistoryPoints = 4000;          // points a history answer carries at most

const char kTokenHeader[] = "x-korvel-token";
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

void refuse(Reply& res, int status, const std::string& why) {
    res.status = status;
    res.set("{\"error\":" + jsonString(why) + "}\n", kJson);
}

// Connections the page may hold: as many as the descriptors the process
// may open allow, beside the SCPI port's clients and the program's own.
std::size_t connectionCap(int scpiClients) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMaxConnections;
    const long spare = static_cast<long>(limit.rlim_cur) - scpiClients - 64;
    return static_cast<std::size_t>(std::clamp<long>(spare, 8, static_cast<long>(kMaxConnections)));
}

HttpLimits limits(const ServeOptions& options) {
    HttpLimits l;
    l.idleDeadline = kIdleDeadline;
    l.requestDeadline = kRequestDeadline;
    l.writeDeadline = kWriteDeadline;
    l.maxConnections = connectionCap(options.noScpi ? 0 : options.maxClients);
    l.threads = kThreads;
    l.maxBody = kMaxBody;
    return l;
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
    const MeterLock* meterLock = nullptr;
    std::function<LxiDoors()> doors;
    std::vector<MeterWorker*> otherMeters;
    std::function<std::string()> meterList;
    Access access;
    LiveFeed feed;
    Recorder recorder;
    Sampler sampler;
    HttpServer server;
    int port = 0;
    const SteadyClock::time_point started = SteadyClock::now();
    std::atomic<int> streams{0};
    std::atomic<bool> dumping{false};
    std::mutex recordingMutex;  // start/stop and the demand they set
    std::string dygraphScript;
    std::string dygraphStyle;

    State(Session& s, MeterWorker& w, const ServeOptions& o, std::function<int()> clients)
        : session(s), worker(w), options(o), scpiClients(std::move(clients)), recorder(o.recordDir),
          sampler(s, feed, recorder), server(limits(o)) {}

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
        f.simulated = worker.benchSeat() != nullptr;  // the page shows the bench's field control
        return f;
    }

    std::string state(const Sample& sample) const {
        return stateJson(sample, feed.status(), feed.statistics(), recorder.state(), facts());
    }

    // POST routes: Host, Origin and token, or a 403 with the reason.
    bool mayChange(const Request& req, Reply& res) const {
        const Refusal refusal =
            checkStateChange(access, req.header("host"), req.header("origin"), req.header(kTokenHeader));
        if (refusal == Refusal::None) return true;
        refuse(res, 403, refusalText(refusal));
        return false;
    }

    // Settings wait while a VXI-11 client holds the meter: a 423 says why.
    bool mayChangeMeter(const Request& req, Reply& res) const {
        if (!mayChange(req, res)) return false;
        if (meterLock == nullptr || !meterLock->held()) return true;
        refuse(res, 423, kLockedSentence);
        return false;
    }

    // Runs a task on the meter's thread and waits for its answer ("" : done).
    std::string onWorker(std::function<std::string(Meter&)> task, std::chrono::seconds limit) {
        const WorkerOutcome outcome = runOnWorker(worker, std::move(task), limit, limit);
        if (outcome.state == WorkerOutcome::Dropped) return "the meter was busy; nothing was done";
        if (outcome.state == WorkerOutcome::Running) return "the meter did not finish in time";
        return outcome.error;
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
    server.get("/", [page](const Request&, Reply& res) {
        res.headers.emplace_back("Content-Security-Policy",
                       // The chart library styles its elements inline.
                       "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
                       "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
        res.headers.emplace_back("Cache-Control", "no-store");
        res.set(page, "text/html; charset=utf-8");
    });
    const auto asset = [this](const char* path, const std::string* text, const char* type) {
        server.get(path, [text, type](const Request&, Reply& res) {
            if (text->empty()) return refuse(res, 404, "not installed: the chart library (Debian's libjs-dygraphs)");
            res.headers.emplace_back("Cache-Control", "max-age=3600");
            res.set(*text, type);
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
    server.get("/api/state", [this](const Request&, Reply& res) {
        res.set(state(fresh()) + "\n", kJson);
    });
    server.get("/api/history", [this](const Request& req, Reply& res) {
        long seconds = 600;
        if (req.has("seconds")) {
            const std::string text = req.param("seconds");
            if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
                return refuse(res, 400, "seconds must be 1 to 3600");
            seconds = std::stol(text);
        }
        if (seconds < 1 || seconds > 3600) return refuse(res, 400, "seconds must be 1 to 3600");
        res.set(historyJson(feed.history(std::chrono::seconds(seconds), kHistoryPoints)), kJson);
    });
    server.get("/api/stream", [this](const Request&, Reply& res) {
        if (++streams > kMaxStreams) {
            --streams;
            return refuse(res, 503, "too many pages stream at once (" + std::to_string(kMaxStreams) + ")");
        }
        updateDemand();
        res.headers.emplace_back("Cache-Control", "no-store");
        res.type = "text/event-stream";
        auto last = std::make_shared<std::uint64_t>(0);
        res.stream = [this, last](std::string* event) {
            const auto sample =
                feed.waitNewer(*last, std::chrono::duration_cast<std::chrono::milliseconds>(kStreamKeepAlive));
            if (feed.stopped()) return false;  // the server stops: the stream ends cleanly
            // A slow page skips to the newest sample: at most 10 a second, never a backlog.
            *event = sample ? "data: " + state(*sample) + "\n\n" : std::string(": still here\n\n");
            if (sample) *last = sample->sequence;
            return true;
        };
        res.finished = [this] {
            --streams;
            updateDemand();
        };
    });
    server.get("/api/meters", [this](const Request&, Reply& res) {
        res.set(meterList ? meterList() : std::string("{\"meters\":[]}\n"), kJson);
    });
    server.get("/lxi/identification", [this](const Request& req, Reply& res) {
        LxiDoors known = doors ? doors() : LxiDoors{};
        known.httpPort = port;
        // The name the client reached this server by (the gate has checked it).
        std::string host = req.header("host");
        const std::size_t end = host.starts_with('[') ? host.find(']') + 1 : host.find(':');
        if (end != std::string::npos && end <= host.size()) host.resize(end);
        res.set(lxiIdentification(known, host), "text/xml; charset=utf-8");
    });
    server.get("/metrics", [this](const Request&, Reply& res) {
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
        std::vector<MetricsSnapshot> all{m};
        for (const MeterWorker* other : otherMeters) {
            MetricsSnapshot o;
            o.serial = other->serial();
            o.connected = other->connected();
            o.exchanges = other->exchanges();
            o.failedExchanges = other->failedExchanges();
            all.push_back(o);
        }
        res.set(formatMetrics(all), "text/plain; version=0.0.4; charset=utf-8");
    });
}

void WebServer::State::changes() {
    server.post("/api/settings", [this](const Request& req, Reply& res) {
        if (!mayChangeMeter(req, res)) return;
        std::map<std::string, std::string> fields;
        for (const auto& [name, value] : req.params) fields[name] = value;
        const Sample latest = feed.latest();
        const PresentUnits present{latest.hasReading ? latest.raw.units : 0, latest.hasReading ? latest.raw.acdc : 0};
        const SettingLines plan = settingLines(fields, present);
        if (!plan.error.empty()) return refuse(res, 400, plan.error);
        const WorkerOutcome outcome = runOnWorker(
            worker,
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
            kSettingLimit, kSettingFinish);
        // A setting that never began is dropped, so a refusal means nothing changed.
        if (outcome.state == WorkerOutcome::Dropped)
            return refuse(res, 503, "the meter was busy for " + std::to_string(kSettingLimit.count()) +
                                        " s; nothing was changed");
        if (outcome.state == WorkerOutcome::Running)
            return refuse(res, 504, "the change is still being made on the meter; see the page's state");
        if (!outcome.error.empty()) return refuse(res, 503, outcome.error);
        if (outcome.late) log("page: a setting was made late (the meter was busy)");
        if (outcome.late) res.headers.emplace_back("X-Korvel-Late", "1");
        feed.waitNewer(latest.sequence, 1000ms);  // the answer shows the new setting
        res.set(state(feed.latest()) + "\n", kJson);
    });
    server.post("/api/stats/reset", [this](const Request& req, Reply& res) {
        if (!mayChange(req, res)) return;
        feed.resetStatistics();
        res.set(state(feed.latest()) + "\n", kJson);
    });
    server.post("/api/recording/start", [this](const Request& req, Reply& res) {
        if (!mayChange(req, res)) return;
        std::string error;
        {
            std::lock_guard lock(recordingMutex);
            if (!recorder.start(&error)) return refuse(res, 409, error);
            updateDemand();
        }
        log("page: recording started (the file is made at its first reading)");
        res.set(state(feed.latest()) + "\n", kJson);
    });
    server.post("/api/recording/stop", [this](const Request& req, Reply& res) {
        if (!mayChange(req, res)) return;
        {
            std::lock_guard lock(recordingMutex);
            recorder.stop();
            updateDemand();
        }
        const Recorder::State recording = recorder.state();
        if (!recording.path.empty())
            log("page: recording stopped (" + std::to_string(recording.rows) + " rows in " + recording.path + ")");
        res.set(state(feed.latest()) + "\n", kJson);
    });
    BenchSeat* const bench = worker.benchSeat();
    if (bench == nullptr) return;
    // The simulated probe's field, for trying the page (and for its tests).
    server.post("/api/sim/field", [this, bench](const Request& req, Reply& res) {
        if (!mayChange(req, res)) return;
        double tesla = 0;
        try {
            size_t used = 0;
            const std::string text = req.param("tesla");
            tesla = std::stod(text, &used);
            if (used != text.size() || !(tesla >= -10 && tesla <= 10)) throw std::invalid_argument(text);
        } catch (const std::exception&) {
            return refuse(res, 400, "tesla must be a number from -10 to 10");
        }
        worker.post([bench, tesla](Meter*) { bench->setField(tesla); });
        worker.requestSample();
        res.set("{}\n", kJson);
    });
}

void WebServer::State::downloads() {
    server.get("/api/recording.csv", [this](const Request&, Reply& res) {
        const Recorder::State recording = recorder.state();
        if (recording.path.empty()) return refuse(res, 404, "nothing recorded yet");
        // Streamed from the file in pieces: a long recording is never held in memory.
        auto file = std::make_shared<std::ifstream>(recording.path, std::ios::binary);
        std::error_code error;
        const auto size = std::filesystem::file_size(recording.path, error);
        if (!*file || error) return refuse(res, 404, "the recording's file is gone: " + recording.path);
        res.headers.emplace_back("Content-Disposition",
                       "attachment; filename=\"" + std::filesystem::path(recording.path).filename().string() + "\"");
        // What was there when asked: rows added meanwhile wait for the next download.
        auto left = std::make_shared<std::uintmax_t>(size);
        res.type = "text/csv; charset=utf-8";
        res.stream = [file, left](std::string* piece) {
            if (*left == 0) return false;
            piece->resize(static_cast<std::size_t>(std::min<std::uintmax_t>(*left, 64 * 1024)));
            file->read(piece->data(), static_cast<std::streamsize>(piece->size()));
            const auto got = file->gcount();
            if (got <= 0) return false;
            piece->resize(static_cast<std::size_t>(got));
            *left -= static_cast<std::uintmax_t>(got);
            return true;
        };
    });
    // Read only: the page offers no way to write the memory.
    server.get("/api/memory.bin", [this](const Request&, Reply& res) {
        if (dumping.exchange(true)) return refuse(res, 429, "a memory image is being read already");
        auto bytes = std::make_shared<std::vector<std::uint8_t>>();
        const std::string error = onWorker(
            [this, bytes](Meter& meter) -> std::string {
                const BenchSeat* bench = worker.benchSeat();
                const int benchSize = bench != nullptr ? bench->memorySize() : -1;
                const int size = benchSize > 0 ? benchSize : kDefaultEepromSize;
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
        res.headers.emplace_back("Content-Disposition", "attachment; filename=\"korvel-" + serial + "-memory.bin\"");
        res.set(std::string(bytes->begin(), bytes->end()), "application/octet-stream");
    });
}

void WebServer::State::routes() {
    server.setDefaultHeaders({{"X-Content-Type-Options", "nosniff"},
                              {"X-Frame-Options", "DENY"},
                              {"Referrer-Policy", "no-referrer"}});
    // DNS rebinding: a page of another site that got this address for its
    // own name still sends its own name as Host.
    server.setGate([this](const Request& req, Reply& res) {
        if (hostAllowed(access, req.header("host"))) return true;
        refuse(res, 403, refusalText(Refusal::Host));
        return false;
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

std::string WebServer::bind(int port) {
    State& s = *state_;
    const std::string host = s.options.bind.empty() ? "0.0.0.0" : s.options.bind;
    s.port = s.server.bind(host, port);
    if (s.port <= 0)
        throw Failure(kExitUsage, "cannot listen for the page on " + host + " port " +
                                      std::to_string(port) +
                                      " (in use or not an address of this host; choose another --http, or 0)");
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(s.port);
}

void WebServer::start() {
    State& s = *state_;
    s.server.start();
}

void WebServer::stop() {
    State& s = *state_;
    s.feed.stop();
    s.server.stop();
    s.recorder.stop();
}

void WebServer::setLock(const MeterLock* lock) { state_->meterLock = lock; }

void WebServer::setOtherMeters(std::vector<MeterWorker*> workers) { state_->otherMeters = std::move(workers); }

void WebServer::setMeterList(std::function<std::string()> json) { state_->meterList = std::move(json); }

void WebServer::setDoors(std::function<LxiDoors()> doors) { state_->doors = std::move(doors); }

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

// The live page, its stream and /metrics over HTTP (Boost.Beast, on threads
// of its own; see http_server.h for the limits on connections). Readings come from the meter's worker: one sampler feeds
// every page, so the meter is read once however many pages watch.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/session.h"
#include "serve/http/lxi_identification.h"
#include "serve/meter_lock.h"
#include "serve/meter_worker.h"
#include "serve/options.h"

namespace korvel::cli::serve::http {

class WebServer {
public:
    // Registers the sampler with the worker: construct before worker.start().
    // scpiClients counts the SCPI port's clients (null without one).
    WebServer(Session& session, MeterWorker& worker, const ServeOptions& options,
              std::function<int()> scpiClients);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds the listener on --bind and `port` (--http, or the ports after
    // it for further meters); returns "address:port". Throws Failure when
    // it cannot.
    std::string bind(int port);
    // Serves on threads of its own until stop().
    void start();
    void stop();
    // While a VXI-11 client holds this lock, changes are refused (423).
    void setLock(const MeterLock* lock);
    // The server's other meters for /metrics: their serial, whether they
    // are open and their exchange counts (their readings are not taken).
    void setOtherMeters(std::vector<MeterWorker*> workers);
    // GET /api/meters: the server's meters and their pages, for the page's
    // meter chooser (JSON, asked at each request).
    void setMeterList(std::function<std::string()> json);
    // The doors /lxi/identification lists (asked at each request).
    void setDoors(std::function<LxiDoors()> doors);
    // How state changes are allowed, for the log.
    std::string accessNote() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace korvel::cli::serve::http

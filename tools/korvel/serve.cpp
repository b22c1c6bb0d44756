// korvel serve: the meter as a network SCPI instrument (VISA resource
// TCPIP0::HOST::PORT::SOCKET). The pieces live in serve/: message exchange
// (exchange, message), the meter's worker thread, the network loop.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/subcommand.h"
#include "core/failure.h"
#include "serve/allow_from.h"
#include "serve/dns_sd.h"
#include "serve/door.h"
#include "core/json.h"
#include "serve/http/security.h"
#include "serve/http/web_server.h"
#include "serve/log.h"
#include "serve/meter_lock.h"
#include "serve/meter_worker.h"
#include "serve/vxi11/port_mapper.h"
#include "serve/vxi11/vxi11_server.h"
#include "serve/options.h"
#include "serve/server.h"
#include "core/option_values.h"
#include "core/stop_signals.h"
#include "core/service_status.h"
#include "core/watchdog.h"
#include "serve/signals.h"

namespace korvel::cli::serve {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

int listenOn(const ServeOptions& options, int portNumber, std::string* where) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(portNumber);
    const int status = getaddrinfo(options.bind.c_str(), port.c_str(), &hints, &found);
    if (status != 0) throw Failure(kExitUsage, "cannot listen on " + options.bind + ": " + gai_strerror(status));
    // Bursts of connections wait in the kernel's queue instead of being
    // dropped (the kernel caps it at net.core.somaxconn).
    const int backlog = std::max(SOMAXCONN, options.maxClients);
    std::string why = "no address";
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        const int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            why = std::strerror(errno);
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, entry->ai_addr, entry->ai_addrlen) == 0 && listen(fd, backlog) == 0) {
            sockaddr_storage bound{};
            socklen_t length = sizeof bound;
            getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
            char host[NI_MAXHOST] = {};
            char service[NI_MAXSERV] = {};
            getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, host, sizeof host, service, sizeof service,
                        NI_NUMERICHOST | NI_NUMERICSERV);
            *where = bound.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + service
                                                 : std::string(host) + ":" + service;
            freeaddrinfo(found);
            return fd;
        }
        why = std::strerror(errno);
        ::close(fd);
    }
    freeaddrinfo(found);
    throw Failure(kExitUsage, "cannot listen on " + options.bind + " port " + port + ": " + why +
                                  " (choose another --port, or --port 0 for any free one)");
}

bool isLoopback(const std::string& where) { return where.starts_with("127.") || where.starts_with("[::1]"); }

// The library prints a line on standard output for every memory read. The
// server writes nothing there, so it goes nowhere: an unread pipe on
// standard output can then never stop the server.
void silenceStandardOutput() {
    std::fflush(stdout);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    dup2(null, STDOUT_FILENO);
    ::close(null);
}

// --no-scpi: nothing to serve on this thread; wait for a signal.
void waitForStop(MeterWorker& worker, int wakeRead) {
    Watchdog::Loop watchdog;
    while (stopSignal() == 0) {
        watchdog.alive();
        pollfd wake{wakeRead, POLLIN, 0};
        poll(&wake, 1, 1000);
        char bytes[64];
        while (read(wakeRead, bytes, sizeof bytes) > 0) {
        }
        if (takeCableRequest()) worker.requestCableToggle();
    }
    log(std::string("stopping on ") + StopSignals::name(stopSignal()));
}

// A wake-up pipe: a worker writes a byte when a line is done.
struct WakePipe {
    FileDescriptor read;
    FileDescriptor write;
};

std::unique_ptr<WakePipe> makeWakePipe() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw Failure(kExitMeterError, std::string("pipe: ") + std::strerror(errno));
    auto pipe = std::make_unique<WakePipe>();
    pipe->read.reset(fds[0]);
    pipe->write.reset(fds[1]);
    return pipe;
}

// One meter of the server: its worker, lock and socket port.
struct Served {
    std::unique_ptr<WakePipe> wake;
    std::unique_ptr<MeterLock> lock;
    std::unique_ptr<MeterWorker> worker;
    std::unique_ptr<FileDescriptor> listener;
    std::string where;
    std::optional<Server> server;
};

// The loops' shared view of the VXI-11 server, made after the workers.
struct VxiWake {
    std::atomic<vxi11::Vxi11Server*> server{nullptr};
};

// Makes the meters' workers: every meter found (--all), the serials asked
// for (--meter), or the one meter the program's options name.
std::vector<std::unique_ptr<Served>> makeMeters(Session& session, const ServeOptions& options, VxiWake& vxi) {
    std::vector<std::unique_ptr<Served>> meters;
    const ExchangeMode mode{options.raw, options.allowService};
    const auto add = [&]() -> Served& {
        auto served = std::make_unique<Served>();
        served->wake = makeWakePipe();
        served->lock = std::make_unique<MeterLock>();
        const int wakeFd = served->wake->write.get();
        served->worker = std::make_unique<MeterWorker>(session, mode, [wakeFd, &vxi] {
            const char byte = 1;
            [[maybe_unused]] const ssize_t ignored = write(wakeFd, &byte, 1);
            if (auto* server = vxi.server.load()) server->wake();
        });
        served->worker->setLock(served->lock.get());
        meters.push_back(std::move(served));
        return *meters.back();
    };
    // The first look is made before listening, so the first client finds a
    // meter that is there; without one the worker goes on looking.
    const auto openNow = [&options](MeterWorker& worker) {
        try {
            worker.openNow();
        } catch (const Failure& failure) {
            if (options.noWait || failure.exitCode() != kExitNoMeter) throw;
            log(std::string("the meter cannot be opened yet: ") + failure.what());
        }
    };
    if (options.allMeters) {
        std::vector<Meter> found = session.openAll();
        if (found.empty()) session.throwNoMeter();
        for (Meter& meter : found) {
            Served& served = add();
            served.worker->setSerial(meter.serial());
            served.worker->adopt(std::move(meter));
        }
    } else if (!options.meterSerials.empty()) {
        for (const std::string& serial : options.meterSerials) {
            Served& served = add();
            served.worker->setSerial(serial);
            openNow(*served.worker);
        }
    } else {
        openNow(*add().worker);
    }
    return meters;
}

// The VXI-11 core channel and how clients find it; null when it is off.
std::unique_ptr<vxi11::Vxi11Server> makeVxi11(const ServeOptions& options,
                                               const std::vector<std::unique_ptr<Served>>& meters,
                                               FileDescriptor* core, vxi11::PortMapping* mapping,
                                               std::string* where) {
    if (options.noVxi11 || options.noScpi) return nullptr;
    core->reset(listenOn(options, options.vxi11Port, where));
    const int corePort = std::stoi(where->substr(where->rfind(':') + 1));
    *mapping = vxi11::arrangePortMapping(options.bind, corePort);
    if (mapping->kind == vxi11::PortMapping::Off) {
        log("VXI-11 is off: " + mapping->why + "; the socket port serves on");
        return nullptr;
    }
    std::vector<MeterDoor> doors;
    for (std::size_t i = 0; i < meters.size(); ++i) {
        MeterDoor door;
        door.index = static_cast<int>(i);
        door.worker = meters[i]->worker.get();
        door.lock = meters[i]->lock.get();
        doors.push_back(door);
    }
    return std::make_unique<vxi11::Vxi11Server>(options, std::move(doors), core->get(), corePort, mapping->listener);
}

int portOf(const std::string& where) { return where.empty() ? -1 : std::stoi(where.substr(where.rfind(':') + 1)); }

// What DNS-SD announces: the page (_lxi._tcp, _http._tcp), VXI-11 through
// the port mapper, and each meter's socket port.
std::vector<Announcement> announcements(const ServeOptions& options, const std::vector<std::unique_ptr<Served>>& meters,
                                        bool vxi11, const std::string& pageWhere) {
    std::vector<Announcement> list;
    const std::string first = meters.front()->worker->serial();
    const std::string device = "Korvel " + (first.empty() ? std::string("meter") : first);
    if (!pageWhere.empty()) {
        list.push_back({device, "_lxi._tcp", portOf(pageWhere), {"path=/lxi/identification"}});
        list.push_back({device, "_http._tcp", portOf(pageWhere), {"path=/"}});
    }
    if (vxi11) list.push_back({device, "_vxi-11._tcp", 111, {}});
    for (std::size_t i = 0; i < meters.size() && !options.noScpi; ++i) {
        const std::string serial = meters[i]->worker->serial();
        list.push_back({"Korvel " + (serial.empty() ? std::string("meter") : serial) + " (inst" + std::to_string(i) + ")",
                        "_scpi-raw._tcp", portOf(meters[i]->where), {}});
    }
    return list;
}

int runServe(Session& session, const ServeOptions& options) {
    if (options.noScpi && options.httpPort < 0) throw Failure(kExitUsage, "--no-scpi needs --http PORT");
    if (!options.httpTokenFile.empty() && options.httpPort < 0)
        throw Failure(kExitUsage, "--http-token-file needs --http PORT");
    allowFrom().set(options.allowFrom);
    if (options.allowService && options.allowFrom.empty() && !http::isLoopbackAddress(options.bind))
        throw Failure(kExitUsage, "--allow-service on --bind " + options.bind +
                                      " would let any host that reaches the server rewrite the meter's calibration "
                                      "memory: name the networks that may connect with --allow-from CIDR, or bind "
                                      "127.0.0.1");
    if (options.allMeters && !options.meterSerials.empty())
        throw Failure(kExitUsage, "--all serves every meter found; leave out --meter, or --all");
    session.library().require(reinterpret_cast<const void*>(session.api().scpiCommand), "scpiCommand");
    ServiceNotifier::instance().holdReady();  // READY once listening
    VxiWake vxiWake;
    std::vector<std::unique_ptr<Served>> meters = makeMeters(session, options, vxiWake);
    MeterWorker& worker = *meters.front()->worker;
    const int wakeFd = meters.front()->wake->write.get();

    // The SCPI servers are made before the page, which counts their clients.
    for (std::size_t i = 0; i < meters.size() && !options.noScpi; ++i) {
        Served& served = *meters[i];
        const int port = options.port == 0 ? 0 : options.port + static_cast<int>(i);
        served.listener = std::make_unique<FileDescriptor>(listenOn(options, port, &served.where));
        served.server.emplace(options, *served.worker, served.listener->get(), served.wake->read.get());
    }
    FileDescriptor vxiCore(-1);
    vxi11::PortMapping mapping;
    std::string vxiWhere;
    std::unique_ptr<vxi11::Vxi11Server> vxi;
    vxi = makeVxi11(options, meters, &vxiCore, &mapping, &vxiWhere);
    if (!vxi) vxiCore.reset(-1);
    vxiWake.server = vxi.get();

    // A page per meter, on --http and the ports after it; the first one's
    // /metrics carries every meter.
    std::vector<std::unique_ptr<http::WebServer>> pages;
    std::vector<std::string> pageWheres;
    for (std::size_t i = 0; i < meters.size() && options.httpPort >= 0; ++i) {
        std::function<int()> scpiClients;
        if (!options.noScpi) {
            scpiClients = [&meters, &vxi] {
                int count = vxi ? vxi->connectionCount() : 0;
                for (const auto& served : meters) count += served->server ? served->server->clientCount() : 0;
                return count;
            };
        }
        auto& web = *pages.emplace_back(
            std::make_unique<http::WebServer>(session, *meters[i]->worker, options, std::move(scpiClients)));
        web.setLock(meters[i]->lock.get());
        if (i == 0) {
            std::vector<MeterWorker*> others;
            for (std::size_t k = 1; k < meters.size(); ++k) others.push_back(meters[k]->worker.get());
            web.setOtherMeters(std::move(others));
        }
        web.setMeterList([&meters, &pageWheres, i] {
            std::string json = "{\"current\":" + std::to_string(i) + ",\"meters\":[";
            for (std::size_t k = 0; k < meters.size() && k < pageWheres.size(); ++k) {
                json += std::string(k > 0 ? "," : "") + "{\"name\":\"inst" + std::to_string(k) + "\",\"serial\":" +
                        jsonString(meters[k]->worker->serial()) + ",\"port\":" +
                        std::to_string(portOf(pageWheres[k])) + "}";
            }
            return json + "]}\n";
        });
        web.setDoors([&meters, &vxi] {
            http::LxiDoors doors;
            doors.vxi11 = vxi != nullptr;
            for (std::size_t k = 0; k < meters.size(); ++k) {
                const Served& served = *meters[k];
                http::LxiMeter meter;
                meter.identification = served.worker->identification();
                meter.index = static_cast<int>(k);
                meter.socketPort = portOf(served.where);
                doors.meters.push_back(meter);
            }
            return doors;
        });
        pageWheres.push_back(web.bind(options.httpPort == 0 ? 0 : options.httpPort + static_cast<int>(i)));
    }
    const std::string pageWhere = pageWheres.empty() ? std::string() : pageWheres.front();
    // Workers stop before what their tasks use goes away.
    struct StopAll {
        std::vector<std::unique_ptr<Served>>& meters;
        ~StopAll() {
            for (auto& served : meters) served->worker->stop();
        }
    } stopAll{meters};
    silenceStandardOutput();
    const SignalScope signals(wakeFd);
    for (auto& served : meters) served->worker->start();
    if (!options.noScpi) {
        for (std::size_t i = 0; i < meters.size(); ++i) {
            const Served& served = *meters[i];
            const std::string serial = served.worker->serial();
            log("listening on " + served.where + (meters.size() > 1 ? " for inst" + std::to_string(i) : "") +
                (serial.empty() ? "" : " (meter " + serial + ")") + (options.raw ? " (raw replies)" : "") +
                (options.allowService ? " (service commands allowed)" : ""));
        }
        if (!isLoopback(meters.front()->where))
            log("warning: reachable from other hosts; anyone who can connect can drive the meter");
    }
    if (vxi) {
        vxi->start();
        log("VXI-11 on " + vxiWhere + " (TCPIP0::HOST::inst0::INSTR" +
            (meters.size() > 1 ? " to inst" + std::to_string(meters.size() - 1) : std::string()) + "; " +
            (mapping.kind == vxi11::PortMapping::Registered ? "registered with rpcbind"
                                                            : "port mapper answered on port 111") +
            ")");
    }
    for (std::size_t i = 0; i < pages.size(); ++i) {
        pages[i]->start();
        log("page on http://" + pageWheres[i] + "/" + (pages.size() > 1 ? " for inst" + std::to_string(i) : "") +
            (i == 0 ? " (metrics on /metrics)" : "") + "; " + pages[i]->accessNote());
    }
    std::optional<DnsSd> dnsSd;
    if (!options.noDnsSd) dnsSd.emplace(announcements(options, meters, vxi != nullptr, pageWhere), isLoopback(meters.front()->where.empty() ? pageWhere : meters.front()->where));
    ServiceStatus::process().set(ServiceStatus::MeterPart,
                                 worker.connected() ? "meter connected" : "no meter; looking for one");
    ServiceStatus::process().set(ServiceStatus::ServicePart,
                                 meters.front()->server ? "listening on " + meters.front()->where +
                                                              (pageWhere.empty() ? "" : ", page on " + pageWhere)
                                                        : "page on " + pageWhere);
    ServiceNotifier::instance().ready();
    // The first meter's loop runs here; the others on threads of their own.
    std::vector<std::thread> loops;
    for (std::size_t i = 1; i < meters.size(); ++i) {
        if (meters[i]->server) loops.emplace_back([&served = *meters[i]] { served.server->run(); });
    }
    if (meters.front()->server)
        meters.front()->server->run();
    else
        waitForStop(worker, meters.front()->wake->read.get());
    for (std::size_t i = 1; i < meters.size(); ++i) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = write(meters[i]->wake->write.get(), &byte, 1);
    }
    for (std::thread& loop : loops) loop.join();
    ServiceNotifier::instance().stopping();
    if (vxi) vxi->stop();
    vxiWake.server = nullptr;
    withdrawPortMapping(mapping);
    for (auto& page : pages) page->stop();
    for (auto& served : meters) served->worker->stop();
    return kExitOk;
}

}  // namespace
}  // namespace korvel::cli::serve

void add_serve_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    static serve::ServeOptions options;
    CLI::App* sub = addSubcommand(app, context, "serve",
                                  "Offer the meter as a LAN instrument (VXI-11, SCPI socket, live page, /metrics)");
    sub->add_option("--bind", options.bind, "Address to listen on (default 127.0.0.1: this host only)")
        ->type_name("ADDR");
    sub->add_option("--port", options.port, "TCP port (default 5025; 0 picks a free one, see the log)")
        ->type_name("PORT")
        ->check(valueCheck("--port", {ValueRule::Whole, 0, 65535, false, false, "a port number"}));
    sub->add_flag("--allow-service", options.allowService,
                  "Also run commands that change the meter's memory or calibration (:DIAG:DAT:EEPR writes, "
                  ":DIAG:DAT:DAC, :DIAG:REC, :DIAG:MOD, :DIAG:PWR, :DIAG:MUX:...)");
    sub->add_flag("--raw", options.raw,
                  "Answer every line with the interpreter's reply, refusals included, as the meter's own dialect "
                  "has it (no message exchange)");
    sub->add_flag("--no-wait", options.noWait, "Exit with code 3 when no meter is there at the start");
    sub->add_option("--idle-timeout", options.idleTimeout,
                    "Close a client that sends and takes nothing for this long (default 0: never; TCP keepalive "
                    "notices peers that are gone)")
        ->type_name("SECONDS")
        ->check(valueCheck("--idle-timeout", {ValueRule::Number, 0, 0, false, true, "a number of seconds"}));
    sub->add_option("--line-timeout", options.lineTimeout,
                    "A line once begun must end, and replies must be taken (those the kernel holds included), "
                    "within this long or the client is "
                    "closed (default 10)")
        ->type_name("SECONDS")
        ->check(valueCheck("--line-timeout", {ValueRule::Number, 0, 0, true, true, "a number of seconds"}));
    sub->add_option("--max-clients", options.maxClients,
                    "Clients served at once (default 64); when full, the longest-idle client is closed for a "
                    "newcomer, or the newcomer waits until one leaves")
        ->type_name("N")
        ->check(valueCheck("--max-clients", {ValueRule::Whole, 1, 1024, false, false, "a whole number"}));
    sub->add_option("--http", options.httpPort,
                    "Also serve the live page and Prometheus metrics (/metrics) over HTTP on this port, on the "
                    "--bind address (0 picks a free one, see the log)")
        ->type_name("PORT")
        ->check(valueCheck("--http", {ValueRule::Whole, 0, 65535, false, false, "a port number"}));
    sub->add_flag("--no-scpi", options.noScpi, "Serve the page alone: no SCPI port (needs --http)");
    sub->add_option("--http-token-file", options.httpTokenFile,
                    "Changes from the page (settings, recording) need the token on this file's first line (16 "
                    "characters or more), typed into the page; without it the page gets a fresh token of its "
                    "own when listening on loopback, and is read-only when reachable from other hosts")
        ->type_name("FILE");
    sub->add_option("--http-host", options.httpHosts,
                    "Another name the page answers to, as browsers and Prometheus write it in the Host header (for "
                    "example the host's full DNS name); repeatable. Besides it: localhost, 127.0.0.1, ::1, the "
                    "--bind address or name, and for a wildcard --bind this host's name and addresses")
        ->type_name("NAME");
    sub->add_flag("--all", options.allMeters,
                  "Serve every meter found at the start: inst0, inst1, ... in bus order, socket ports from --port "
                  "upward, one per meter");
    // Repeatable here, so the one-meter form every subcommand has gives way.
    sub->remove_option(sub->get_option("--meter"));
    sub->add_option("--meter", options.meterSerials,
                    "Serve the meter with this serial number; repeatable: inst0, inst1, ... in the order given, "
                    "socket ports from --port upward (each meter also answers as inst-SERIAL)")
        ->type_name("SERIAL")
        ->group("Meter selection");
    sub->add_option("--vxi11-port", options.vxi11Port,
                    "TCP port of the VXI-11 core channel (default 0: any free one; clients find it through the port "
                    "mapper on port 111)")
        ->type_name("PORT")
        ->check(CLI::Range(0, 65535));
    sub->add_option("--allow-from", options.allowFrom,
                    "Only hosts in this network may connect to any door (socket, VXI-11, page); others are closed "
                    "at once and logged once a minute; repeatable. Needed with --allow-service on an address other "
                    "than loopback")
        ->type_name("CIDR");
    sub->add_flag("--no-dns-sd", options.noDnsSd,
                  "Announce nothing through Avahi (by default, when an Avahi daemon runs: _lxi._tcp, _http._tcp, "
                  "_vxi-11._tcp and one _scpi-raw._tcp per meter; on loopback only when bound to loopback)");
    sub->add_flag("--no-vxi11", options.noVxi11, "Offer no VXI-11 (only the socket port and the page)");
    sub->add_option("--record-dir", options.recordDir,
                    "Folder for the page's recordings (default: recordings in the state folder, $STATE_DIRECTORY or "
                    "$XDG_STATE_HOME/korvel or ~/.local/state/korvel)")
        ->type_name("DIR");
    sub->callback([&context] {
        context.action = [&context] {
            Session session(context.meter);
            return serve::runServe(session, options);
        };
    });
}

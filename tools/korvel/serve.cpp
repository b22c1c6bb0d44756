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
#include <optional>
#include <string>

#include "core/command.h"
#include "core/failure.h"
#include "serve/http/web_server.h"
#include "serve/log.h"
#include "serve/meter_worker.h"
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

private:
    int fd_;
};

int listenOn(const ServeOptions& options, std::string* where) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options.port);
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

// Stops the meter's worker before what its tasks use goes away.
struct StopWorker {
    MeterWorker& worker;
    ~StopWorker() { worker.stop(); }
};

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

int runServe(Session& session, const ServeOptions& options) {
    if (options.noScpi && options.httpPort < 0) throw Failure(kExitUsage, "--no-scpi needs --http PORT");
    if (!options.httpTokenFile.empty() && options.httpPort < 0)
        throw Failure(kExitUsage, "--http-token-file needs --http PORT");
    session.library().require(reinterpret_cast<const void*>(session.api().scpiCommand), "scpiCommand");
    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw Failure(kExitMeterError, std::string("pipe: ") + std::strerror(errno));
    const FileDescriptor wakeRead(pipeFds[0]);
    const FileDescriptor wakeWrite(pipeFds[1]);
    const int wakeFd = wakeWrite.get();
    ServiceNotifier::instance().holdReady();  // READY once listening
    MeterWorker worker(session, ExchangeMode{options.raw, options.allowService}, [wakeFd] {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = write(wakeFd, &byte, 1);
    });
    // The first look is made before listening, so the first client finds a
    // meter that is there; without one the worker goes on looking.
    try {
        worker.openNow();
    } catch (const Failure& failure) {
        if (options.noWait || failure.exitCode() != kExitNoMeter) throw;
        log(std::string("the meter cannot be opened yet: ") + failure.what());
    }

    // The SCPI server is made before the page, which counts its clients.
    std::string where;
    const FileDescriptor listener(options.noScpi ? -1 : listenOn(options, &where));
    std::optional<Server> server;
    if (!options.noScpi) server.emplace(options, worker, listener.get(), wakeRead.get());
    std::optional<http::WebServer> web;
    std::string pageWhere;
    if (options.httpPort >= 0) {
        std::function<int()> scpiClients;
        if (server) scpiClients = [&server] { return server->clientCount(); };
        web.emplace(session, worker, options, std::move(scpiClients));
        pageWhere = web->bind();
    }
    const StopWorker stopWorker{worker};
    silenceStandardOutput();
    const SignalScope signals(wakeFd);
    worker.start();
    if (server) {
        log("listening on " + where + (options.raw ? " (raw replies)" : "") +
            (options.allowService ? " (service commands allowed)" : ""));
        if (!isLoopback(where))
            log("warning: reachable from other hosts; anyone who can connect can drive the meter");
    }
    if (web) {
        web->start();
        log("page on http://" + pageWhere + "/ (metrics on /metrics); " + web->accessNote());
    }
    ServiceStatus::process().set(ServiceStatus::MeterPart,
                                 worker.connected() ? "meter connected" : "no meter; looking for one");
    ServiceStatus::process().set(ServiceStatus::ServicePart,
                                 server ? "listening on " + where + (web ? ", page on " + pageWhere : "")
                                        : "page on " + pageWhere);
    ServiceNotifier::instance().ready();
    if (server)
        server->run();
    else
        waitForStop(worker, wakeRead.get());
    ServiceNotifier::instance().stopping();
    if (web) web->stop();
    worker.stop();
    return kExitOk;
}

}  // namespace
}  // namespace korvel::cli::serve

void add_serve_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    static serve::ServeOptions options;
    CLI::App* sub = addSubcommand(
        app, context, "serve",
        "Offer the meter as a network SCPI instrument (VISA resource TCPIP0::HOST::PORT::SOCKET, terminations "
        "\"\\n\"). Each line is one message; its commands are separated by \";\". A line is answered only when it "
        "holds a query: the queries' responses in order, joined by \";\" (so *OPC? reads 1). Commands that are "
        "not queries answer nothing; a refusal goes to the error queue (:SYST:ERR?). A header may omit its "
        "leading colon (MEAS:FLUX?). Lines may end in LF, CR LF or CR. Besides the meter's own commands: *WAI, "
        "*TST? (identification and one reading; 0 passed, 1 failed), :READ? and :FETC? (the reading as a plain "
        "number in the meter's units: gauss, tesla or A/m); *RST is refused into the error queue. --raw gives "
        "the meter's own dialect instead: every line's reply as the interpreter gives it. Commands that change "
        "the meter's memory or calibration are refused unless --allow-service. Without a meter the server "
        "waits for one and answers queries \"USB Connection Problem\" meanwhile (also while a lost meter is "
        "looked for again: after 1 s, then 2, 4, ... up to every 30 s); --no-wait exits 3 instead. Meter "
        "exchanges run on a thread of their own, the clients served in turn (one line each), so a newcomer "
        "waits one exchange per other busy client at most; a client found gone loses the lines it had waiting. "
        "Out of file descriptors, newcomers are told \"ERR: too many clients\" and closed. Past 10 connections "
        "from a host in a minute, the log counts them (\"N connections from HOST in the last minute\"). "
        "SIGINT or SIGTERM stop the "
        "server; with --simulate, SIGUSR1 pulls the simulated meter's cable or plugs it back in. --http PORT also "
        "serves a live page (the reading, a chart of the last 1, 10 or 60 minutes, min/max/mean/standard deviation, "
        "units, AC/DC, range, auto-range, relative and hold, recording to CSV, the memory image read only) and "
        "Prometheus metrics on /metrics; every page shares one stream of readings (10 a second while a page "
        "watches or a recording runs). The page answers only requests whose Host names this server or "
        "localhost; a change must be a POST from the page's own Origin with the server's token; a setting the "
        "meter cannot begin within 10 s is answered 503 and dropped. An HTTP connection is closed after 5 s "
        "without a request, 2 s into a request not yet whole; past 2048 connections the one waiting longest "
        "for its request makes room. Reachable from "
        "other hosts without --http-token-file, the page is read-only.",
        "  korvel serve --simulate                 simulated meter on 127.0.0.1:5025\n"
        "  korvel serve --port 5555                a real meter on another port\n"
        "  korvel serve --bind 0.0.0.0             reachable from the lab network\n"
        "  korvel --simulate serve --http 8080     and the live page on http://localhost:8080\n"
        "  korvel serve --no-scpi --http 8080      the page (and /metrics) alone\n"
        "  python3 -c \"import pyvisa; print(pyvisa.ResourceManager('@py').open_resource(\n"
        "      'TCPIP0::127.0.0.1::5025::SOCKET', read_termination='\\n', write_termination='\\n'\n"
        "      ).query('*IDN?'))\"\n");
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

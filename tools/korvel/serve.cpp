// korvel serve: the meter as a raw-socket SCPI instrument (TCPIP::host::5025::SOCKET).
//
// One thread, one poll() loop. Every client has a fixed line buffer and a
// bounded reply queue; in each round every client with a complete line gets
// exactly one line executed, so a chatty client cannot starve a quiet one, and
// a client that stops reading only stops its own lines. The meter is one
// serial resource: lines run one at a time, each whole, through scpiCommand.
#include "serve.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/command.h"
#include "core/failure.h"
#include "core/reading.h"

namespace korvel::cli::serve {

// ------------------------------------------------------------ service lines

namespace {

// The piece from the next ":" after its first character: where the
// interpreter walks a child table from. Empty when there is none.
std::string_view descend(std::string_view text) {
    const size_t colon = text.find(':', 1);
    return colon == std::string_view::npos ? std::string_view() : text.substr(colon);
}

// One piece, upper-cased. Keywords match as prefixes of their compared
// length, exactly as the command tables compare them.
bool isServicePiece(std::string_view piece) {
    if (!piece.starts_with(":DIA")) return false;
    const std::string_view diag = descend(piece);
    for (const std::string_view keyword : {":REC", ":MUX", ":MOD", ":PWR"}) {
        if (diag.starts_with(keyword)) return true;
    }
    if (!diag.starts_with(":DAT")) return false;
    const std::string_view data = descend(diag);
    if (data.starts_with(":DAC")) return true;
    if (data.starts_with(":EEPR")) {
        // The handler reads when its keyword as typed (up to the first blank)
        // ends in "?"; everything else is a write, or a refusal it makes.
        const std::string_view keyword = data.substr(0, data.find(' '));
        return keyword.back() != '?';
    }
    return false;
}

}  // namespace

bool isServiceLine(std::string_view line) {
    std::string upper(line);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    std::string_view rest(upper);
    while (!rest.empty()) {
        const size_t end = rest.find(';');
        if (isServicePiece(rest.substr(0, end))) return true;
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return false;
}

// -------------------------------------------------------------- line buffer

bool LineBuffer::hasLine() const { return std::memchr(bytes_, '\n', used_) != nullptr; }

LineBuffer::Next LineBuffer::next(std::string* line) {
    const char* end = static_cast<const char*>(std::memchr(bytes_, '\n', used_));
    if (end == nullptr) {
        // Only a "\r" may still follow the longest line before its "\n".
        const bool tooLong = used_ > kMaxLineLength &&
                             !(used_ == kMaxLineLength + 1 && bytes_[used_ - 1] == '\r');
        return tooLong ? Next::Overflow : Next::None;
    }
    const size_t length = static_cast<size_t>(end - bytes_);
    size_t content = length;
    if (content > 0 && bytes_[content - 1] == '\r') --content;
    if (content > kMaxLineLength) return Next::Overflow;
    line->assign(bytes_, content);
    used_ -= length + 1;
    std::memmove(bytes_, end + 1, used_);
    return Next::Line;
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kConnectionProblem = "USB Connection Problem";
constexpr const char* kServiceRefused =
    "ERR: service command refused (start korvel serve with --allow-service)";
constexpr const char* kNulRefused = "ERR: the line holds a NUL byte";
// Replies waiting for a client that does not read stop its own lines here.
constexpr size_t kOutputHighWater = 16 * 1024;
// A failed reopen is not tried again sooner than this, so a missing meter
// answers at once instead of holding every client up.
constexpr auto kReopenPause = std::chrono::seconds(1);

void log(const std::string& message) {
    std::fprintf(stderr, "%s korvel serve: %s\n",
                 isoTimestamp(std::chrono::system_clock::now()).c_str(), message.c_str());
    std::fflush(stderr);
}

// ----------------------------------------------------------------- signals

volatile sig_atomic_t stopSignal = 0;
volatile sig_atomic_t cableSignal = 0;
int wakeWrite = -1;

void onSignal(int number) {
    if (number == SIGUSR1) {
        cableSignal = 1;
    } else {
        stopSignal = number;
    }
    const int saved = errno;
    if (wakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = write(wakeWrite, &byte, 1);
    }
    errno = saved;
}

class SignalScope {
public:
    explicit SignalScope(int wakeFd) {
        wakeWrite = wakeFd;
        stopSignal = 0;
        cableSignal = 0;
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < kCount; ++i) sigaction(kSignals[i], &action, &saved_[i]);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &savedPipe_);
    }
    ~SignalScope() {
        for (int i = 0; i < kCount; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
        sigaction(SIGPIPE, &savedPipe_, nullptr);
        wakeWrite = -1;
    }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

private:
    static constexpr int kCount = 3;
    static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGUSR1};
    struct sigaction saved_[kCount] {};
    struct sigaction savedPipe_ {};
};

// ------------------------------------------------------------------- meter

// The meter behind the server: opened at start, reopened on the next line
// after it was lost.
class MeterLink {
public:
    explicit MeterLink(Session& session) : session_(session) {}

    void open() {
        meter_.emplace(session_.open());
        simulatedIndex_ = session_.simulatedIndex(*meter_);
        session_.armUnplug(*meter_);  // --unplug-after, as every subcommand honours it
        log("meter " + meter_->identification() + " (" + session_.library().path() + ")");
    }

    std::string execute(const std::string& line) {
        if ((!meter_ || meter_->lost()) && !reopen()) return kConnectionProblem;
        std::string reply = meter_->scpi(line);
        if (meter_->lost()) {
            log("lost the meter (\"" + line + "\" answered " + kConnectionProblem +
                "); it is opened again on the next line");
        }
        return reply;
    }

    // SIGUSR1 with the simulated meter: pull its cable, or plug it back in.
    void toggleSimulatedCable() {
        if (!session_.simulated() || simulatedIndex_ < 0) {
            log("SIGUSR1 ignored: it pulls the cable of a simulated meter only");
            return;
        }
        const Api& api = session_.api();
        if (!cablePulled_) {
            api.korvelSimUnplug(simulatedIndex_);
            cablePulled_ = true;
            log("simulated meter " + std::to_string(simulatedIndex_) + ": cable pulled (SIGUSR1)");
            return;
        }
        // The CLI's table has no replug; the library is loaded already, so
        // this finds it without loading anything.
        void* handle = dlopen(session_.library().path().c_str(), RTLD_NOW | RTLD_NOLOAD);
        auto* replug = handle != nullptr
                           ? reinterpret_cast<decltype(&::korvelSimReplug)>(dlsym(handle, "korvelSimReplug"))
                           : nullptr;
        if (replug == nullptr || replug(simulatedIndex_) != 0) {
            log("simulated meter: cannot plug the cable back in");
        } else {
            cablePulled_ = false;
            log("simulated meter " + std::to_string(simulatedIndex_) + ": cable plugged back in (SIGUSR1)");
        }
        if (handle != nullptr) dlclose(handle);
    }

private:
    bool reopen() {
        const auto now = Clock::now();
        if (lastFailedOpen_ && now - *lastFailedOpen_ < kReopenPause) return false;
        meter_.reset();
        try {
            meter_.emplace(session_.open());
            lastFailedOpen_.reset();
            reportedMissing_ = false;
            log("meter opened again: " + meter_->identification());
            return true;
        } catch (const Failure& failure) {
            lastFailedOpen_ = Clock::now();
            if (!reportedMissing_) log(std::string("the meter cannot be opened yet: ") + failure.what());
            reportedMissing_ = true;
            return false;
        }
    }

    Session& session_;
    std::optional<Meter> meter_;
    int simulatedIndex_ = -1;
    bool cablePulled_ = false;
    bool reportedMissing_ = false;
    std::optional<Clock::time_point> lastFailedOpen_;
};

// ------------------------------------------------------------------ server

struct ServeOptions {
    std::string bind = "127.0.0.1";
    int port = 5025;
    bool allowService = false;
    double idleTimeout = 300;
    int maxClients = 16;
};

struct Client {
    int fd = -1;
    std::string peer;
    LineBuffer input;
    std::string output;
    Clock::time_point lastProgress;
    bool endOfInput = false;
};

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

std::string addressText(const sockaddr* address) {
    char host[NI_MAXHOST] = {};
    char port[NI_MAXSERV] = {};
    const socklen_t length = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(address, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    return address->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

int listenOn(const ServeOptions& options, std::string* where) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options.port);
    const int status = getaddrinfo(options.bind.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        throw Failure(kExitUsage, "cannot listen on " + options.bind + ": " + gai_strerror(status));
    }
    std::string why = "no address";
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        const int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            why = std::strerror(errno);
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, entry->ai_addr, entry->ai_addrlen) == 0 && listen(fd, 16) == 0) {
            sockaddr_storage bound{};
            socklen_t length = sizeof bound;
            getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
            *where = addressText(reinterpret_cast<sockaddr*>(&bound));
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

bool isLoopback(const std::string& where) {
    return where.starts_with("127.") || where.starts_with("[::1]");
}

class Server {
public:
    Server(const ServeOptions& options, MeterLink& meter, int listener)
        : options_(options), meter_(meter), listener_(listener) {
        clients_.reserve(static_cast<size_t>(options_.maxClients));
    }

    void run(int wakeRead) {
        std::vector<pollfd> fds;
        while (stopSignal == 0) {
            fds.clear();
            fds.push_back({wakeRead, POLLIN, 0});
            fds.push_back({listener_, POLLIN, 0});
            for (const Client& client : clients_) {
                short events = 0;
                if (!client.endOfInput && client.input.spaceLeft() > 0 && client.output.size() < kOutputHighWater)
                    events |= POLLIN;
                if (!client.output.empty()) events |= POLLOUT;
                fds.push_back({client.fd, events, 0});
            }
            const int ready = poll(fds.data(), static_cast<nfds_t>(fds.size()), pollTimeout());
            if (ready < 0 && errno != EINTR) throw Failure(kExitMeterError, std::string("poll: ") + std::strerror(errno));
            if (fds[0].revents & POLLIN) drainWake(wakeRead);
            if (stopSignal != 0) break;
            if (cableSignal != 0) {
                cableSignal = 0;
                meter_.toggleSimulatedCable();
            }
            // Clients accepted now are not in fds yet; they are polled next round.
            const size_t polled = fds.size() - 2;
            for (size_t i = 0; i < polled && i < clients_.size(); ++i) transfer(clients_[i], fds[i + 2].revents);
            if (fds[1].revents & POLLIN) acceptClients();
            executeRound();
            expireIdle();
            removeClosed();
        }
        log(std::string("stopping on ") + (stopSignal == SIGTERM ? "SIGTERM" : "SIGINT"));
        for (Client& client : clients_) closeClient(client, nullptr);
        removeClosed();
    }

private:
    static void drainWake(int fd) {
        char bytes[64];
        while (read(fd, bytes, sizeof bytes) > 0) {
        }
    }

    int pollTimeout() const {
        int timeout = 1000;
        const auto now = Clock::now();
        for (const Client& client : clients_) {
            if (client.output.size() < kOutputHighWater && client.input.hasLine()) return 0;
            if (options_.idleTimeout > 0) {
                const auto due = client.lastProgress + std::chrono::duration_cast<Clock::duration>(
                                                           std::chrono::duration<double>(options_.idleTimeout));
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
                timeout = static_cast<int>(std::clamp<long long>(left + 1, 0, timeout));
            }
        }
        return timeout;
    }

    void acceptClients() {
        while (true) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;  // EAGAIN, or a connection that went away meanwhile
            const std::string peer = addressText(reinterpret_cast<sockaddr*>(&address));
            if (clients_.size() >= static_cast<size_t>(options_.maxClients)) {
                const char busy[] = "ERR: too many clients\n";
                [[maybe_unused]] const ssize_t ignored = send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL);
                ::close(fd);
                log("refused " + peer + ": already " + std::to_string(clients_.size()) + " clients (--max-clients)");
                continue;
            }
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            Client& client = clients_.emplace_back();
            client.fd = fd;
            client.peer = peer;
            client.lastProgress = Clock::now();
            log("client " + peer + " connected");
        }
    }

    // Moves bytes between one client's socket and its buffers.
    void transfer(Client& client, short revents) {
        if (client.fd < 0) return;
        if ((revents & (POLLIN | POLLHUP | POLLERR)) && !client.endOfInput && client.input.spaceLeft() > 0) {
            const ssize_t got = recv(client.fd, client.input.space(), client.input.spaceLeft(), 0);
            if (got > 0) {
                client.input.commit(static_cast<size_t>(got));
                client.lastProgress = Clock::now();
            } else if (got == 0) {
                client.endOfInput = true;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                closeClient(client, "connection error");
                return;
            }
        }
        if (revents & POLLOUT) flush(client);
    }

    void flush(Client& client) {
        if (client.fd < 0 || client.output.empty()) return;
        const ssize_t sent = send(client.fd, client.output.data(), client.output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            client.output.erase(0, static_cast<size_t>(sent));
            client.lastProgress = Clock::now();
        } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            closeClient(client, "connection error");
        }
    }

    // One line for every client that has one, starting one further each round.
    void executeRound() {
        const size_t count = clients_.size();
        if (count == 0) return;
        const size_t first = nextFirst_++ % count;
        for (size_t k = 0; k < count && stopSignal == 0; ++k) {
            Client& client = clients_[(first + k) % count];
            if (client.fd < 0 || client.output.size() >= kOutputHighWater) continue;
            std::string line;
            switch (client.input.next(&line)) {
            case LineBuffer::Next::Line:
                answer(client, line);
                break;
            case LineBuffer::Next::Overflow:
                client.output = "ERR: line too long\n";
                flush(client);
                closeClient(client, "sent a line longer than " + std::to_string(kMaxLineLength) + " bytes");
                break;
            case LineBuffer::Next::None:
                if (client.endOfInput && client.output.empty()) closeClient(client, "disconnected");
                break;
            }
        }
    }

    void answer(Client& client, const std::string& line) {
        client.lastProgress = Clock::now();
        if (line.empty()) return;  // a bare line end: nothing to run, nothing to answer
        std::string reply;
        if (line.find('\0') != std::string::npos) {
            reply = kNulRefused;
        } else if (!options_.allowService && isServiceLine(line)) {
            reply = kServiceRefused;
        } else {
            reply = meter_.execute(line);
        }
        if (reply.empty()) return;
        client.output += reply;
        client.output += '\n';
        flush(client);
    }

    void expireIdle() {
        if (options_.idleTimeout <= 0) return;
        const auto limit = std::chrono::duration<double>(options_.idleTimeout);
        const auto now = Clock::now();
        for (Client& client : clients_) {
            if (client.fd >= 0 && now - client.lastProgress > limit) closeClient(client, "idle, timed out");
        }
    }

    void closeClient(Client& client, const char* why) { closeClient(client, std::string(why ? why : "")); }
    void closeClient(Client& client, const std::string& why) {
        if (client.fd < 0) return;
        ::close(client.fd);
        client.fd = -1;
        log("client " + client.peer + (why.empty() ? " closed" : ": " + why));
    }

    void removeClosed() {
        clients_.erase(std::remove_if(clients_.begin(), clients_.end(), [](const Client& c) { return c.fd < 0; }),
                       clients_.end());
    }

    const ServeOptions& options_;
    MeterLink& meter_;
    int listener_;
    std::vector<Client> clients_;
    size_t nextFirst_ = 0;
};

int runServe(Session& session, const ServeOptions& options) {
    session.library().require(reinterpret_cast<const void*>(session.api().scpiCommand), "scpiCommand");
    MeterLink meter(session);
    meter.open();

    std::string where;
    const FileDescriptor listener(listenOn(options, &where));
    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        throw Failure(kExitMeterError, std::string("pipe: ") + std::strerror(errno));
    }
    const FileDescriptor wakeRead(pipeFds[0]);
    const FileDescriptor wakeWriteEnd(pipeFds[1]);
    const SignalScope signals(wakeWriteEnd.get());

    log("listening on " + where + (options.allowService ? " (service commands allowed)" : ""));
    if (!isLoopback(where)) {
        log("warning: reachable from other hosts; anyone who can connect can drive the meter");
    }
    Server server(options, meter, listener.get());
    server.run(wakeRead.get());
    return kExitOk;
}

}  // namespace
}  // namespace korvel::cli::serve

void add_serve_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    static serve::ServeOptions options;
    CLI::App* sub = addSubcommand(
        app, context, "serve",
        "Offer the meter as a raw-socket SCPI instrument on TCP (VISA resource TCPIP0::HOST::PORT::SOCKET, "
        "terminations \"\\n\"): each line a client sends runs through the SCPI interpreter and a non-empty "
        "reply comes back as one line. Several clients are served fairly. Commands that change the meter's "
        "memory or calibration are refused unless --allow-service. A lost meter answers \"USB Connection "
        "Problem\" and is opened again on the next line. SIGINT or SIGTERM stop the server. With "
        "--simulate, SIGUSR1 pulls the simulated meter's cable or plugs it back in.",
        "  korvel serve --simulate                 simulated meter on 127.0.0.1:5025\n"
        "  korvel serve --port 5555                a real meter on another port\n"
        "  korvel serve --bind 0.0.0.0             reachable from the lab network\n"
        "  python3 -c \"import pyvisa; print(pyvisa.ResourceManager('@py').open_resource(\n"
        "      'TCPIP0::127.0.0.1::5025::SOCKET', read_termination='\\n', write_termination='\\n'\n"
        "      ).query('*IDN?'))\"\n");
    sub->add_option("--bind", options.bind, "Address to listen on (default 127.0.0.1: this host only)")
        ->type_name("ADDR");
    sub->add_option("--port", options.port, "TCP port (default 5025; 0 picks a free one, see the log)")
        ->type_name("PORT")
        ->check(CLI::Range(0, 65535));
    sub->add_flag("--allow-service", options.allowService,
                  "Also run commands that change the meter's memory or calibration (:DIAG:DAT:EEPR writes, "
                  ":DIAG:DAT:DAC, :DIAG:REC, :DIAG:MOD, :DIAG:PWR, :DIAG:MUX:...)");
    sub->add_option("--idle-timeout", options.idleTimeout,
                    "Close a client that sends and takes nothing for this long (default 300; 0: never)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--max-clients", options.maxClients, "Clients served at once (default 16)")
        ->type_name("N")
        ->check(CLI::Range(1, 1024));
    sub->callback([&context] {
        context.action = [&context] {
            Session session(context.meter);
            return serve::runServe(session, options);
        };
    });
}

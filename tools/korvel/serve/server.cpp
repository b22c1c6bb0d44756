#include "serve/server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/failure.h"
#include "serve/allow_from.h"
#include "serve/log.h"
#include "core/stop_signals.h"
#include "core/watchdog.h"
#include "serve/signals.h"

namespace korvel::cli::serve {
namespace {

// Replies waiting for a client that does not read stop its own lines here.
constexpr std::size_t kOutputHighWater = 16 * 1024;
// Lines of one client at the meter at a time: enough that a client sending
// ahead never leaves the meter waiting for the network loop, few enough that
// another client's line waits behind a handful at most.
constexpr int kLinesAtMeter = 4;
// A client must have been idle this long before it is closed for a newcomer.
constexpr auto kIdleBeforeEviction = std::chrono::seconds(1);
// How often a full server looks again for room.
constexpr int kFullRecheckMs = 100;
// Out of descriptors: how long the listener rests before accept is tried
// again, and how many newcomers are turned away each time at most.
constexpr auto kDescriptorRest = std::chrono::milliseconds(100);
constexpr int kTurnAwayPerRound = 64;
constexpr char kTooManyClients[] = "ERR: too many clients\n";

int openReserve() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

std::string addressText(const sockaddr* address) {
    char host[NI_MAXHOST] = {};
    char port[NI_MAXSERV] = {};
    const socklen_t length = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(address, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    return address->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

std::chrono::steady_clock::duration seconds(double value) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace

Server::Server(const ServeOptions& options, MeterWorker& worker, int listener, int wakeRead)
    : options_(options),
      worker_(worker),
      mode_{options.raw, options.allowService},
      listener_(listener),
      wakeRead_(wakeRead),
      reserve_(openReserve()) {}

Server::~Server() {
    if (reserve_ >= 0) ::close(reserve_);
}

void Server::run() {
    std::vector<pollfd> fds;
    std::vector<Client*> polled;
    Watchdog::Loop watchdog;  // pings stop when this loop does (poll waits 1 s at most)
    while (stopSignal() == 0) {
        watchdog.alive();
        const auto now = Clock::now();
        const bool listening = now >= listenAgain_ && (!full() || longestIdle(now) != nullptr);
        fds.clear();
        polled.clear();
        fds.push_back({wakeRead_, POLLIN, 0});
        fds.push_back({listener_, static_cast<short>(listening ? POLLIN : 0), 0});
        for (const auto& client : clients_) {
            if (client->fd < 0) continue;
            short events = 0;
            if (!client->endOfInput && client->input.spaceLeft() > 0 && client->output.size() < kOutputHighWater)
                events |= POLLIN;
            if (!client->output.empty()) events |= POLLOUT;
            fds.push_back({client->fd, events, 0});
            polled.push_back(client.get());
        }
        const int ready = poll(fds.data(), static_cast<nfds_t>(fds.size()), pollTimeout(now));
        if (ready < 0 && errno != EINTR) throw Failure(kExitMeterError, std::string("poll: ") + std::strerror(errno));
        if (fds[0].revents & POLLIN) {
            char bytes[256];
            while (read(wakeRead_, bytes, sizeof bytes) > 0) {
            }
        }
        if (stopSignal() != 0) break;
        if (takeCableRequest()) worker_.requestCableToggle();
        deliverDone();
        for (std::size_t i = 0; i < polled.size(); ++i) transfer(*polled[i], fds[i + 2].revents);
        if (fds[1].revents & POLLIN) acceptClients();
        executeRound();
        enforceTimeouts();
        removeClosed();
        connections_.tick(Clock::now());
    }
    log(std::string("stopping on ") + StopSignals::name(stopSignal()));
    for (auto& client : clients_) closeClient(*client, "server stopping");
    removeClosed();
    connections_.flush();
}

int Server::pollTimeout(Clock::time_point now) const {
    auto due = now + std::chrono::seconds(1);
    const auto lineLimit = seconds(options_.lineTimeout);
    const bool connected = worker_.connected();
    for (const auto& c : clients_) {
        if (c->fd < 0) continue;
        const bool ready =
            c->input.hasLine() || (c->endOfInput && c->atMeter == 0 && (c->input.midLine() || c->output.empty()));
        const bool canTake = c->atMeter < kLinesAtMeter && (connected || c->atMeter == 0);
        if (canTake && c->output.size() < kOutputHighWater && ready) return 0;
        if (c->lineBegun) due = std::min(due, c->lineStart + lineLimit);
        if (!c->output.empty() || c->kernelQueued > 0) due = std::min(due, c->outputSince + lineLimit);
        if (options_.idleTimeout > 0) due = std::min(due, c->lastActivity + seconds(options_.idleTimeout));
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1;
    if (full()) wait = std::min<long long>(wait, kFullRecheckMs);
    if (now < listenAgain_)
        wait = std::min<long long>(wait, std::chrono::duration_cast<std::chrono::milliseconds>(listenAgain_ - now).count() + 1);
    return static_cast<int>(std::clamp<long long>(wait, 0, 1000));
}

bool Server::full() const {
    std::size_t open = 0;
    for (const auto& client : clients_) open += client->fd >= 0 ? 1 : 0;
    return open >= static_cast<std::size_t>(options_.maxClients);
}

// The client idle longest (a second at least), the one a newcomer may
// replace when the server is full; null when none is idle.
Server::Client* Server::longestIdle(Clock::time_point now) const {
    Client* oldest = nullptr;
    for (const auto& c : clients_) {
        const bool idle = c->fd >= 0 && c->atMeter == 0 && c->output.empty() && !c->lineBegun && !c->input.hasLine() &&
                          now - c->lastActivity >= kIdleBeforeEviction;
        if (idle && (oldest == nullptr || c->lastActivity < oldest->lastActivity)) oldest = c.get();
    }
    return oldest;
}

void Server::acceptClients() {
    while (!full() || longestIdle(Clock::now()) != nullptr) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd =
            accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) outOfDescriptors(errno);
            return;  // EAGAIN, or a connection that went away meanwhile
        }
        if (!allowFrom().admit(fd, "socket")) {
            ::close(fd);
            continue;
        }
        if (exhausted_) {
            log("descriptors free again; " + std::to_string(turnedAway_) + " newcomers were told \"too many clients\"");
            exhausted_ = false;
            turnedAway_ = 0;
        }
        // Only a newcomer that is really there costs an idle client its place.
        if (Client* idle = full() ? longestIdle(Clock::now()) : nullptr; idle != nullptr)
            closeClient(*idle, "closed to make room (idle, and --max-clients reached)");
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        auto client = std::make_unique<Client>();
        client->id = newClientId();
        client->fd = fd;
        client->peer = addressText(reinterpret_cast<sockaddr*>(&address));
        client->lastActivity = Clock::now();
        client->logged = connections_.connected(client->peer, client->lastActivity);
        clients_.push_back(std::move(client));
        ++connected_;
    }
}

// The process (or the system) has no descriptor left for a newcomer. The
// listener stays readable, so it rests a moment rather than wake the loop
// at once again; meanwhile the reserve descriptor is spent on each waiting
// newcomer in turn to tell it so.
void Server::outOfDescriptors(int error) {
    if (!exhausted_)
        log(std::string("out of file descriptors (") + std::strerror(error) +
            "): newcomers are told \"too many clients\" and closed until some are free");
    exhausted_ = true;
    listenAgain_ = Clock::now() + kDescriptorRest;
    for (int i = 0; i < kTurnAwayPerRound && reserve_ >= 0; ++i) {
        ::close(reserve_);
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t sent =
                send(fd, kTooManyClients, sizeof kTooManyClients - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            ++turnedAway_;
        }
        reserve_ = openReserve();
        if (fd < 0) break;
    }
}

void Server::transfer(Client& client, short revents) {
    if (client.fd < 0) return;
    // Reset, or shut both ways: nothing it still sent is answered.
    if (revents & POLLHUP) {
        closeClient(client, "gone (connection closed both ways)");
        return;
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR)) && !client.endOfInput && client.input.spaceLeft() > 0) {
        const ssize_t got = recv(client.fd, client.input.space(), client.input.spaceLeft(), 0);
        if (got > 0) {
            client.input.commit(static_cast<std::size_t>(got));
            client.lastActivity = Clock::now();
            if (!client.lineBegun && client.input.midLine()) {
                client.lineBegun = true;
                client.lineStart = client.lastActivity;
            }
        } else if (got == 0) {
            client.endOfInput = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            closeClient(client, "connection error");
            return;
        }
    }
    if (revents & POLLOUT) flush(client);
}

void Server::flush(Client& client) {
    if (client.fd < 0 || client.output.empty()) return;
    const ssize_t sent = send(client.fd, client.output.data(), client.output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
        client.output.erase(0, static_cast<std::size_t>(sent));
        // Handed to the kernel, not yet taken: outputSince moves when the
        // peer takes bytes (checkKernelQueues).
        client.kernelQueued += static_cast<int>(sent);
        client.lastActivity = Clock::now();
    } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        closeClient(client, "connection error");
    }
}

void Server::reply(Client& client, const std::string& text) {
    if (client.output.empty() && client.kernelQueued == 0) client.outputSince = Clock::now();
    client.output += text;
    client.output += '\n';
    flush(client);
}

Server::Client* Server::find(std::uint64_t id) {
    for (auto& client : clients_) {
        if (client->id == id) return client.get();
    }
    return nullptr;
}

void Server::deliverDone() {
    done_.clear();
    worker_.takeDone(&done_);
    for (const MeterWorker::Done& done : done_) {
        Client* client = find(done.client);
        if (client == nullptr) continue;  // it left while its line was at the meter
        --client->atMeter;
        client->lastActivity = Clock::now();
        if (client->fd >= 0 && done.answered) reply(*client, done.response);
    }
}

// Lines for every client that has them, starting one further each round.
void Server::executeRound() {
    const std::size_t count = clients_.size();
    if (count == 0) return;
    const std::size_t first = nextFirst_++ % count;
    for (std::size_t k = 0; k < count; ++k) {
        Client& client = *clients_[(first + k) % count];
        while (client.fd >= 0 && client.atMeter < kLinesAtMeter && client.output.size() < kOutputHighWater) {
            if (!takeLine(client)) break;
        }
    }
}

// Takes the client's next line, if it has one; false when it has none (or
// must wait for its lines at the meter first).
bool Server::takeLine(Client& client) {
    // Read once: the answers to a client's lines keep their order only if
    // a line answered here never overtakes one still at the meter.
    const bool connected = worker_.connected();
    if (!connected && client.atMeter > 0) return false;
    std::string line;
    switch (client.input.next(&line)) {
    case LineBuffer::Next::Line:
        client.lineBegun = client.input.midLine();
        if (client.lineBegun) client.lineStart = Clock::now();
        return handleLine(client, line, connected);
    case LineBuffer::Next::Overflow:
        client.output.clear();
        reply(client, "ERR: line too long");
        closeClient(client, "sent a line longer than " + std::to_string(kMaxLineLength) + " bytes");
        return false;
    case LineBuffer::Next::None:
        if (!client.endOfInput || client.atMeter > 0) return false;
        // A last line without its line end is still a line.
        if (client.input.takeRest(&line)) {
            client.lineBegun = false;
            handleLine(client, line, connected);
        } else if (client.output.empty()) {
            closeClient(client, "disconnected");
        }
        return false;
    }
    return false;
}

bool Server::handleLine(Client& client, const std::string& line, bool connected) {
    client.lastActivity = Clock::now();
    if (line.empty()) return true;  // a bare line end: nothing to run, nothing to answer
    if (!connected) {
        // The meter is being looked for: answered at once, never held up.
        if (expectsResponse(line, mode_)) reply(client, kConnectionProblem);
        return true;
    }
    ++client.atMeter;
    worker_.submit(client.id, line);
    return true;
}

// Replies the kernel holds because the peer does not take them count as
// unsent: their clock runs until the queue drains or moves.
void Server::checkKernelQueues(Clock::time_point now) {
    for (auto& c : clients_) {
        if (c->fd < 0 || c->kernelQueued == 0) continue;
        int queued = 0;
        if (ioctl(c->fd, SIOCOUTQ, &queued) != 0) queued = 0;
        if (queued < c->kernelQueued) c->outputSince = now;
        c->kernelQueued = queued;
    }
}

void Server::enforceTimeouts() {
    const auto now = Clock::now();
    const auto lineLimit = seconds(options_.lineTimeout);
    checkKernelQueues(now);
    for (auto& c : clients_) {
        if (c->fd < 0) continue;
        if (c->lineBegun && now - c->lineStart > lineLimit) {
            closeClient(*c, "line not completed within --line-timeout");
        } else if ((!c->output.empty() || c->kernelQueued > 0) && now - c->outputSince > lineLimit) {
            closeClient(*c, "replies not taken within --line-timeout");
        } else if (options_.idleTimeout > 0 && c->atMeter == 0 && now - c->lastActivity > seconds(options_.idleTimeout)) {
            closeClient(*c, "idle, timed out (--idle-timeout)");
        }
    }
}

void Server::closeClient(Client& client, const std::string& why) {
    if (client.fd < 0) return;
    ::close(client.fd);
    client.fd = -1;
    --connected_;
    // Its lines still waiting for the meter are not run for nobody.
    client.atMeter -= static_cast<int>(worker_.forget(client.id));
    connections_.closed(client.logged, client.peer, why);
}

void Server::removeClosed() {
    // A client whose line is still at the meter stays listed (closed) until
    // the answer comes, so its id is not confused with another's.
    std::erase_if(clients_, [](const std::unique_ptr<Client>& c) { return c->fd < 0 && c->atMeter == 0; });
}

}  // namespace korvel::cli::serve

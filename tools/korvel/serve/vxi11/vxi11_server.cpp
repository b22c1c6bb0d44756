#include "serve/vxi11/vxi11_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serve/allow_from.h"
#include "serve/log.h"

namespace korvel::cli::serve::vxi11 {
namespace {

// A call's record: a device_write's data (kMaxMessage) and its headers.
constexpr std::size_t kMaxRecord = 16 * 1024;
// Replies waiting for a client that does not read stop its calls here.
constexpr std::size_t kOutputHighWater = 256 * 1024;

std::string peerText(const sockaddr_storage& address) {
    char host[NI_MAXHOST] = {};
    char port[NI_MAXSERV] = {};
    const auto* any = reinterpret_cast<const sockaddr*>(&address);
    const socklen_t length = any->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(any, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    return any->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

std::chrono::steady_clock::duration seconds(double value) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace

Vxi11Server::Vxi11Server(const ServeOptions& options, std::vector<MeterDoor> doors, int core, int corePort,
                         int mapper)
    : options_(options), doors_(std::move(doors)), core_(core), corePort_(corePort), mapper_(mapper) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    }
}

Vxi11Server::~Vxi11Server() {
    stop();
    if (wakeRead_ >= 0) ::close(wakeRead_);
    if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

void Vxi11Server::start() { thread_ = std::thread([this] { run(); }); }

void Vxi11Server::stop() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
}

void Vxi11Server::wake() {
    const char byte = 1;
    if (wakeWrite_ >= 0) [[maybe_unused]] const ssize_t ignored = write(wakeWrite_, &byte, 1);
}

void Vxi11Server::run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    while (!stopping_) {
        auto now = Clock::now();
        const bool room = connections_.size() < static_cast<std::size_t>(options_.maxClients);
        fds.clear();
        polled.clear();
        fds.push_back({wakeRead_, POLLIN, 0});
        fds.push_back({core_, static_cast<short>(room ? POLLIN : 0), 0});
        fds.push_back({mapper_, static_cast<short>(room ? POLLIN : 0), 0});
        for (const auto& c : connections_) {
            short events = 0;
            // Calls on a connection are answered in order: none is read
            // while one is held.
            if (c->held.what == Waiting::Nothing && c->output.size() < kOutputHighWater) events |= POLLIN;
            if (!c->output.empty()) events |= POLLOUT;
            fds.push_back({c->fd, events, 0});
            polled.push_back(c.get());
        }
        if (poll(fds.data(), static_cast<nfds_t>(fds.size()), pollTimeout(now)) < 0 && errno != EINTR) {
            log(std::string("VXI-11: poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents & POLLIN) {
            char bytes[256];
            while (read(wakeRead_, bytes, sizeof bytes) > 0) {
            }
        }
        deliverDone();
        for (std::size_t i = 0; i < polled.size(); ++i) {
            Connection& c = *polled[i];
            const short revents = fds[i + 3].revents;
            if (revents & (POLLIN | POLLHUP | POLLERR)) receive(c);
            if (c.fd >= 0 && (revents & POLLOUT)) send(c);
        }
        if (fds[1].revents & POLLIN) accept(core_, false);
        if (mapper_ >= 0 && (fds[2].revents & POLLIN)) accept(mapper_, true);
        now = Clock::now();
        for (const auto& c : connections_) {
            if (c->fd < 0) continue;
            if (c->held.what != Waiting::Nothing) {
                if (auto reply = progress(*c, now)) answer(*c, std::move(*reply));
            }
            if (c->held.what == Waiting::Nothing) serveRecords(*c);
        }
        enforceTimeouts(now);
        std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) { return c->fd < 0; });
    }
    for (auto& c : connections_) closeConnection(*c, "server stopping");
    connections_.clear();
}

int Vxi11Server::pollTimeout(Clock::time_point now) const {
    auto due = now + std::chrono::seconds(1);
    const auto limit = seconds(options_.lineTimeout);
    for (const auto& c : connections_) {
        if (c->held.what != Waiting::Nothing) {
            due = std::min(due, c->held.deadline);
            // Waiting for the lock: looked at again soon, since it is freed
            // on another thread's loop as well as this one.
            if (c->held.waitLock) due = std::min(due, now + std::chrono::milliseconds(20));
        }
        if (c->input.midRecord()) due = std::min(due, c->recordStart + limit);
        if (!c->output.empty()) due = std::min(due, c->outputSince + limit);
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1;
    return static_cast<int>(std::clamp<long long>(wait, 0, 1000));
}

void Vxi11Server::accept(int listener, bool mapper) {
    while (connections_.size() < static_cast<std::size_t>(options_.maxClients)) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (!allowFrom().admit(fd, mapper ? "port mapper" : "VXI-11")) {
            ::close(fd);
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        auto c = std::make_unique<Connection>(kMaxRecord);
        c->id = nextConnection_++;
        c->fd = fd;
        c->mapper = mapper;
        c->peer = peerText(address);
        c->lastActivity = Clock::now();
        connections_.push_back(std::move(c));
        ++connectionCount_;
    }
}

void Vxi11Server::receive(Connection& c) {
    char bytes[8192];
    const ssize_t got = recv(c.fd, bytes, sizeof bytes, 0);
    if (got == 0) return closeConnection(c, "disconnected");
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) closeConnection(c, "connection error");
        return;
    }
    if (!c.input.midRecord()) c.recordStart = Clock::now();
    c.input.add(bytes, static_cast<std::size_t>(got));
    c.lastActivity = Clock::now();
}

void Vxi11Server::send(Connection& c) {
    if (c.output.empty()) return;
    const ssize_t sent = ::send(c.fd, c.output.data(), c.output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
        c.output.erase(0, static_cast<std::size_t>(sent));
        c.outputSince = Clock::now();
        c.lastActivity = c.outputSince;
    } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        closeConnection(c, "connection error");
    }
}

void Vxi11Server::answer(Connection& c, std::string record) {
    c.held = Held{};
    if (record.empty()) return;  // a call that gets no reply
    if (c.output.empty()) c.outputSince = Clock::now();
    c.output += record;
    send(c);
}

// Calls waiting in the connection's bytes, one after another until one is
// held.
void Vxi11Server::serveRecords(Connection& c) {
    while (c.fd >= 0 && c.held.what == Waiting::Nothing && c.output.size() < kOutputHighWater) {
        std::string record;
        switch (c.input.next(&record)) {
        case RecordReader::State::NeedMore: return;
        case RecordReader::State::TooLong: return closeConnection(c, "sent a record longer than the limit");
        case RecordReader::State::Record:
            if (c.input.midRecord()) c.recordStart = Clock::now();
            call(c, record);
            break;
        }
    }
}

void Vxi11Server::deliverDone() {
    std::vector<MeterWorker::Done> done;
    for (const MeterDoor& door : doors_) door.worker->takeDone(&done, MeterWorker::Vxi11Door);
    for (const MeterWorker::Done& d : done) {
        for (auto& [id, link] : links_) {
            if (link.stbClient == d.client) {
                int value = 0;
                try {
                    value = std::stoi(d.response);
                } catch (...) {
                    value = 0;  // the meter is away: no bits but the link's own
                }
                link.statusByte = value & 0xFF;
                break;
            }
            if (link.client != d.client) continue;
            --link.atMeter;
            if (link.discard > 0) {
                --link.discard;
            } else if (d.answered) {
                link.output += d.response;
                link.output += '\n';
            }
            break;
        }
    }
}

void Vxi11Server::enforceTimeouts(Clock::time_point now) {
    const auto limit = seconds(options_.lineTimeout);
    for (auto& c : connections_) {
        if (c->fd < 0) continue;
        if (c->input.midRecord() && now - c->recordStart > limit) {
            closeConnection(*c, "call not completed within --line-timeout");
        } else if (!c->output.empty() && now - c->outputSince > limit) {
            closeConnection(*c, "replies not taken within --line-timeout");
        } else if (options_.idleTimeout > 0 && c->held.what == Waiting::Nothing &&
                   now - c->lastActivity > seconds(options_.idleTimeout)) {
            closeConnection(*c, "idle, timed out (--idle-timeout)");
        }
    }
}

void Vxi11Server::closeConnection(Connection& c, const std::string& why) {
    if (c.fd < 0) return;
    ::close(c.fd);
    c.fd = -1;
    --connectionCount_;
    // Its links go with it, and their locks.
    std::vector<std::int32_t> gone;
    for (const auto& [id, link] : links_) {
        if (link.connection == c.id) gone.push_back(id);
    }
    for (const std::int32_t id : gone) destroyLink(id);
    if (!gone.empty()) log("VXI-11 " + c.peer + ": " + why + " (" + std::to_string(gone.size()) + " link(s) closed)");
}

Vxi11Server::Link* Vxi11Server::findLink(std::int32_t id) {
    const auto found = links_.find(id);
    return found == links_.end() ? nullptr : &found->second;
}

Vxi11Server::Connection* Vxi11Server::findConnection(std::uint64_t id) {
    for (auto& c : connections_) {
        if (c->id == id && c->fd >= 0) return c.get();
    }
    return nullptr;
}

}  // namespace korvel::cli::serve::vxi11

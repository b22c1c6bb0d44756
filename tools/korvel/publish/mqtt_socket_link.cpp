#include "publish/mqtt_socket_link.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/failure.h"

namespace korvel::cli::publish {
namespace {

enum Use : std::uint8_t { kFree = 0, kQos0 = 1, kQos1 = 2 };

std::string seconds(std::chrono::seconds s) { return std::to_string(s.count()) + " s"; }

}  // namespace

SocketLink::SocketLink(const LinkOptions& options) : options_(options) {
    mqtt::ConnectFields fields;
    fields.clientId = options.clientId;
    fields.username = options.username;
    fields.password = options.password;
    fields.willTopic = options.willTopic;
    fields.willPayload = options.willPayload;
    fields.keepaliveSeconds = options.keepalive;
    if (!mqtt::appendConnect(&hello_, fields))
        throw Failure(kExitUsage, "the client id, user name, password or last will cannot be sent to an MQTT broker "
                                  "(each at most 65535 bytes, no + or # in a topic)");
    out_.reserve(64 * 1024);
}

SocketLink::~SocketLink() {
    // Without a goodbye: the broker publishes the last will ("offline").
    if (socket_ >= 0) ::close(socket_);
}

bool SocketLink::attempt(std::string* why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options_.broker.port);
    if (const int error = ::getaddrinfo(options_.broker.host.c_str(), port.c_str(), &hints, &found); error != 0) {
        *why = std::string("cannot find ") + options_.broker.host + ": " + ::gai_strerror(error);
        return false;
    }
    addresses_.clear();
    for (const addrinfo* one = found; one != nullptr; one = one->ai_next) {
        Address address{};
        std::memcpy(&address.address, one->ai_addr, std::min<std::size_t>(one->ai_addrlen, sizeof address.address));
        address.length = one->ai_addrlen;
        addresses_.push_back(address);
    }
    ::freeaddrinfo(found);
    return connectFrom(0, why);
}

// Tries the broker's addresses from `index` on, as a name may have several
// (localhost: ::1 and 127.0.0.1, of which the broker may listen on one).
bool SocketLink::connectFrom(std::size_t index, std::string* why) {
    const auto now = Clock::now();
    for (; index < addresses_.size(); ++index) {
        const Address& address = addresses_[index];
        const int fd = ::socket(address.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            *why = std::strerror(errno);
            continue;
        }
        // The link batches its packets itself; Nagle's delay would only hold them back.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        tried_ = index;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) == 0) {
            socket_ = fd;
            startHandshake(now);
            return socket_ >= 0;
        }
        if (errno == EINPROGRESS) {
            socket_ = fd;
            state_ = State::Connecting;
            deadline_ = now + kHandshake;
            return true;
        }
        *why = std::strerror(errno);
        ::close(fd);
    }
    state_ = State::Down;
    return false;
}

void SocketLink::startHandshake(Clock::time_point now) {
    state_ = State::Handshake;
    out_ = hello_;
    sent_ = 0;
    written_ = 0;
    deadline_ = now + kHandshake;
    lastSent_ = now;
    flush();
}

void SocketLink::close(const std::string& why) {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    state_ = State::Down;
    out_.clear();
    sent_ = 0;
    written_ = 0;
    qos0_.clear();
    inUsed_ = 0;
    std::fill(busy_.begin(), busy_.end(), kFree);
    pingOutstanding_ = false;
    connectionDown(why);
}

void SocketLink::flush() {
    while (sent_ < out_.size()) {
        const ssize_t n = ::send(socket_, out_.data() + sent_, out_.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent_ += static_cast<std::size_t>(n);
            written_ += static_cast<std::uint64_t>(n);
            lastSent_ = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        close(n < 0 ? std::strerror(errno) : "the connection closed");
        return;
    }
    if (sent_ == out_.size()) {
        out_.clear();  // keeps its capacity
        sent_ = 0;
    } else if (sent_ >= 64 * 1024) {
        out_.erase(0, sent_);
        sent_ = 0;
    }
    while (!qos0_.empty() && qos0_.front().end <= written_) {
        busy_[static_cast<std::size_t>(qos0_.front().mid)] = kFree;
        acknowledged(qos0_.front().mid);
        qos0_.pop_front();
    }
}

MqttLink::Watch SocketLink::prepare(Clock::time_point) {
    Watch watch;
    if (state_ == State::Handshake || state_ == State::Up) flush();
    if (socket_ < 0) return watch;
    watch.socket = socket_;
    watch.events = static_cast<short>(POLLIN | (state_ == State::Connecting || sent_ < out_.size() ? POLLOUT : 0));
    const std::chrono::seconds keepalive(options_.keepalive);
    if (state_ != State::Up)
        watch.due = deadline_;
    else if (keepalive.count() > 0)
        watch.due = pingOutstanding_ ? pingSent_ + keepalive : lastSent_ + keepalive;
    return watch;
}

void SocketLink::service(short revents, Clock::time_point now) {
    if (state_ == State::Connecting) {
        if ((revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
            if (error == 0) {
                startHandshake(now);
                return;
            }
            ::close(socket_);
            socket_ = -1;
            std::string why = std::strerror(error);
            if (!connectFrom(tried_ + 1, &why)) close(why);
        } else if (now >= deadline_) {
            close("no connection to the broker within " + seconds(kHandshake));
        }
        return;
    }
    if ((revents & POLLIN) != 0) receive();
    if (socket_ < 0) return;
    if ((revents & POLLERR) != 0) {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &size);
        close(error != 0 ? std::strerror(error) : "the connection failed");
        return;
    }
    if ((revents & POLLOUT) != 0) flush();
    if (socket_ < 0) return;
    if (state_ == State::Handshake) {
        if (now >= deadline_) close("the broker did not answer the connection within " + seconds(kHandshake));
        return;
    }
    const std::chrono::seconds keepalive(options_.keepalive);
    if (keepalive.count() == 0) return;
    if (pingOutstanding_ && now - pingSent_ >= keepalive) {
        close("the broker did not answer a ping within " + seconds(keepalive));
    } else if (!pingOutstanding_ && now - lastSent_ >= keepalive) {
        mqtt::appendBare(&out_, mqtt::kPingreq);
        pingOutstanding_ = true;
        pingSent_ = now;
        flush();
    }
}

void SocketLink::receive() {
    const ssize_t n = ::recv(socket_, in_ + inUsed_, kInput - inUsed_, MSG_DONTWAIT);
    if (n == 0) {
        close("the broker closed the connection");
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) close(std::strerror(errno));
        return;
    }
    inUsed_ += static_cast<std::size_t>(n);
    std::size_t at = 0;
    while (true) {
        mqtt::Packet packet;
        std::size_t used = 0;
        const mqtt::Parsed parsed = mqtt::parsePacket(std::string_view(in_ + at, inUsed_ - at), kInput, &packet, &used);
        if (parsed == mqtt::Parsed::Incomplete) break;
        if (parsed == mqtt::Parsed::Malformed) {
            close("the broker sent a packet this client cannot take");
            return;
        }
        take(packet);
        if (socket_ < 0) return;
        at += used;
    }
    std::memmove(in_, in_ + at, inUsed_ - at);
    inUsed_ -= at;
}

void SocketLink::take(const mqtt::Packet& packet) {
    switch (packet.type) {
    case mqtt::kConnack: {
        if (state_ != State::Handshake || packet.body.size() != 2) {
            close("the broker sent an unexpected CONNACK");
            return;
        }
        const int code = static_cast<std::uint8_t>(packet.body[1]);
        if (code == 0) {
            state_ = State::Up;
            connectionMade();
            return;
        }
        // 4: bad user name or password, 5: not authorised. Retrying cannot help.
        if (code == 4 || code == 5) connectionRefused(mqtt::connackText(code));
        close(mqtt::connackText(code));
        return;
    }
    case mqtt::kPuback: {
        std::uint16_t id = 0;
        if (state_ == State::Up && mqtt::packetId(packet, &id) && busy_[id] == kQos1) {
            busy_[id] = kFree;
            acknowledged(id);
        }
        return;
    }
    case mqtt::kPingresp:
        pingOutstanding_ = false;
        return;
    default:
        return;  // nothing else was asked for (no subscriptions)
    }
}

int SocketLink::nextId() {
    for (int tried = 0; tried < 65535; ++tried) {
        lastId_ = lastId_ % 65535 + 1;  // 1 ... 65535
        if (busy_[static_cast<std::size_t>(lastId_)] == kFree) return lastId_;
    }
    return -1;
}

int SocketLink::publish(const std::string& topic, std::string_view payload, int qos, bool retain) {
    if (state_ != State::Up || out_.size() - sent_ > kMostQueued) return -1;
    const int mid = nextId();
    if (mid < 0 || !mqtt::appendPublish(&out_, topic, payload, qos, retain, static_cast<std::uint16_t>(mid)))
        return -1;
    busy_[static_cast<std::size_t>(mid)] = qos > 0 ? kQos1 : kQos0;
    if (qos == 0) qos0_.push_back(Unconfirmed{written_ + (out_.size() - sent_), mid});
    return mid;
}

void SocketLink::disconnect() {
    if (state_ != State::Up) {
        if (socket_ >= 0) close("disconnected");
        return;
    }
    mqtt::appendBare(&out_, mqtt::kDisconnect);
    // What is still queued, the goodbye last, goes out before the socket closes.
    const auto end = Clock::now() + std::chrono::seconds(1);
    flush();
    while (socket_ >= 0 && sent_ < out_.size() && Clock::now() < end) {
        pollfd fd{socket_, POLLOUT, 0};
        ::poll(&fd, 1, 50);
        flush();
    }
    if (socket_ >= 0) close("disconnected");
}

}  // namespace korvel::cli::publish

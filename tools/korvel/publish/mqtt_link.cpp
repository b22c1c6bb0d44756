#include "publish/mqtt_link.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/failure.h"

namespace korvel::cli::publish {
namespace {

struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

void initialiseOnce() { static Library library; }

std::string describe(int code) { return mosquitto_strerror(code); }

}  // namespace

BrokerAddress parseBrokerUrl(const std::string& url) {
    BrokerAddress address;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        address.tls = true;
        address.port = 8883;
    } else {
        throw Failure(kExitUsage, "--broker must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not \"" + url + "\"");
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string::npos && rest.find(']') == std::string::npos) {
        const std::string port = rest.substr(colon + 1);
        char* end = nullptr;
        const long value = std::strtol(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || value < 1 || value > 65535)
            throw Failure(kExitUsage, "--broker: the port must be a number from 1 to 65535, not \"" + port + "\"");
        address.port = static_cast<int>(value);
        rest = rest.substr(0, colon);
    }
    if (rest.empty()) throw Failure(kExitUsage, "--broker names no host: \"" + url + "\"");
    address.host = rest;
    return address;
}

MqttLink::MqttLink(const LinkOptions& options) {
    initialiseOnce();
    // A clean session: after a reconnection the publisher itself sends again
    // what was not acknowledged, from the spool.
    client_ = mosquitto_new(options.clientId.c_str(), true, this);
    if (client_ == nullptr) throw Failure(kExitMeterError, "cannot start the MQTT client");
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        mosquitto_destroy(client_);
        throw Failure(kExitMeterError, std::string("cannot start the MQTT client: ") + std::strerror(errno));
    }
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_disconnect_callback_set(client_, onDisconnect);
    mosquitto_publish_callback_set(client_, onPublish);
    // The publishers keep their own windows; libmosquitto queues nothing of its own.
    mosquitto_max_inflight_messages_set(client_, 0);
    int code = MOSQ_ERR_SUCCESS;
    if (!options.username.empty())
        code = mosquitto_username_pw_set(client_, options.username.c_str(), options.password.c_str());
    if (code == MOSQ_ERR_SUCCESS && !options.willTopic.empty())
        code = mosquitto_will_set(client_, options.willTopic.c_str(), static_cast<int>(options.willPayload.size()),
                                  options.willPayload.data(), 1, true);
    if (code == MOSQ_ERR_SUCCESS && options.broker.tls) {
        const char* cafile = options.cafile.empty() ? nullptr : options.cafile.c_str();
        const char* capath = cafile == nullptr ? "/etc/ssl/certs" : nullptr;
        code = mosquitto_tls_set(client_, cafile, capath, options.cert.empty() ? nullptr : options.cert.c_str(),
                                 options.key.empty() ? nullptr : options.key.c_str(), nullptr);
        if (code != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(client_);
            ::close(wake_);
            throw Failure(kExitUsage, "TLS settings refused (--cafile, --cert, --key): " + describe(code));
        }
    }
    if (code == MOSQ_ERR_SUCCESS)
        code = mosquitto_connect_async(client_, options.broker.host.c_str(), options.broker.port, options.keepalive);
    // A broker that is not there yet is no reason to stop: wait() retries.
    if (code == MOSQ_ERR_ERRNO) {
        const std::string why = std::strerror(errno);
        std::lock_guard lock(mutex_);
        downReason_ = why;
    }
    if (code != MOSQ_ERR_SUCCESS && code != MOSQ_ERR_ERRNO && code != MOSQ_ERR_NO_CONN) {
        mosquitto_destroy(client_);
        ::close(wake_);
        throw Failure(kExitUsage, "cannot connect to the broker: " + describe(code));
    }
    nextAttempt_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
}

MqttLink::~MqttLink() {
    mosquitto_disconnect(client_);
    mosquitto_destroy(client_);
    ::close(wake_);
}

void MqttLink::notify() {
    if (wakeOnRecords_.load()) wake();
}

void MqttLink::wake() {
    if (notified_.exchange(true)) return;  // a wake-up is on its way already
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_, &one, sizeof one);
}

void MqttLink::wait(std::chrono::milliseconds most) {
    using Clock = std::chrono::steady_clock;
    const int socket = mosquitto_socket(client_);
    {
        // Messages already sent (QoS 0, written at once) free the window: no sleep.
        std::lock_guard lock(mutex_);
        if (!acknowledged_.empty() || !refusal_.empty()) most = std::chrono::milliseconds(0);
    }
    if (socket < 0) {
        const auto untilAttempt =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - Clock::now()) +
            std::chrono::milliseconds(1);
        most = std::max(std::chrono::milliseconds(0), std::min(most, untilAttempt));
    }
    pollfd fds[2] = {{wake_, POLLIN, 0}, {socket, 0, 0}};
    if (socket >= 0) fds[1].events = static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0));
    const int ready = ::poll(fds, socket >= 0 ? 2 : 1, static_cast<int>(most.count()));
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(wake_, &count, sizeof count);
        notified_ = false;  // after the read: a notify() from now on writes again
    }
    service(ready > 0 && socket >= 0 && fds[1].revents != 0);
}

bool MqttLink::refusalKnown() const {
    std::lock_guard lock(mutex_);
    return !refusal_.empty();
}

void MqttLink::service(bool socketReady) {
    using Clock = std::chrono::steady_clock;
    if (mosquitto_socket(client_) >= 0) {
        // mosquitto_loop() with no wait: reads, writes, finishes a TLS
        // handshake, keeps the connection alive, and closes it on an error
        // (onDisconnect tells why).
        if (socketReady || mosquitto_want_write(client_))
            mosquitto_loop(client_, 0, 1);
        else
            mosquitto_loop_misc(client_);
        return;
    }
    const auto now = Clock::now();
    if (now < nextAttempt_ || refusalKnown()) return;
    const int code = mosquitto_reconnect_async(client_);
    if (code != MOSQ_ERR_SUCCESS) {
        const std::string why = code == MOSQ_ERR_ERRNO ? std::strerror(errno) : describe(code);
        std::lock_guard lock(mutex_);
        downReason_ = why;
    }
    // The next attempt should this one fail: 2 s, 3 s ... up to 30 s.
    ++retries_;
    nextAttempt_ = now + std::chrono::seconds(std::min(retries_ + 1, 30));
}

bool MqttLink::refused(std::string* why) const {
    std::lock_guard lock(mutex_);
    if (refusal_.empty()) return false;
    *why = refusal_;
    return true;
}

int MqttLink::publish(const std::string& topic, std::string_view payload, int qos, bool retain) {
    int mid = 0;
    const int code = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                       payload.data(), qos, retain);
    return code == MOSQ_ERR_SUCCESS ? mid : -1;
}

std::string MqttLink::downReason() const {
    std::lock_guard lock(mutex_);
    return downReason_;
}

void MqttLink::takeAcknowledged(std::deque<int>* out) {
    std::lock_guard lock(mutex_);
    out->insert(out->end(), acknowledged_.begin(), acknowledged_.end());
    acknowledged_.clear();
}

void MqttLink::disconnect() {
    mosquitto_disconnect(client_);
    // What is still queued, the goodbye last, goes out before the socket closes.
    for (int round = 0; round < 20 && mosquitto_socket(client_) >= 0 && mosquitto_want_write(client_); ++round)
        mosquitto_loop(client_, 50, 1);
}

void MqttLink::onConnect(struct mosquitto* client, void* self, int code) {
    auto* link = static_cast<MqttLink*>(self);
    if (code == 0) {
        link->retries_ = 0;
        link->connections_.fetch_add(1);
        link->connected_ = true;
        return;
    }
    // 4: bad user name or password, 5: not authorised. Retrying cannot help.
    if (code == 4 || code == 5) {
        std::lock_guard lock(link->mutex_);
        link->refusal_ = mosquitto_connack_string(code);
        mosquitto_disconnect(client);
    }
}

void MqttLink::onDisconnect(struct mosquitto*, void* self, int code) {
    auto* link = static_cast<MqttLink*>(self);
    {
        std::lock_guard lock(link->mutex_);
        link->downReason_ = code == 0 ? "disconnected" : describe(code);
    }
    if (link->connected_) {  // a lost connection is tried again after 1 s; a failed attempt keeps its backoff
        link->nextAttempt_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        link->retries_ = 0;
    }
    link->connected_ = false;
}

void MqttLink::onPublish(struct mosquitto*, void* self, int mid) {
    auto* link = static_cast<MqttLink*>(self);
    std::lock_guard lock(link->mutex_);
    link->acknowledged_.push_back(mid);
}

}  // namespace korvel::cli::publish

#include "publish/mqtt_link.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/failure.h"
#include "publish/mosquitto_link.h"
#include "publish/mqtt_socket_link.h"

namespace korvel::cli::publish {

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

std::unique_ptr<MqttLink> MqttLink::open(const LinkOptions& options) {
    std::unique_ptr<MqttLink> link;
    if (options.broker.tls)
        link = std::make_unique<MosquittoLink>(options);
    else
        link = std::make_unique<SocketLink>(options);
    link->startFirstAttempt();
    return link;
}

MqttLink::MqttLink() {
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0)
        throw Failure(kExitMeterError, std::string("cannot start the MQTT client: ") + std::strerror(errno));
}

MqttLink::~MqttLink() { ::close(wake_); }

void MqttLink::startFirstAttempt() {
    if (std::string why; !attempt(&why)) {
        std::lock_guard lock(mutex_);
        downReason_ = why;
    }
    nextAttempt_ = Clock::now() + std::chrono::seconds(1);
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
    auto now = Clock::now();
    const Watch watch = prepare(now);
    {
        // Messages already sent (QoS 0, written at once) free the window: no sleep.
        std::lock_guard lock(mutex_);
        if (!acknowledged_.empty() || !refusal_.empty()) most = std::chrono::milliseconds(0);
    }
    Clock::time_point until = std::min(watch.due, now + most);
    if (watch.socket < 0 && !refusalKnown()) until = std::min(until, nextAttempt_);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(std::max(until - now, Clock::duration::zero()));
    pollfd fds[2] = {{wake_, POLLIN, 0}, {watch.socket, watch.events, 0}};
    const int ready = ::poll(fds, watch.socket >= 0 ? 2 : 1, static_cast<int>(left.count()));
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(wake_, &count, sizeof count);
        notified_ = false;  // after the read: a notify() from now on writes again
    }
    now = Clock::now();
    if (watch.socket >= 0) service(ready > 0 ? fds[1].revents : 0, now);
    if (!active()) retryWhenDue(now);
}

void MqttLink::retryWhenDue(Clock::time_point now) {
    if (now < nextAttempt_ || refusalKnown()) return;
    if (std::string why; !attempt(&why)) {
        std::lock_guard lock(mutex_);
        downReason_ = why;
    }
    // The next attempt should this one fail: 2 s, 3 s ... up to 30 s.
    ++retries_;
    nextAttempt_ = now + std::chrono::seconds(std::min(retries_ + 1, 30));
}

void MqttLink::connectionMade() {
    retries_ = 0;
    connections_.fetch_add(1);
    connected_ = true;
}

void MqttLink::connectionDown(const std::string& why) {
    {
        std::lock_guard lock(mutex_);
        downReason_ = why;
    }
    if (connected_) {  // a lost connection is tried again after 1 s; a failed attempt keeps its backoff
        nextAttempt_ = Clock::now() + std::chrono::seconds(1);
        retries_ = 0;
    }
    connected_ = false;
}

void MqttLink::connectionRefused(const std::string& why) {
    std::lock_guard lock(mutex_);
    refusal_ = why;
}

void MqttLink::acknowledged(int mid) {
    std::lock_guard lock(mutex_);
    acknowledged_.push_back(mid);
}

bool MqttLink::refusalKnown() const {
    std::lock_guard lock(mutex_);
    return !refusal_.empty();
}

bool MqttLink::refused(std::string* why) const {
    std::lock_guard lock(mutex_);
    if (refusal_.empty()) return false;
    *why = refusal_;
    return true;
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

}  // namespace korvel::cli::publish

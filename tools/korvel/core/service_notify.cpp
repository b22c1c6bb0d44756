#include "core/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace korvel::cli {

ServiceNotifier& ServiceNotifier::instance() {
    static ServiceNotifier notifier([] {
        const char* name = std::getenv("NOTIFY_SOCKET");
        return std::string(name != nullptr ? name : "");
    }());
    return notifier;
}

ServiceNotifier::ServiceNotifier(const std::string& socketName) {
    // A path or an abstract name ('@' stands for the leading zero byte).
    if (socketName.size() < 2 || (socketName[0] != '/' && socketName[0] != '@')) return;
    if (socketName.size() >= sizeof(sockaddr_un{}.sun_path)) return;
    address_ = socketName;
    if (address_[0] == '@') address_[0] = '\0';
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

ServiceNotifier::~ServiceNotifier() {
    if (fd_ >= 0) ::close(fd_);
}

bool ServiceNotifier::send(const std::string& message) {
    if (fd_ < 0) return false;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::memcpy(to.sun_path, address_.data(), address_.size());
    // An abstract name's length is part of it: no terminating zero counted.
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size() +
                                               (address_[0] == '\0' ? 0 : 1));
    return ::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                    reinterpret_cast<const sockaddr*>(&to), length) == static_cast<ssize_t>(message.size());
}

void ServiceNotifier::status(const std::string& text) {
    if (fd_ < 0) return;
    std::lock_guard lock(mutex_);
    if (text == lastStatus_ && readySent_) return;
    lastStatus_ = text;
    for (char& c : lastStatus_) if (c == '\n') c = ' ';  // one line per field
    if (held_ && !readySent_) return;
    const bool first = !readySent_;
    readySent_ = true;
    send((first ? "READY=1\nSTATUS=" : "STATUS=") + lastStatus_);
}

void ServiceNotifier::holdReady() {
    std::lock_guard lock(mutex_);
    held_ = true;
}

void ServiceNotifier::ready() {
    if (fd_ < 0) return;
    std::lock_guard lock(mutex_);
    readySent_ = true;
    send("READY=1\nSTATUS=" + lastStatus_);
}

void ServiceNotifier::stopping() {
    if (fd_ >= 0) send("STOPPING=1");
}

}  // namespace korvel::cli

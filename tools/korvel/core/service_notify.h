// Telling systemd how a service is doing: one datagram per message to the
// socket named in $NOTIFY_SOCKET (a path, or an abstract name written with a
// leading '@'), as systemd's notify protocol has it. Without $NOTIFY_SOCKET
// (outside a Type=notify unit) every call does nothing. No libsystemd: it
// would add to every start of the program.
#pragma once

#include <mutex>
#include <string>

namespace korvel::cli {

class ServiceNotifier {
public:
    // The process's notifier, set up from the environment on first use.
    static ServiceNotifier& instance();

    // Reads $NOTIFY_SOCKET (tests make their own).
    explicit ServiceNotifier(const std::string& socketName);
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    bool active() const { return fd_ >= 0; }
    // A STATUS= line for `systemctl status`, sent only when it changed. The
    // first one also says READY=1, unless holdReady() was called: then the
    // lines wait for ready().
    void status(const std::string& text);
    void holdReady();
    // READY=1 with the last status line.
    void ready();
    void stopping();
    // Sends one datagram as it stands; false when it could not be sent.
    bool send(const std::string& message);

private:
    int fd_ = -1;
    std::string address_;  // the socket's name, '\0' first when abstract
    std::mutex mutex_;
    bool readySent_ = false;
    bool held_ = false;
    std::string lastStatus_;
};

}  // namespace korvel::cli

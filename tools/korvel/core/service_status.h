// The status line a service shows in `systemctl status`, made of parts that
// change on their own (the meter, the broker, the spool), and the run's
// events that feed it and the watchdog.
#pragma once

#include <array>
#include <mutex>
#include <string>

#include "core/acquisition.h"
#include "core/service_notify.h"
#include "core/watchdog.h"

namespace korvel::cli {

class ServiceStatus {
public:
    enum Part { ServicePart, MeterPart, BrokerPart, SpoolPart, kParts };

    // The process's status line (for a server whose threads each set a part).
    static ServiceStatus& process();

    explicit ServiceStatus(ServiceNotifier& notifier = ServiceNotifier::instance()) : notifier_(notifier) {}
    // Sets one part; the whole line goes out when it changed (the first
    // with READY=1).
    void set(Part part, const std::string& text);
    std::string line() const;

private:
    ServiceNotifier& notifier_;
    mutable std::mutex mutex_;
    std::array<std::string, kParts> parts_;
};

// A run's events as status lines and watchdog check-ins. Lives on the
// run's thread for as long as the run: its loop leaves the watchdog with it.
class ServiceRunEvents : public AcquisitionEvents {
public:
    // `doing`: what a reading run does, for the status ("logging to x.csv").
    ServiceRunEvents(ServiceStatus& status, std::string doing) : status_(status), doing_(std::move(doing)) {}

    void meterReady(const std::string& serial) override;
    void meterLost(const std::string& serial) override;
    void readingTaken() override { loop_.alive(); }
    void waiting() override { loop_.alive(); }

private:
    ServiceStatus& status_;
    const std::string doing_;
    Watchdog::Loop loop_;
};

}  // namespace korvel::cli

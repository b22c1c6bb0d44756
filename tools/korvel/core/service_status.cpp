#include "core/service_status.h"

namespace korvel::cli {

ServiceStatus& ServiceStatus::process() {
    static ServiceStatus status;
    return status;
}

void ServiceStatus::set(Part part, const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        if (parts_[part] == text) return;
        parts_[part] = text;
    }
    notifier_.status(line());
}

std::string ServiceStatus::line() const {
    std::lock_guard lock(mutex_);
    std::string whole;
    for (const std::string& part : parts_) {
        if (part.empty()) continue;
        whole += (whole.empty() ? "" : "; ") + part;
    }
    return whole;
}

void ServiceRunEvents::meterReady(const std::string& serial) {
    loop_.alive();
    status_.set(ServiceStatus::MeterPart, "meter " + serial + ": " + doing_);
}

void ServiceRunEvents::meterLost(const std::string& serial) {
    loop_.alive();
    status_.set(ServiceStatus::MeterPart, "meter " + serial + " lost; waiting for it to come back");
}

}  // namespace korvel::cli

// Windows has no systemd: the service notifications go nowhere, and a
// program never waits for them.
#include "core/service_notify.h"

namespace korvel::cli {

ServiceNotifier& ServiceNotifier::instance() {
    static ServiceNotifier notifier("");
    return notifier;
}

ServiceNotifier::ServiceNotifier(const std::string& socketName) : address_(socketName) {}

ServiceNotifier::~ServiceNotifier() = default;

void ServiceNotifier::status(const std::string& text) { lastStatus_ = text; }

void ServiceNotifier::holdReady() { held_ = true; }

void ServiceNotifier::ready() { readySent_ = true; }

void ServiceNotifier::stopping() {}

bool ServiceNotifier::send(const std::string&) { return false; }

}  // namespace korvel::cli

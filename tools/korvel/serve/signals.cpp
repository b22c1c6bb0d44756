#include "serve/signals.h"

#include <memory>

#include "core/stop_signals.h"

namespace korvel::cli::serve {
namespace {

// The server's scope: the tool's one signal policy, each signal counted and
// waking the network loop, SIGUSR1 for the simulated cable.
std::unique_ptr<StopSignals> active;

}  // namespace

SignalScope::SignalScope(int wakeFd) {
    SignalPolicy policy;
    policy.further = FurtherSignal::Counted;
    policy.wakeFd = wakeFd;
    policy.cableToggle = true;
    active = std::make_unique<StopSignals>(policy);
}

SignalScope::~SignalScope() { active.reset(); }

int stopSignal() { return active ? active->signal() : 0; }

bool takeCableRequest() { return active && active->takeCableRequest(); }

}  // namespace korvel::cli::serve

// SIGINT, SIGTERM and SIGHUP stop the server, SIGUSR1 pulls or replugs the
// simulated meter's cable; each wakes the network loop through a pipe. The
// tool's one signal policy (core/stop_signals.h) underneath.
#pragma once

namespace korvel::cli::serve {

class SignalScope {
public:
    // Installs the handlers (and ignores SIGPIPE) until destroyed; a signal
    // writes one byte to wakeFd.
    explicit SignalScope(int wakeFd);
    ~SignalScope();
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;
};

// The signal that asked the server to stop, or 0.
int stopSignal();
// True once per SIGUSR1 received since the last call.
bool takeCableRequest();

}  // namespace korvel::cli::serve

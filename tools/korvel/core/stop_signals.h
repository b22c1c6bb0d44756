// How the tool stops on SIGINT, SIGTERM and SIGHUP: one policy object for
// every subcommand. The first signal asks the run to stop at the next safe
// point (a record finished, a memory chunk verified); what a further signal
// does is the policy's parameter. Sleeps end at once when a signal comes,
// on whichever thread sleeps.
#pragma once

#include <chrono>

namespace korvel::cli {

// What a further signal does once the first asked the run to stop.
enum class FurtherSignal {
    EndsAtOnce,  // the default action: the program ends at once (what it wrote is whole)
    Counted,     // counted; the program decides (stop waiting for a broker, drop a typed line)
    Held,        // held until the program exits, so it can say where it stopped
};

struct SignalPolicy {
    FurtherSignal further = FurtherSignal::EndsAtOnce;
    bool restartCalls = false;   // an interrupted call (a USB exchange) goes on instead of failing
    bool interruptOnly = false;  // SIGINT alone (an interactive console); otherwise SIGTERM and SIGHUP too
    int wakeFd = -1;             // a byte is written here for every signal (a poll loop's wake pipe)
    bool cableToggle = false;    // SIGUSR1 asks for the simulated meter's cable to be pulled or plugged
};

class StopSignals {
public:
    // Installs the handlers (SIGPIPE ignored: a closed pipe shows as EPIPE)
    // until destroyed. One at a time per process.
    explicit StopSignals(SignalPolicy policy);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The first signal that asked the run to stop, or 0.
    int signal() const;
    bool stopping() const { return signal() != 0; }
    // Signals received since installed (or reset).
    int count() const;
    // A stop the program itself asks for (as a SIGTERM would).
    void stop();
    // Forgets the signals so far (the console after dropping a typed line).
    void reset();
    // Sleeps until `when`; false at once when a stop was asked (before or during).
    bool sleepUntil(std::chrono::steady_clock::time_point when) const;
    // True once per SIGUSR1 since the last call (with cableToggle).
    bool takeCableRequest();
    // Leaves the handlers installed when destroyed: a further signal stays
    // held while the program says where it stopped.
    void keepUntilExit() { keep_ = true; }

    // "Ctrl-C (SIGINT)", "SIGTERM", "SIGHUP".
    static const char* name(int signal);

private:
    SignalPolicy policy_;
    bool keep_ = false;
};

}  // namespace korvel::cli

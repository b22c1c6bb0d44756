// The meter's own thread. Every exchange with the meter happens here, one
// line at a time in the order the lines came, so the network loop only moves
// bytes and never waits for the meter: not for an exchange, not for a
// timeout, not for the reopening of a meter that went away (which is tried
// again with a backoff of 1 s doubling to 30 s, back to 1 s on success).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/session.h"
#include "serve/line_exchange.h"
#include "serve/locked_exchange.h"
#include "serve/meter_lock.h"

namespace korvel::cli::serve {

// A fresh client id, unique across every door and meter of the process.
std::uint64_t newClientId();

class MeterWorker {
public:
    // Which loop a line came from: its answer goes back to that loop only.
    enum Owner { SocketDoor = 0, Vxi11Door = 1 };
    struct Done {
        std::uint64_t client = 0;
        bool answered = false;
        std::string response;
        int owner = SocketDoor;
    };

    // wake is called (on the worker's thread) whenever a line is done.
    MeterWorker(Session& session, ExchangeMode mode, std::function<void()> wake);
    ~MeterWorker();
    MeterWorker(const MeterWorker&) = delete;
    MeterWorker& operator=(const MeterWorker&) = delete;

    // Opens the meter on the caller's thread; throws Failure when there is
    // none (for --no-wait). Call before start().
    void openNow();
    // A meter opened already (korvel serve --all); call before start().
    void adopt(Meter meter);
    // The meter with this serial number, always (several meters per
    // server); call before openNow() or adopt().
    void setSerial(std::string serial);
    // The serial number asked for, or the one of the meter seen last ("" :
    // none seen yet).
    std::string serial() const;
    // The identification (*IDN?) of the meter seen last ("" : none yet).
    std::string identification() const;
    // The lock other doors share; lines of clients that do not hold it run
    // as exchangeLocked() says. Set before start().
    void setLock(const MeterLock* lock) { lock_ = lock; }
    void start();
    void stop();

    // The meter is open (lines sent now reach it).
    bool connected() const { return connected_.load(); }

    // Queues a client's line. A few lines per client wait at most (the
    // server sees to it), so the queues stay short.
    void submit(std::uint64_t client, std::string line, int owner = SocketDoor);
    // Drops the client's lines that have not reached the meter (it left);
    // returns how many. A line already at the meter is still reported done.
    std::size_t forget(std::uint64_t client);
    // Moves the finished lines into *out.
    void takeDone(std::vector<Done>* out, int owner = SocketDoor);

    // With a bench of simulated meters: pulls the meter's cable, or plugs it
    // back in (SIGUSR1).
    void requestCableToggle();
    // The meter's place on the bench; null without one (a real meter). For
    // tasks: it is the worker thread's.
    BenchSeat* benchSeat() const { return bench_.get(); }

    // Work for the meter's thread besides client lines: given the open
    // meter, or null while it is missing. A task that finds the connection
    // lost marks the meter lost; the worker then opens it again.
    using Task = std::function<void(Meter* meter)>;
    // Runs a task once, before client lines that wait (a handful of them at
    // most, from the page's controls).
    void post(Task task);
    // The sampler: run every `period` while sampling is on, and once more
    // whenever asked. Set before start().
    void setSampler(Task sample, std::chrono::milliseconds period);
    void setSampling(bool on);
    void requestSample();

    // Lines and tasks done with the meter, and those of them that found the
    // connection gone.
    std::uint64_t exchanges() const { return exchanges_.load(); }
    // Lines dropped because their client had left before they ran.
    std::uint64_t forgotten() const { return forgotten_.load(); }
    std::uint64_t failedExchanges() const { return failedExchanges_.load(); }

private:
    struct Job {
        std::uint64_t client;
        std::string line;
        int owner;
    };
    // Each client's waiting lines, by client id (ids only grow), with the
    // loop they came from.
    struct Queue {
        int owner = SocketDoor;
        std::deque<std::string> lines;
    };
    using Queues = std::map<std::uint64_t, Queue>;
    // Each client's own answers (the unit its :READ? answers in), from its
    // first line until it leaves.
    std::map<std::uint64_t, LocalAnswers> answers_;
    // The error queues of clients refused while another held the lock.
    std::map<std::uint64_t, OwnErrors> ownErrors_;
    using Clock = std::chrono::steady_clock;

    void run();
    Job nextJob();
    Done execute(const Job& job);
    void tryOpen();
    void opened(Meter meter);
    void toggleCable();
    void runTask(const Task& task);
    void afterExchange(const std::string& what);
    bool sampleDue(Clock::time_point now) const;

    Meter openMeter();

    Session& session_;
    const ExchangeMode mode_;
    const MeterLock* lock_ = nullptr;
    std::string serial_;  // guarded by mutex_, like seen_
    std::string seen_;
    std::string seenIdentification_;
    const std::function<void()> wake_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Queues jobs_;
    std::uint64_t lastServed_ = 0;  // the client whose line ran last
    std::vector<Done> done_;
    bool stopping_ = false;
    int togglesRequested_ = 0;  // each pulls or plugs back in turn
    std::deque<Task> tasks_;
    Task sampler_;
    Clock::duration samplePeriod_{};
    Clock::time_point nextSample_{};
    bool sampling_ = false;
    bool sampleRequested_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<std::uint64_t> exchanges_{0};
    std::atomic<std::uint64_t> failedExchanges_{0};
    std::atomic<std::uint64_t> forgotten_{0};

    // The worker thread's own (openNow before start aside).
    std::optional<Meter> meter_;
    const std::unique_ptr<BenchSeat> bench_;
    bool everOpened_ = false;
    bool reportedMissing_ = false;
    Clock::time_point nextAttempt_{};
    Clock::duration backoff_ = std::chrono::seconds(1);

    std::thread thread_;
};

}  // namespace korvel::cli::serve

#include "serve/meter_worker.h"

#include <algorithm>
#include <atomic>

#include "core/failure.h"
#include "core/service_status.h"
#include "core/watchdog.h"
#include "serve/log.h"

namespace korvel::cli::serve {
namespace {

constexpr auto kFirstBackoff = std::chrono::seconds(1);
constexpr auto kLongestBackoff = std::chrono::seconds(30);

// An open meter as a line sees it.
class OpenMeter : public MeterPort {
public:
    OpenMeter(Meter& meter, const Api& api) : meter_(meter), api_(api) {}
    std::string scpi(const std::string& line) override { return meter_.scpi(line); }
    void postError(int code) override {
        if (api_.mtrPostError(meter_.handle(), code) != 0) meter_.markLost();
    }
    bool lost() const override { return meter_.lost(); }
    bool reading(MeterReading* out) override {
        if (meter_.lost() || api_.mtrGetReading(meter_.handle(), out) != 0) {
            meter_.markLost();
            return false;
        }
        return true;
    }

private:
    Meter& meter_;
    const Api& api_;
};

// Meters are opened one at a time: opening walks the bus, claiming each
// meter in turn, and two walks at once would take each other's meters.
std::mutex& openingMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::uint64_t newClientId() {
    static std::atomic<std::uint64_t> next{1};
    return next++;
}

MeterWorker::MeterWorker(Session& session, ExchangeMode mode, std::function<void()> wake)
    : session_(session), mode_(mode), wake_(std::move(wake)),
      bench_(session.bench() != nullptr ? session.bench()->seat() : nullptr) {}

MeterWorker::~MeterWorker() { stop(); }

Meter MeterWorker::openMeter() {
    std::lock_guard opening(openingMutex());
    std::string serial;
    {
        std::lock_guard lock(mutex_);
        serial = serial_;
    }
    return serial.empty() ? session_.open() : session_.openSerial(serial);
}

void MeterWorker::setSerial(std::string serial) {
    std::lock_guard lock(mutex_);
    serial_ = std::move(serial);
}

std::string MeterWorker::serial() const {
    std::lock_guard lock(mutex_);
    return serial_.empty() ? seen_ : serial_;
}

std::string MeterWorker::identification() const {
    std::lock_guard lock(mutex_);
    return seenIdentification_;
}

void MeterWorker::adopt(Meter meter) { opened(std::move(meter)); }

void MeterWorker::openNow() {
    try {
        opened(openMeter());
    } catch (const Failure&) {
        reportedMissing_ = true;  // the caller says so
        nextAttempt_ = Clock::now() + backoff_;
        backoff_ = std::min<Clock::duration>(backoff_ * 2, kLongestBackoff);
        throw;
    }
}

void MeterWorker::start() {
    if (!meter_) log("waiting for the meter; queries are answered \"" + std::string(kConnectionProblem) +
                     "\" until it is there");
    thread_ = std::thread([this] { run(); });
}

void MeterWorker::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    meter_.reset();
    connected_ = false;
}

void MeterWorker::submit(std::uint64_t client, std::string line, int owner) {
    {
        std::lock_guard lock(mutex_);
        Queue& queue = jobs_[client];
        queue.owner = owner;
        queue.lines.push_back(std::move(line));
        answers_.try_emplace(client);
    }
    changed_.notify_one();
}

std::size_t MeterWorker::forget(std::uint64_t client) {
    std::lock_guard lock(mutex_);
    answers_.erase(client);
    ownErrors_.erase(client);
    const auto found = jobs_.find(client);
    if (found == jobs_.end()) return 0;
    const std::size_t count = found->second.lines.size();
    jobs_.erase(found);
    forgotten_ += count;
    return count;
}

// The next client after the one served last (wrapping round) gives a line.
MeterWorker::Job MeterWorker::nextJob() {
    auto turn = jobs_.upper_bound(lastServed_);
    if (turn == jobs_.end()) turn = jobs_.begin();
    Job job{turn->first, std::move(turn->second.lines.front()), turn->second.owner};
    turn->second.lines.pop_front();
    if (turn->second.lines.empty()) jobs_.erase(turn);
    lastServed_ = job.client;
    return job;
}

void MeterWorker::takeDone(std::vector<Done>* out, int owner) {
    std::lock_guard lock(mutex_);
    for (Done& done : done_) {
        if (done.owner == owner) out->push_back(std::move(done));
    }
    std::erase_if(done_, [owner](const Done& done) { return done.owner == owner; });
}

void MeterWorker::requestCableToggle() {
    {
        std::lock_guard lock(mutex_);
        ++togglesRequested_;
    }
    changed_.notify_one();
}

void MeterWorker::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    changed_.notify_one();
}

void MeterWorker::setSampler(Task sample, std::chrono::milliseconds period) {
    sampler_ = std::move(sample);
    samplePeriod_ = period;
}

void MeterWorker::setSampling(bool on) {
    {
        std::lock_guard lock(mutex_);
        if (on && !sampling_) nextSample_ = Clock::now();
        sampling_ = on;
    }
    changed_.notify_one();
}

void MeterWorker::requestSample() {
    {
        std::lock_guard lock(mutex_);
        sampleRequested_ = true;
    }
    changed_.notify_one();
}

bool MeterWorker::sampleDue(Clock::time_point now) const {
    return sampler_ && (sampleRequested_ || (sampling_ && now >= nextSample_));
}

void MeterWorker::run() {
    std::unique_lock lock(mutex_);
    Watchdog::Loop watchdog;  // pings stop when an exchange does not return
    while (!stopping_) {
        watchdog.alive();
        ServiceStatus::process().set(ServiceStatus::MeterPart,
                                     connected_ ? "meter connected" : "no meter; looking for one");
        // A due sample goes first: one exchange per period, so client lines
        // wait behind one at most, and a busy client never stops the page.
        if (sampleDue(Clock::now())) {
            sampleRequested_ = false;
            const auto now = Clock::now();
            nextSample_ += samplePeriod_;
            if (nextSample_ <= now) nextSample_ = now + samplePeriod_;  // late: no burst to catch up
            lock.unlock();
            runTask(sampler_);
            lock.lock();
            continue;
        }
        // Before client lines: busy clients must not hold off a pulled cable.
        if (togglesRequested_ > 0) {
            --togglesRequested_;
            lock.unlock();
            toggleCable();
            lock.lock();
            continue;
        }
        if (!tasks_.empty()) {
            const Task task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            runTask(task);
            lock.lock();
            continue;
        }
        if (!jobs_.empty()) {
            const Job job = nextJob();
            lock.unlock();
            Done done = execute(job);
            lock.lock();
            done_.push_back(std::move(done));
            lock.unlock();
            wake_();
            lock.lock();
            continue;
        }
        if (!meter_ && Clock::now() >= nextAttempt_) {
            lock.unlock();
            tryOpen();
            lock.lock();
            continue;
        }
        auto until = Clock::now() + std::chrono::seconds(1);  // a watchdog check-in at least every second
        if (!meter_) until = std::min(until, nextAttempt_);
        if (sampler_ && sampling_) until = std::min(until, nextSample_);
        changed_.wait_until(lock, until);
    }
}

void MeterWorker::runTask(const Task& task) {
    task(meter_ ? &*meter_ : nullptr);
    if (meter_) afterExchange("a reading or a setting from the page");
}

// Counts an exchange with the open meter and lets go of a meter it found lost.
void MeterWorker::afterExchange(const std::string& what) {
    ++exchanges_;
    if (!meter_->lost()) return;
    ++failedExchanges_;
    log("lost the meter (" + what + " found the connection gone); opening it again");
    meter_.reset();
    connected_ = false;
    nextAttempt_ = Clock::now();
    backoff_ = kFirstBackoff;
}

MeterWorker::Done MeterWorker::execute(const Job& job) {
    Done done;
    done.client = job.client;
    done.owner = job.owner;
    if (!meter_) {
        // Lost while the line waited: answered at once, like the lines the
        // server answers itself while the meter is missing.
        done.answered = expectsResponse(job.line, mode_);
        if (done.answered) done.response = kConnectionProblem;
        return done;
    }
    OpenMeter port(*meter_, session_.api());
    LocalAnswers answers;
    OwnErrors errors;
    // Read once: a lock taken while the line runs applies from the next.
    const bool lockedOut = lock_ != nullptr && lock_->heldByOther(job.client);
    {
        std::lock_guard lock(mutex_);
        if (const auto known = answers_.find(job.client); known != answers_.end()) answers = known->second;
        if (const auto own = ownErrors_.find(job.client); own != ownErrors_.end()) errors = own->second;
    }
    if (lockedOut) {
        done.answered = exchangeLocked(port, job.line, mode_, answers, errors, &done.response);
    } else {
        // Refusals from the locked time join the meter's queue once the
        // lock is gone, in their order.
        while (!errors.empty()) port.postError(errors.take());
        done.answered = exchangeLine(port, job.line, mode_, answers, &done.response);
    }
    {
        std::lock_guard lock(mutex_);  // not for a client that left meanwhile
        if (const auto known = answers_.find(job.client); known != answers_.end()) known->second = answers;
        if (answers_.contains(job.client)) {
            if (errors.idle()) ownErrors_.erase(job.client);
            else ownErrors_[job.client] = errors;
        }
    }
    afterExchange("\"" + job.line + "\"");
    return done;
}

void MeterWorker::tryOpen() {
    try {
        opened(session_.open());
    } catch (const Failure& failure) {
        if (!reportedMissing_) log(std::string("the meter cannot be opened yet: ") + failure.what());
        reportedMissing_ = true;
        nextAttempt_ = Clock::now() + backoff_;
        backoff_ = std::min<Clock::duration>(backoff_ * 2, kLongestBackoff);
    }
}

void MeterWorker::opened(Meter meter) {
    meter_.emplace(std::move(meter));
    {
        std::lock_guard lock(mutex_);
        if (!meter_->identification().empty()) {
            seen_ = meter_->serial();
            seenIdentification_ = meter_->identification();
        }
    }
    if (bench_) bench_->opened(*meter_);
    log(std::string(everOpened_ ? "meter opened again: " : "meter ") + meter_->identification() + " (" +
        session_.library().path() + ")");
    everOpened_ = true;
    reportedMissing_ = false;
    backoff_ = kFirstBackoff;
    connected_ = true;
}

void MeterWorker::toggleCable() {
    if (!bench_) {
        log("SIGUSR1 ignored: it pulls the cable of a simulated meter only");
        return;
    }
    const BenchSeat::CableTurn turn = bench_->toggleCable();
    log(turn.message);
    if (turn.pluggedBack) {
        // Looked for at once rather than after the backoff.
        nextAttempt_ = Clock::now();
        backoff_ = kFirstBackoff;
    }
}

}  // namespace korvel::cli::serve

// One meter of `korvel publish`: its acquisition on a thread of its own,
// the sink that spools its readings (and wakes the link's loop), its spool
// and its publisher on the connection the meters share.
#pragma once

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/acquisition.h"
#include "publish/mqtt_link.h"
#include "publish/publisher.h"
#include "publish/spool.h"

namespace korvel::cli::publish {

// Readings and gap records into the spool, which puts the next sequence
// number in front of each, so a consumer can account for every number; the
// link's loop is woken for each.
class SpoolSink : public ReadingSink {
public:
    SpoolSink(Spool& spool, std::mutex& mutex, std::string serial, MqttLink& link)
        : spool_(spool), mutex_(mutex), serial_(std::move(serial)), link_(link) {}

    int reading(const LoggedReading& reading) override { return add(serialReading(serial_, reading)); }
    int gap(WallClock::time_point from, WallClock::time_point to) override {
        return add(serialGap(serial_, from, to));
    }
    // Records dropped by the full spool so far (under the spool's mutex).
    std::uint64_t cut() const { return cut_; }

private:
    int add(const std::string& record) {
        {
            std::lock_guard lock(mutex_);
            const Appended appended = spool_.append(record);
            if (!appended.written) return EIO;  // the spool's failure() says why
            cut_ += static_cast<std::uint64_t>(appended.cut);  // told by the broker report
        }
        link_.notify();
        return 0;
    }

    Spool& spool_;
    std::mutex& mutex_;
    const std::string serial_;
    MqttLink& link_;
    std::uint64_t cut_ = 0;
};

// One meter of the run: its acquisition on a thread of its own, its spool
// and its publisher on the shared connection.
struct MeterRun {
    explicit MeterRun(Meter opened) : meter(std::move(opened)) {}
    Meter meter;
    std::unique_ptr<Acquisition> acquisition;
    std::string serial;
    std::mutex spoolMutex;
    std::unique_ptr<Spool> spool;
    std::unique_ptr<SpoolSink> sink;
    std::unique_ptr<Publisher> publisher;
    std::thread reader;
    std::atomic<bool> done{false};
    RunEnd end = RunEnd::Done;
    std::string failure;  // nothing may escape the thread (that would abort the program)
};

}  // namespace korvel::cli::publish

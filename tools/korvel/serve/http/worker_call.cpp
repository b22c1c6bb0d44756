#include "serve/http/worker_call.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace korvel::cli::serve::http {
namespace {

struct Call {
    std::mutex mutex;
    std::condition_variable changed;
    bool begun = false;
    bool dropped = false;
    bool done = false;
    std::string error;
};

}  // namespace

WorkerOutcome runOnWorker(MeterWorker& worker, std::function<std::string(Meter&)> task,
                          std::chrono::milliseconds beginWithin, std::chrono::milliseconds finishWithin) {
    auto call = std::make_shared<Call>();
    worker.post([call, task = std::move(task)](Meter* meter) {
        {
            std::lock_guard lock(call->mutex);
            if (call->dropped) return;  // its asker was answered already: nothing is done
            call->begun = true;
        }
        std::string error = meter == nullptr ? "the meter is not connected" : task(*meter);
        {
            std::lock_guard lock(call->mutex);
            call->error = std::move(error);
            call->done = true;
        }
        call->changed.notify_all();
    });
    WorkerOutcome outcome;
    std::unique_lock lock(call->mutex);
    if (!call->changed.wait_for(lock, beginWithin, [&] { return call->done; })) {
        if (!call->begun) {
            call->dropped = true;
            outcome.state = WorkerOutcome::Dropped;
            return outcome;
        }
        outcome.late = true;
        if (!call->changed.wait_for(lock, finishWithin, [&] { return call->done; })) {
            outcome.state = WorkerOutcome::Running;
            return outcome;
        }
    }
    outcome.error = call->error;
    return outcome;
}

}  // namespace korvel::cli::serve::http

// A page request's work on the meter's thread, waited for with a limit. A
// call that has not begun when its limit passes is dropped (it will never
// run), so a refusal for lack of time means nothing was done; one that has
// begun is waited for a while longer and reported as it ended.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "serve/meter_worker.h"

namespace korvel::cli::serve::http {

struct WorkerOutcome {
    enum State { Done, Dropped, Running };
    State state = Done;
    bool late = false;   // done, but only after the first limit had passed
    std::string error;   // from the task ("" : done as asked)
};

WorkerOutcome runOnWorker(MeterWorker& worker, std::function<std::string(Meter&)> task,
                          std::chrono::milliseconds beginWithin, std::chrono::milliseconds finishWithin);

}  // namespace korvel::cli::serve::http

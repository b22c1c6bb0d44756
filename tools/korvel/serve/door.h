// One meter as the server offers it: its worker, its lock and the names
// and ports clients reach it by.
#pragma once

#include <string>

#include "serve/meter_lock.h"
#include "serve/meter_worker.h"

namespace korvel::cli::serve {

struct MeterDoor {
    int index = 0;            // inst<index>
    MeterWorker* worker = nullptr;
    MeterLock* lock = nullptr;
    int socketPort = -1;      // the raw socket port (-1: none)

    std::string instrumentName() const { return "inst" + std::to_string(index); }
};

}  // namespace korvel::cli::serve

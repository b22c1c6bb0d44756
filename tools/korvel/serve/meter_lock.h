// One meter's lock, as a VXI-11 link takes it with device_lock. While a link
// holds it, the other doors (the socket port's clients, the page) may ask
// but not change the meter. Held by a client id of the meter's worker; 0 is
// nobody. Read from any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvel::cli::serve {

class MeterLock {
public:
    // Takes the lock for `holder`; true when it is its own now (also when
    // it was already).
    bool take(std::uint64_t holder) {
        std::uint64_t free = 0;
        return holder_.compare_exchange_strong(free, holder) || free == holder;
    }
    // Lets go of it; false when `holder` did not hold it.
    bool release(std::uint64_t holder) {
        std::uint64_t expected = holder;
        return holder_.compare_exchange_strong(expected, 0);
    }
    bool held() const { return holder_.load() != 0; }
    bool heldByOther(std::uint64_t client) const {
        const std::uint64_t holder = holder_.load();
        return holder != 0 && holder != client;
    }

private:
    std::atomic<std::uint64_t> holder_{0};
};

// The sentence a door's refusal carries while the meter is locked.
inline constexpr char kLockedSentence[] =
    "the meter is locked by a VXI-11 client running a sequence; settings cannot change until it unlocks";

}  // namespace korvel::cli::serve

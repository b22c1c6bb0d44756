// A paced reading thread asks the scheduler for a short time slice while it
// runs. It sleeps between readings and runs for microseconds; with the
// default slice, a thread that wakes on a busy machine (the publisher
// draining a backlog, the broker, other programs) may wait for whole
// milliseconds before it runs, and its reading comes late. Linux 6.12 and
// later let a thread with a shorter slice go first at its wake-up, with no
// privilege needed; older kernels ignore the request. Nothing else changes:
// the same policy and nice value.
#pragma once

#include <cstdint>

namespace korvel::cli {

class ShortSlice {
public:
    // For the calling thread, until destroyed (the slice it had comes back).
    ShortSlice();
    ~ShortSlice();
    ShortSlice(const ShortSlice&) = delete;
    ShortSlice& operator=(const ShortSlice&) = delete;

    // Whether the kernel took the request (a kernel before 6.12 takes it and ignores it).
    bool taken() const { return taken_; }
    // The thread's slice now, in nanoseconds (0: the kernel's default, or unknown).
    static std::uint64_t current();

private:
    bool taken_ = false;
    std::uint64_t previous_ = 0;
};

}  // namespace korvel::cli

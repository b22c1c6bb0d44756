#include "core/short_slice.h"

#ifdef __linux__
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace korvel::cli {
#ifdef __linux__
namespace {

// The kernel's struct sched_attr (glibc 2.36 has no wrapper; including the
// kernel's header would define struct sched_param a second time).
struct SchedAttr {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;  // for SCHED_OTHER since Linux 6.12: the slice
    std::uint64_t deadline;
    std::uint64_t period;
};

// A tenth of a millisecond: the shortest the kernel grants.
constexpr std::uint64_t kSlice = 100'000;

bool readAttr(SchedAttr* attr) {
    *attr = SchedAttr{};
    return ::syscall(SYS_sched_getattr, 0, attr, sizeof *attr, 0) == 0;
}

bool setRuntime(std::uint64_t runtime) {
    SchedAttr attr;
    // Only a thread of the default policy: a real-time or idle one was set so on purpose.
    if (!readAttr(&attr) || attr.policy != SCHED_OTHER) return false;
    attr.size = sizeof attr;
    attr.flags = 0;
    attr.runtime = runtime;
    return ::syscall(SYS_sched_setattr, 0, &attr, 0) == 0;
}

}  // namespace

ShortSlice::ShortSlice() {
    previous_ = current();
    taken_ = setRuntime(kSlice);
}

ShortSlice::~ShortSlice() {
    if (taken_) setRuntime(previous_);
}

std::uint64_t ShortSlice::current() {
    SchedAttr attr;
    return readAttr(&attr) ? attr.runtime : 0;
}
#else
// Elsewhere the scheduler is left as it is.
ShortSlice::ShortSlice() = default;
ShortSlice::~ShortSlice() = default;
std::uint64_t ShortSlice::current() { return 0; }
#endif

}  // namespace korvel::cli

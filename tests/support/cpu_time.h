// The process's processor time (user + system), in seconds.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace korvel::test {

inline double cpuSeconds() {
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;  // 100 ns units
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
#else
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
#endif
}

}  // namespace korvel::test

#include "publish/spool_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/failure.h"

namespace korvel::cli::publish {

SpoolLock::SpoolLock(const std::string& path, const std::string& spool) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw Failure(kExitMeterError, "spool: cannot open the lock file " + path + ": " + std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        char text[32] = {};
        const ssize_t got = ::pread(fd_, text, sizeof text - 1, 0);
        ::close(fd_);
        fd_ = -1;
        if (saved != EWOULDBLOCK)
            throw Failure(kExitMeterError, "spool: cannot lock " + path + ": " + std::strerror(saved));
        std::string holder(text, got > 0 ? static_cast<std::size_t>(got) : 0);
        while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
        throw Failure(kExitMeterError, "the spool " + spool + " is in use by another korvel publish (pid " +
                                           (holder.empty() ? std::string("unknown") : holder) +
                                           "); stop it, or give this one another --spool");
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    // The pid is only for the message above; failing to write it costs nothing.
    [[maybe_unused]] const bool written =
        ::ftruncate(fd_, 0) == 0 && ::pwrite(fd_, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
}

SpoolLock::~SpoolLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
}

}  // namespace korvel::cli::publish

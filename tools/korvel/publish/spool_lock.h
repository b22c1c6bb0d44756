// One publisher per spool: an exclusive flock on SERIAL.lock beside the
// spool, held for the life of the object, the holder's pid written into the
// file so that a second publisher can name it. The lock file is never
// replaced or removed (the spool file is, when it is compacted), so the lock
// always guards the same inode.
#pragma once

#include <string>

namespace korvel::cli::publish {

class SpoolLock {
public:
    // Takes the lock or throws Failure(kExitMeterError) naming the holder.
    SpoolLock(const std::string& path, const std::string& spool);
    ~SpoolLock();
    SpoolLock(const SpoolLock&) = delete;
    SpoolLock& operator=(const SpoolLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace korvel::cli::publish

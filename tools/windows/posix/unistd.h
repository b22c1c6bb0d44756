// Windows (mingw): the POSIX calls korvel's shared sources make that mingw's
// <unistd.h> lacks, done in Windows terms (posix_win32.cpp).
#pragma once
#include_next <unistd.h>

#include <fcntl.h>
#include <io.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif
// A pipe (binary; O_CLOEXEC: not inherited by child processes).
int pipe2(int fds[2], int flags);
// Reads at an offset, leaving the file position where it was.
ssize_t pread(int fd, void* buffer, size_t count, off_t offset);
// A hard link (NTFS); EPERM where the file system has none.
int link(const char* existing, const char* created);
int fsync(int fd);
// The computer's DNS host name.
int gethostname(char* name, size_t size);
#ifdef __cplusplus
}

// The C runtime counts bytes in unsigned int; these take size_t as POSIX does.
inline ssize_t read(int fd, void* buffer, size_t count) {
    return _read(fd, buffer, static_cast<unsigned>(count));
}
inline ssize_t write(int fd, const void* buffer, size_t count) {
    return _write(fd, buffer, static_cast<unsigned>(count));
}
#endif

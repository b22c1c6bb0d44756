// The POSIX layer of korvel.exe (windows/posix/*.h), in Windows terms.
#define WIN32_LEAN_AND_MEAN  // no winsock.h: its gethostname takes an int
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr int kSignals = 32;
void (*handlers[kSignals])(int) = {};

// The C runtime resets a handler to the default once it has run; this one
// puts itself back first, then calls the program's handler.
extern "C" void trampoline(int number) {
    ::signal(number, trampoline);
    if (number >= 0 && number < kSignals && handlers[number] != nullptr) handlers[number](number);
}

std::wstring wide(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 1U, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    out.resize(out.size() - 1);
    return out;
}

}  // namespace

extern "C" {

int sigemptyset(sigset_t* set) {
    *set = 0;
    return 0;
}

int sigaction(int number, const struct sigaction* action, struct sigaction* previous) {
    if (number <= 0 || number >= kSignals) {
        errno = EINVAL;
        return -1;
    }
    if (previous != nullptr) *previous = {handlers[number] != nullptr ? handlers[number] : SIG_DFL, 0, 0};
    if (action == nullptr) return 0;
    // Signals Windows never raises (SIGHUP, SIGUSR1, SIGPIPE) are only kept.
    const bool raised = number == SIGINT || number == SIGTERM || number == SIGBREAK || number == SIGABRT;
    const auto handler = action->sa_handler;
    if (handler == SIG_DFL || handler == SIG_IGN) {
        handlers[number] = nullptr;
        if (raised) ::signal(number, handler);
        return 0;
    }
    handlers[number] = handler;
    if (raised) ::signal(number, trampoline);
    return 0;
}

int pipe2(int fds[2], int flags) {
    return _pipe(fds, 65536, _O_BINARY | ((flags & _O_NOINHERIT) != 0 ? _O_NOINHERIT : 0));
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    const long long here = _lseeki64(fd, 0, SEEK_CUR);
    if (here < 0 || _lseeki64(fd, offset, SEEK_SET) < 0) return -1;
    const int n = _read(fd, buffer, static_cast<unsigned>(count));
    const int keep = errno;
    _lseeki64(fd, here, SEEK_SET);
    errno = keep;
    return n;
}

int link(const char* existing, const char* created) {
    if (CreateHardLinkW(wide(created).c_str(), wide(existing).c_str(), nullptr)) return 0;
    const DWORD error = GetLastError();
    errno = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? EEXIST
            : error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ? ENOENT
            : error == ERROR_ACCESS_DENIED ? EACCES
                                           : EPERM;  // no hard links here (FAT): the caller renames
    return -1;
}

int gethostname(char* name, size_t size) {
    DWORD n = static_cast<DWORD>(size);
    if (GetComputerNameExA(ComputerNameDnsHostname, name, &n)) return 0;
    errno = EINVAL;
    return -1;
}

int fsync(int fd) {
    if (_commit(fd) == 0) return 0;
    if (errno == EBADF && _get_osfhandle(fd) != -1) errno = EINVAL;  // a pipe or console: nothing to sync
    return -1;
}

}  // extern "C"

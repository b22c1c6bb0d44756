#include "core/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/failure.h"

namespace korvel::cli {
namespace {

constexpr int kMostFiles = 9999;

bool exists(const std::string& path) {
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0;
}

// Only a file holds a log worth keeping: /dev/null, a FIFO or a terminal is
// written to as it is.
bool existingFile(const std::string& path) {
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isStandardOutput(const std::string& path) { return path.empty() || path == "-"; }

// The first lines of a file (enough for a meta block).
std::string head(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char bytes[4096];
    const ssize_t n = ::read(fd, bytes, sizeof bytes);
    ::close(fd);
    return n > 0 ? std::string(bytes, static_cast<size_t>(n)) : std::string();
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

LogKind inspectLog(const std::string& path, Format format, std::string* what) {
    const std::string text = head(path);
    const std::string records = std::to_string(kRecordsVersion);
    // The meta block as this tool writes it (core/reading.cpp).
    if (text.rfind("{\"type\":\"meta\",\"korvel\":", 0) == 0) {
        const std::string meta = firstLine(text);
        const bool named = meta.find(",\"format\":\"jsonl\",") != std::string::npos;
        *what = "a jsonl log";
        if (format != Format::Jsonl) return LogKind::Other;
        return named && meta.find(",\"records\":" + records + ",") != std::string::npos ? LogKind::Current
                                                                                        : LogKind::Older;
    }
    if (text.rfind("# korvel ", 0) == 0) {
        const size_t formatLine = text.find("\n# format: ");
        // Older logs name no format: CSV ones begin with this block, text ones had none.
        const std::string named =
            formatLine == std::string::npos ? "csv" : firstLine(text.substr(formatLine + 11));
        *what = "a " + named + " log";
        if (named != formatName(format)) return LogKind::Other;
        return text.find("\n# records: " + records + "\n") != std::string::npos ? LogKind::Current : LogKind::Older;
    }
    *what = "not a log of korvel (it does not begin with korvel's meta block)";
    return LogKind::Other;
}

std::string numberedPath(const std::string& path, int number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, ".%04d", number);
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0 && (slash == std::string::npos || dot > slash + 1);
    if (!hasExtension) return path + digits;
    return path.substr(0, dot) + digits + path.substr(dot);
}

void LogFile::check(const LogTarget& target) {
    const bool rotated = target.rotateBytes > 0 || target.rotateSeconds > 0;
    if (isStandardOutput(target.path)) {
        if (rotated) throw Failure(kExitUsage, "--rotate-size and --rotate-time need a file: give -o FILE");
        if (target.existing != Existing::Refuse)
            throw Failure(kExitUsage, "--append and --force need a file: give -o FILE");
        return;
    }
    if (target.existing != Existing::Refuse) return;
    const std::string path = rotated ? numberedPath(target.path, 1) : target.path;
    if (!existingFile(path)) return;
    throw Failure(kExitUsage, path + (rotated ? " exists: --append continues that log, --force starts it afresh"
                                              : " exists: --append adds this run to it, --force overwrites it"));
}

LogFile::LogFile(const LogTarget& target) : target_(target) {
    check(target);
    if (isStandardOutput(target.path)) return;
    std::string path = target.path;
    if (rotating()) {
        number_ = 1;
        if (target.existing == Existing::Append) {
            while (number_ < kMostFiles && exists(numberedPath(target.path, number_ + 1))) ++number_;
        }
        path = numberedPath(target.path, number_);
    }
    bool append = target.existing == Existing::Append;
    if (append && !continuable(path)) {
        // Its columns are not today's: the run goes on in the next file of the set.
        path = numberedPath(target.path, ++number_);
        append = false;
    }
    const int error = open(path, append);
    if (error != 0) throw Failure(kExitUsage, "cannot create " + path + ": " + std::strerror(error));
}

bool LogFile::continuable(const std::string& path) const {
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return true;
    std::string what;
    const LogKind kind = inspectLog(path, target_.format, &what);
    if (kind == LogKind::Current) return true;
    if (kind == LogKind::Older && rotating()) return false;
    if (kind == LogKind::Older) {
        throw Failure(kExitUsage, path + " is a " + formatName(target_.format) +
                                      " log with an older set of columns: --append would mix them. Log into a "
                                      "new file, or give --rotate-size or --rotate-time to go on in a numbered set");
    }
    throw Failure(kExitUsage, path + " is " + what + ": --append adds only to a " + formatName(target_.format) +
                                  " log that korvel wrote (--format " + formatName(target_.format) + ")");
}

LogFile::~LogFile() {
    if (fd_ > 2) ::close(fd_);
}

int LogFile::open(const std::string& path, bool mayExist) {
    // Read as well when appending: the first and last bytes are looked at.
    const int flags = O_CREAT | O_CLOEXEC | (mayExist ? O_RDWR | O_APPEND : O_WRONLY | O_TRUNC);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) return errno;
    struct stat info{};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int error = errno != 0 ? errno : EISDIR;
        ::close(fd);
        return error;
    }
    fd_ = fd;
    path_ = path;
    size_ = static_cast<std::uint64_t>(info.st_size);
    continued_ = mayExist && size_ > 0;
    opened_ = std::chrono::steady_clock::now();
    // A run that stopped mid-line (a power cut) left a torn record: end its
    // line so the new records stand on their own.
    if (continued_) {
        char last = '\n';
        if (::pread(fd, &last, 1, static_cast<off_t>(size_ - 1)) == 1 && last != '\n') return write("\n");
    }
    return 0;
}

std::string LogFile::name() const { return toFile() ? path_ : "standard output"; }

int LogFile::write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        const int error = n < 0 ? errno : ENOSPC;
        // Part of a record is worse than none: cut the file back (a pipe
        // cannot be; its reader sees the torn line end with the output).
        if (done > 0 && toFile()) {
            const int cut = ::ftruncate(fd_, static_cast<off_t>(size_));
            static_cast<void>(cut);  // the write's own error is the one to report
        }
        return error;
    }
    size_ += text.size();
    return 0;
}

bool LogFile::wantsRotation(std::size_t nextBytes) const {
    if (!rotating() || size_ == 0) return false;
    if (target_.rotateBytes > 0 && size_ + nextBytes > target_.rotateBytes) return true;
    return target_.rotateSeconds > 0 &&
           std::chrono::steady_clock::now() - opened_ >= std::chrono::duration<double>(target_.rotateSeconds);
}

int LogFile::rotate() {
    int error = finish();
    if (error != 0) return error;
    if (number_ >= kMostFiles) return EMFILE;
    // A numbered file left by an older run is overwritten only under --force.
    do {
        ++number_;
    } while (number_ < kMostFiles && target_.existing != Existing::Replace &&
             exists(numberedPath(target_.path, number_)));
    return open(numberedPath(target_.path, number_), false);
}

int LogFile::finish() {
    if (fd_ <= 2) return 0;
    int error = ::fsync(fd_) == 0 ? 0 : errno;
    if (error == EINVAL) error = 0;  // a file system that cannot sync (a pipe, /dev/null)
    if (::close(fd_) != 0 && error == 0) error = errno;
    fd_ = -1;
    return error;
}

}  // namespace korvel::cli

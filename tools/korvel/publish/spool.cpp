#include "publish/spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/failure.h"

namespace korvel::cli::publish {
namespace {

// A record is one reading's JSON: far below this.
constexpr std::size_t kLongestRecord = 4096;
// Delivered bytes at the front are cut away once they pass this.
constexpr std::uint64_t kCompactAfter = 1 << 20;
constexpr int kSaveEvery = 256;

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw Failure(kExitMeterError, "spool: cannot " + what + " " + path + ": " + std::strerror(errno));
}

bool writeAll(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

Spool::Spool(const std::string& folder, const std::string& serial, std::uint64_t maxBytes)
    : data_(folder + "/" + serial + ".spool"), state_(folder + "/" + serial + ".state"), maxBytes_(maxBytes) {
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) fail("create the folder", folder);
    fd_ = ::open(data_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) fail("open", data_);
    load();
}

Spool::~Spool() {
    try {
        save();
    } catch (const Failure&) {
        // Nothing more can be done on the way out; the next run sends the
        // last records again (duplicates, never gaps).
    }
    if (fd_ >= 0) ::close(fd_);
}

void Spool::load() {
    struct stat status {};
    if (fstat(fd_, &status) != 0) fail("read", data_);
    end_ = static_cast<std::uint64_t>(status.st_size);
    if (FILE* file = std::fopen(state_.c_str(), "r")) {
        unsigned long long head = 0, seq = 1, dropped = 0;
        if (std::fscanf(file, "head %llu\nnext_seq %llu\ndropped %llu", &head, &seq, &dropped) == 3) {
            head_ = head <= end_ ? head : end_;
            nextSeq_ = seq;
            dropped_ = dropped;
        }
        std::fclose(file);
    }
    // A record cut short by a crash is no record: the file ends at the last
    // whole line.
    std::uint64_t at = head_, next = 0;
    std::string record;
    while (readAt(at, &record, &next)) at = next;
    if (at != end_) {
        if (ftruncate(fd_, static_cast<off_t>(at)) != 0) fail("repair", data_);
        end_ = at;
    }
}

int Spool::append(const std::string& record) {
    std::string line = record;
    line += '\n';
    if (::lseek(fd_, static_cast<off_t>(end_), SEEK_SET) < 0 || !writeAll(fd_, line.data(), line.size())) {
        const int saved = errno;
        // Whole records only: cut a partial one away again.
        [[maybe_unused]] const int ignored = ftruncate(fd_, static_cast<off_t>(end_));
        errno = saved;
        fail("write", data_);
    }
    end_ += line.size();
    ++nextSeq_;
    int dropped = 0;
    while (pendingBytes() > maxBytes_ && head_ != end_) {
        dropOldest();
        ++dropped;
    }
    return dropped;
}

void Spool::dropOldest() {
    std::string record;
    std::uint64_t next = 0;
    if (!readAt(head_, &record, &next)) {
        head_ = end_;
        return;
    }
    head_ = next;
    ++dropped_;
}

bool Spool::read(std::uint64_t at, std::string* record, std::uint64_t* next) const {
    if (at < base_ + head_) return false;
    std::uint64_t after = 0;
    if (!readAt(at - base_, record, &after)) return false;
    *next = base_ + after;
    return true;
}

bool Spool::readAt(std::uint64_t at, std::string* record, std::uint64_t* next) const {
    if (at >= end_) return false;
    char buffer[kLongestRecord + 1];
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, end_ - at));
    const ssize_t got = ::pread(fd_, buffer, want, static_cast<off_t>(at));
    if (got <= 0) return false;
    const void* newline = std::memchr(buffer, '\n', static_cast<std::size_t>(got));
    if (newline == nullptr) return false;
    const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(newline) - buffer);
    record->assign(buffer, length);
    *next = at + length + 1;
    return true;
}

void Spool::delivered(std::uint64_t upTo) {
    if (upTo <= base_ + head_) return;
    head_ = upTo - base_ > end_ ? end_ : upTo - base_;
    if (++unsaved_ >= kSaveEvery) save();
    if (head_ >= kCompactAfter && head_ * 2 >= end_) compact();
}

void Spool::save() {
    const std::string temporary = state_ + ".new";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) fail("write", temporary);
    std::fprintf(file, "head %llu\nnext_seq %llu\ndropped %llu\n", static_cast<unsigned long long>(head_),
                 static_cast<unsigned long long>(nextSeq_), static_cast<unsigned long long>(dropped_));
    const bool written = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    std::fclose(file);
    if (!written || std::rename(temporary.c_str(), state_.c_str()) != 0) fail("write", state_);
    unsaved_ = 0;
}

// Moves the records still to deliver to the front of a new file.
void Spool::compact() {
    const std::string temporary = data_ + ".new";
    const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;  // compacting can wait; nothing is lost
    std::vector<char> buffer(64 * 1024);
    bool ok = true;
    for (std::uint64_t at = head_; ok && at < end_;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end_ - at));
        const ssize_t got = ::pread(fd_, buffer.data(), want, static_cast<off_t>(at));
        ok = got > 0 && writeAll(fd, buffer.data(), static_cast<std::size_t>(got));
        at += got > 0 ? static_cast<std::uint64_t>(got) : 0;
    }
    const std::uint64_t head = head_;
    if (!ok || std::rename(temporary.c_str(), data_.c_str()) != 0) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return;
    }
    ::close(fd_);
    fd_ = fd;
    base_ += head;
    end_ -= head;
    head_ = 0;
    save();
}

}  // namespace korvel::cli::publish

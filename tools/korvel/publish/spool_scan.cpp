#include "publish/spool_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "publish/record_check.h"

namespace korvel::cli::publish {
namespace {

using Range = std::pair<std::uint64_t, std::uint64_t>;  // [first, end)
constexpr std::size_t kChunk = 64 * 1024;

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

// Copies [first, end) of `from` to the end of `to`.
bool copyRange(int from, int to, Range range, std::vector<char>& buffer) {
    for (std::uint64_t at = range.first; at < range.second;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), range.second - at));
        const ssize_t got = ::pread(from, buffer.data(), want, static_cast<off_t>(at));
        if (got <= 0 || !writeAll(to, buffer.data(), static_cast<std::size_t>(got))) return false;
        at += static_cast<std::uint64_t>(got);
    }
    return true;
}

std::string failed(const std::string& what, const std::string& path) {
    return "spool: cannot " + what + " " + path + ": " + std::strerror(errno);
}

// Reads the file line by line and sorts the lines into records and bad ones.
class Sorter {
public:
    Sorter(std::uint64_t head, SpoolScan* scan) : head_(head), scan_(scan) {}

    void line(std::uint64_t first, std::uint64_t end, const std::string& text, bool whole) {
        std::uint64_t seq = 0;
        const bool good = whole && isSpoolRecord(text, &seq) && seq > scan_->lastSeq;
        if (good) {
            scan_->lastSeq = seq;
            scan_->lastStart = first;
        } else {
            ++scan_->badRecords;
            if (!bad.empty() && bad.back().second == first)
                bad.back().second = end;
            else
                bad.emplace_back(first, end);
        }
        if (first < head_ && head_ < end) {
            scan_->headMoved = true;
            head_ = good ? first : end;
        }
    }

    std::uint64_t head() const { return head_; }
    std::vector<Range> bad;

private:
    std::uint64_t head_;
    SpoolScan* scan_;
};

// Bytes of bad ranges before a position that lies outside them.
std::uint64_t badBefore(const std::vector<Range>& bad, std::uint64_t position) {
    std::uint64_t count = 0;
    for (const Range& range : bad)
        if (range.second <= position) count += range.second - range.first;
    return count;
}

bool setAside(int fd, const std::string& badPath, const std::vector<Range>& bad, std::vector<char>& buffer) {
    const int out = ::open(badPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) return false;
    bool ok = true;
    for (const Range& range : bad) {
        char last = '\n';
        ok = ok && copyRange(fd, out, range, buffer) && ::pread(fd, &last, 1, static_cast<off_t>(range.second - 1)) == 1;
        if (ok && last != '\n') ok = writeAll(out, "\n", 1);  // a line cut short ends here
    }
    ok = ok && ::fdatasync(out) == 0;
    const int saved = errno;
    ::close(out);
    errno = saved;
    return ok;
}

}  // namespace

bool scanSpool(int* fd, const std::string& path, const std::string& badPath, std::uint64_t head, SpoolScan* scan,
               std::string* error) {
    struct stat status {};
    if (::fstat(*fd, &status) != 0) {
        *error = failed("read", path);
        return false;
    }
    const auto size = static_cast<std::uint64_t>(status.st_size);
    *scan = SpoolScan{};
    Sorter sorter(std::min(head, size), scan);
    std::vector<char> buffer(kChunk);
    std::string text;
    bool overlong = false;
    std::uint64_t lineStart = 0;
    for (std::uint64_t at = 0; at < size;) {
        const ssize_t got = ::pread(*fd, buffer.data(), buffer.size(), static_cast<off_t>(at));
        if (got <= 0) {
            *error = failed("read", path);
            return false;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
            if (buffer[i] != '\n') {
                if (text.size() < kLongestRecord + 1) text.push_back(buffer[i]);
                else overlong = true;
                continue;
            }
            sorter.line(lineStart, at + i + 1, text, !overlong);
            lineStart = at + i + 1;
            text.clear();
            overlong = false;
        }
        at += static_cast<std::uint64_t>(got);
    }
    if (lineStart < size) sorter.line(lineStart, size, text, false);  // no line feed: cut short

    scan->head = sorter.head();
    scan->end = size;
    if (sorter.bad.empty()) return true;
    if (!setAside(*fd, badPath, sorter.bad, buffer)) {
        *error = failed("set damaged records aside in", badPath);
        return false;
    }
    const std::string temporary = path + ".new";
    const int out = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = out >= 0;
    std::uint64_t from = 0;
    for (const Range& range : sorter.bad) {
        ok = ok && copyRange(*fd, out, Range{from, range.first}, buffer);
        from = range.second;
    }
    ok = ok && copyRange(*fd, out, Range{from, size}, buffer) && ::fdatasync(out) == 0 &&
         ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        *error = failed("rewrite", path);
        if (out >= 0) ::close(out);
        ::unlink(temporary.c_str());
        return false;
    }
    ::close(*fd);
    *fd = out;
    scan->head -= badBefore(sorter.bad, scan->head);
    scan->lastStart -= badBefore(sorter.bad, scan->lastStart);
    scan->end = size - badBefore(sorter.bad, size);
    return true;
}

}  // namespace korvel::cli::publish

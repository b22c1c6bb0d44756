#include "publish/spool_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

namespace korvel::cli::publish {
namespace {

constexpr std::size_t kMostStateBytes = 256;

bool field(std::string_view* text, std::string_view name, std::uint64_t* value) {
    if (text->substr(0, name.size()) != name || text->size() <= name.size() || (*text)[name.size()] != ' ')
        return false;
    text->remove_prefix(name.size() + 1);
    std::uint64_t number = 0;
    std::size_t digits = 0;
    for (; digits < text->size() && (*text)[digits] >= '0' && (*text)[digits] <= '9'; ++digits) {
        if (digits == 19) return false;  // more than a count could be
        number = number * 10 + static_cast<std::uint64_t>((*text)[digits] - '0');
    }
    if (digits == 0 || digits >= text->size() || (*text)[digits] != '\n') return false;
    text->remove_prefix(digits + 1);
    *value = number;
    return true;
}

std::string format(const SpoolState& state) {
    char text[kMostStateBytes];
    const int length = std::snprintf(text, sizeof text, "head %019llu\nnext_seq %019llu\ndropped %019llu\n",
                                     static_cast<unsigned long long>(state.head),
                                     static_cast<unsigned long long>(state.nextSeq),
                                     static_cast<unsigned long long>(state.dropped));
    return std::string(text, static_cast<std::size_t>(length));
}

bool writeFile(int fd, const std::string& text) {
    return ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
           ::ftruncate(fd, static_cast<off_t>(text.size())) == 0 && ::fdatasync(fd) == 0;
}

}  // namespace

StateFile readState(const std::string& path, SpoolState* state) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? StateFile::Missing : StateFile::Unreadable;
    char buffer[kMostStateBytes];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got <= 0) return StateFile::Unreadable;
    std::string_view text(buffer, static_cast<std::size_t>(got));
    SpoolState read;
    if (!field(&text, "head", &read.head) || !field(&text, "next_seq", &read.nextSeq) ||
        !field(&text, "dropped", &read.dropped) || !text.empty() || read.nextSeq == 0)
        return StateFile::Unreadable;
    *state = read;
    return StateFile::Read;
}

bool writeState(const std::string& path, const SpoolState& state) {
    const std::string text = format(state);
    const std::string temporary = path + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        const bool written = writeFile(fd, text);
        ::close(fd);
        if (written && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
        const int saved = errno;
        ::unlink(temporary.c_str());
        errno = saved;
    }
    // In place: the same number of bytes over the old ones needs no new space.
    const int saved = errno;
    fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        errno = saved;
        return false;
    }
    const bool written = writeFile(fd, text);
    ::close(fd);
    if (!written) errno = saved;
    return written;
}

}  // namespace korvel::cli::publish

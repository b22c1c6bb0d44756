#include "core/capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace korvel::cli {

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    saved_ = dup(STDOUT_FILENO);
    if (saved_ < 0 || dup2(ends[1], STDOUT_FILENO) < 0) {
        if (saved_ >= 0) close(saved_);
        close(ends[0]);
        close(ends[1]);
        saved_ = -1;
        return;
    }
    close(ends[1]);  // fd 1 is now the only write end
    readEnd_ = ends[0];
    active_ = true;
}

StdoutCapture::~StdoutCapture() { finish(); }

std::string StdoutCapture::finish() {
    if (!active_) return {};
    active_ = false;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);  // closes the pipe's last write end
    close(saved_);
    std::string text;
    char buffer[512];
    while (true) {
        const ssize_t n = read(readEnd_, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(readEnd_);
    return text;
}

}  // namespace korvel::cli

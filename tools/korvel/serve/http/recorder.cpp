#include "serve/http/recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace korvel::cli::serve::http {
namespace {

std::string fileStamp(WallClock::time_point time) {
    const std::time_t seconds = WallClock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

// Letters, digits, '-' and '_' only: the serial becomes part of a file name.
std::string safeName(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                           c == '_';
        if (plain) out += c;
    }
    return out.empty() ? "meter" : out;
}

}  // namespace

std::string recordingText(const LoggedReading& reading, bool first) {
    return (first ? csvHeader() : std::string()) + formatRecord(Format::Csv, reading);
}

Recorder::Recorder(std::string folder) : folder_(std::move(folder)) {}

Recorder::~Recorder() { stop(); }

bool Recorder::start(const std::string& serial, std::string* error) {
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) {
        *error = "a recording runs already";
        return false;
    }
    std::error_code ignored;
    const std::filesystem::path folder =
        folder_.empty() ? std::filesystem::temp_directory_path(ignored) : std::filesystem::path(folder_);
    const std::string base = "korvel-" + safeName(serial) + "-" + fileStamp(WallClock::now());
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const std::string name = base + (attempt == 1 ? "" : "-" + std::to_string(attempt)) + ".csv";
        const std::string path = (folder / name).string();
        // O_EXCL: an existing file is never overwritten.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) {
            *error = "cannot create " + path + ": " + std::strerror(errno);
            return false;
        }
        file_ = fdopen(fd, "w");
        if (file_ == nullptr) {
            ::close(fd);
            *error = "cannot write " + path;
            return false;
        }
        state_ = State{true, path, 0, ""};
        return true;
    }
    *error = "cannot find a free file name for " + base;
    return false;
}

void Recorder::stop() {
    std::lock_guard lock(mutex_);
    closeFile();
}

void Recorder::closeFile() {
    if (file_ == nullptr) return;
    if (std::fclose(file_) != 0 && state_.error.empty()) state_.error = std::strerror(errno);
    file_ = nullptr;
    state_.recording = false;
}

void Recorder::add(const Sample& sample) {
    if (!sample.hasReading) return;
    std::lock_guard lock(mutex_);
    if (file_ == nullptr) return;
    if (state_.rows == 0) firstTime_ = sample.time;
    LoggedReading reading;
    reading.time = sample.time;
    reading.elapsed = std::chrono::duration<double>(sample.time - firstTime_).count();
    reading.raw = sample.raw;
    reading.value = sample.value;
    const std::string text = recordingText(reading, state_.rows == 0);
    // Flushed each row, so the download and a crash both find every row taken.
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0) {
        state_.error = std::string("writing stopped: ") + std::strerror(errno != 0 ? errno : EIO);
        closeFile();
        return;
    }
    ++state_.rows;
}

Recorder::State Recorder::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

}  // namespace korvel::cli::serve::http

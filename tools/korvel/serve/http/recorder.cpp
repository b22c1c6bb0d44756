#include "serve/http/recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/failure.h"
#include "core/state_dir.h"
#include "serve/log.h"

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

// Creates a file that did not exist (O_EXCL: a recording never overwrites
// one); "" with *error when none can be made.
std::string createUnique(const std::string& folder, const std::string& base, std::string* error) {
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const std::string path =
            folder + "/" + base + (attempt == 1 ? "" : "-" + std::to_string(attempt)) + ".csv";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) {
            *error = "cannot create " + path + ": " + std::strerror(errno);
            return {};
        }
        ::close(fd);
        return path;
    }
    *error = "cannot find a free file name for " + base;
    return {};
}

}  // namespace

Recorder::Recorder(std::string folder)
    : folder_(folder.empty() ? stateDirectory() + "/recordings" : std::move(folder)) {}

Recorder::~Recorder() { stop(); }

bool Recorder::start(std::string* error) {
    std::lock_guard lock(mutex_);
    if (state_.recording) {
        *error = "a recording runs already";
        return false;
    }
    if (const int made = makeFolders(folder_); made != 0 || ::access(folder_.c_str(), W_OK) != 0) {
        *error = "cannot record into " + folder_ + ": " + std::strerror(made != 0 ? made : errno);
        return false;
    }
    state_ = State{true, "", 0, ""};
    return true;
}

void Recorder::stop() {
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) {
        if (const int error = file_->finish(); error != 0 && state_.error.empty()) state_.error = std::strerror(error);
    }
    writer_.reset();
    file_.reset();
    state_.recording = false;
}

void Recorder::fail(const std::string& why) {
    state_.error = why;
    log("page: recording into " + state_.path + " stopped: " + why + " (the file ends at its last whole row, " +
        std::to_string(state_.rows) + " rows)");
    if (file_ != nullptr) file_->finish();
    writer_.reset();
    file_.reset();
    state_.recording = false;
}

bool Recorder::open(const Sample& sample, const MeterStatus& meter) {
    std::string error;
    const std::string path = createUnique(folder_, "korvel-" + safeName(meter.serial) + "-" + fileStamp(sample.time),
                                          &error);
    if (path.empty()) {
        fail(error);
        return false;
    }
    state_.path = path;
    try {
        LogTarget target;
        target.path = path;
        target.existing = Existing::Append;  // the empty file just made
        target.format = Format::Csv;
        file_ = std::make_unique<LogFile>(target);
    } catch (const Failure& failure) {
        fail(failure.what());
        return false;
    }
    writer_ = std::make_unique<LogWriter>(*file_, Format::Csv);
    RunMeta meta;
    meta.version = KORVEL_CLI_VERSION;
    meta.identification = meter.identification;
    meta.serial = meter.serial;
    meta.probe = meter.probe;
    meta.units = sample.raw.units;
    meta.acdc = sample.raw.acdc;
    meta.range = sample.raw.range;
    meta.autoRange = meter.autoRange == 1 || (meter.autoRange < 0 && (sample.raw.aux & 0x08) != 0);
    meta.host = hostName();
    meta.command = "korvel serve (recording from the live page)";
    if (const int written = writer_->begin(meta); written != 0) {
        fail(std::string("writing stopped: ") + std::strerror(written));
        return false;
    }
    firstElapsed_ = sample.elapsed;
    return true;
}

void Recorder::add(const Sample& sample, const MeterStatus& meter) {
    if (!sample.hasReading) return;
    std::lock_guard lock(mutex_);
    if (!state_.recording) return;
    if (writer_ == nullptr && !open(sample, meter)) return;
    LoggedReading reading;
    reading.time = sample.time;
    reading.elapsed = sample.elapsed - firstElapsed_;
    reading.raw = sample.raw;
    reading.value = sample.value;
    // Each row reaches the file whole (a failed write is cut back), so the
    // download and a crash both find every row taken.
    if (const int error = writer_->reading(reading); error != 0) {
        fail(std::string("writing stopped: ") + std::strerror(error));
        return;
    }
    ++state_.rows;
}

Recorder::State Recorder::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

}  // namespace korvel::cli::serve::http

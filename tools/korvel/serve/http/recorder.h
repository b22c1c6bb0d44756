// Recording from the page: the readings the server publishes go into a log
// of their own, written as `korvel read --format csv` writes one (the meta
// block naming the meter, whole records only), one file per recording named
// after the meter's serial, never overwriting one.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "core/log_file.h"
#include "core/log_writer.h"
#include "serve/http/live_feed.h"

namespace korvel::cli::serve::http {

class Recorder {
public:
    // Files go into `folder` ("": the recordings folder in the tool's state
    // folder, made when the first recording starts).
    explicit Recorder(std::string folder);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Starts a recording; its file is created at the first reading, when
    // the meter is known. False with *error when the folder cannot be used
    // or a recording runs already.
    bool start(std::string* error);
    void stop();
    // Writes a sample that holds a reading (while recording). A failed write
    // ends the recording; the file then ends at its last whole row.
    void add(const Sample& sample, const MeterStatus& meter);

    struct State {
        bool recording = false;
        std::string path;  // the latest recording's file ("" before its first reading)
        long long rows = 0;
        std::string error; // why the latest recording stopped by itself
    };
    State state() const;

private:
    bool open(const Sample& sample, const MeterStatus& meter);
    void fail(const std::string& why);

    std::string folder_;
    mutable std::mutex mutex_;
    std::unique_ptr<LogFile> file_;
    std::unique_ptr<LogWriter> writer_;
    State state_;
    double firstElapsed_ = 0;
};

}  // namespace korvel::cli::serve::http

// Recording from the page: the server writes the readings it publishes into
// a CSV file of its own (the format of `korvel read --format csv`), one file
// per recording, never overwriting one.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "serve/http/live_feed.h"

namespace korvel::cli::serve::http {

// The text a recording adds for one reading: the header before the first.
// The one place the page's recordings meet the CSV schema.
std::string recordingText(const LoggedReading& reading, bool first);

class Recorder {
public:
    // Files go into `folder` ("" : the system's temporary folder).
    explicit Recorder(std::string folder);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Starts a new file named after the serial and the time; false with
    // *error when it cannot be created or a recording runs already.
    bool start(const std::string& serial, std::string* error);
    void stop();
    // Writes a sample that holds a reading (while recording).
    void add(const Sample& sample);

    struct State {
        bool recording = false;
        std::string path;  // the latest recording's file ("" before the first)
        long long rows = 0;
        std::string error; // why the latest recording stopped by itself
    };
    State state() const;

private:
    void closeFile();

    const std::string folder_;
    mutable std::mutex mutex_;
    std::FILE* file_ = nullptr;
    State state_;
    WallClock::time_point firstTime_{};
};

}  // namespace korvel::cli::serve::http

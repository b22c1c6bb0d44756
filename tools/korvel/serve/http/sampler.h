// The reading the page shows, taken on the meter's thread: one reading per
// period for every open page together, the meter's identity once per
// connection, its hold and relative modes now and then.
#pragma once

#include "core/acquisition.h"
#include "core/session.h"
#include "serve/http/live_feed.h"
#include "serve/http/recorder.h"

namespace korvel::cli::serve::http {

class Sampler {
public:
    Sampler(Session& session, LiveFeed& feed, Recorder& recorder);

    // One sample (meter null: the meter is away). Worker thread only.
    void sample(Meter* meter);
    // Reads hold and relative mode again (after the page changed them).
    // Worker thread only.
    void refreshModes(Meter& meter);
    // Records the auto-range state the page set.
    void setAutoRange(int state);

private:
    void identify(Meter& meter);
    int queryMode(Meter& meter, const char* query);

    Session& session_;
    LiveFeed& feed_;
    Recorder& recorder_;
    RunClock clock_;
    MeterHandle handle_ = 0;  // the connection identified last
    int sinceModes_ = 0;
};

}  // namespace korvel::cli::serve::http

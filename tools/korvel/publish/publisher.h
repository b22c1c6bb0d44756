// Moves a meter's spooled readings to the broker in order: a window of
// messages in flight, the spool's front advanced only over what the broker
// acknowledged, everything unacknowledged sent again after a reconnection
// (so a reading may arrive twice, never not at all; receivers drop
// duplicates by serial and sequence number).
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "publish/mqtt_link.h"
#include "publish/spool.h"

namespace korvel::cli::publish {

struct Topics {
    std::string reading;  // PREFIX/SERIAL/reading
    std::string meta;     // PREFIX/SERIAL/meta (retained)
    std::string status;   // PREFIX/SERIAL/status (retained: online / offline)
    std::string link;     // PREFIX/SERIAL/link (retained: the last change of the broker link, a line)
};

Topics topicsFor(const std::string& prefix, const std::string& serial);

class Publisher {
public:
    Publisher(MqttLink& link, Spool& spool, std::mutex& spoolMutex, Topics topics, int qos, std::string meta);

    // One round: the spool flushed and its state written when due; after a
    // (re)connection the meta record and "online" go out and the
    // unacknowledged records again; then records up to the window, as they
    // are in the spool; then the acknowledgements move the spool's front.
    // False once the spool has failed (Spool::failure() says why).
    bool step();
    // Nothing waits in the spool or in flight.
    bool idle();
    // Announces "offline" (retained) and waits up to `seconds` for it.
    void goOffline(double seconds);
    std::uint64_t published() const { return published_; }

private:
    struct InFlight {
        int mid;
        std::uint64_t next;  // where the record after it starts
        bool acknowledged;
    };

    MqttLink& link_;
    Spool& spool_;
    std::mutex& spoolMutex_;
    const Topics topics_;
    const int qos_;
    const std::string meta_;
    unsigned connection_ = 0;
    std::uint64_t cursor_ = 0;
    std::deque<InFlight> inFlight_;
    std::deque<int> acknowledged_;
    std::uint64_t published_ = 0;
};

}  // namespace korvel::cli::publish

// Moves a meter's spooled readings to the broker in order: a window of
// messages in flight, the spool's front advanced only over what the broker
// acknowledged, everything unacknowledged sent again after a reconnection
// (so a reading may arrive twice, never not at all; receivers drop
// duplicates by serial and sequence number). Several publishers share one
// connection (one per meter); the spool's lock is held only to copy a batch
// out and to move the front, never while a message is handed to the link.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "publish/mqtt_link.h"
#include "publish/spool.h"

namespace korvel::cli::publish {

struct Topics {
    std::string reading;  // PREFIX/SERIAL/reading
    std::string meta;     // PREFIX/SERIAL/meta (retained)
    std::string status;   // PREFIX/SERIAL/status (retained: online / offline)
    std::string link;     // PREFIX/SERIAL/link (retained: the last change of the broker link, a line)
    std::string publisher;  // PREFIX/SERIAL/publisher (retained, several meters: the process's status topic)
};

Topics topicsFor(const std::string& prefix, const std::string& serial);

class Publisher;
// Which publisher sent a message (by id) on the shared connection.
using Owners = std::unordered_map<int, Publisher*>;

class Publisher {
public:
    // `processStatus`: with several meters on one connection, the topic of
    // the last will, announced (retained) on the meter's publisher topic.
    Publisher(MqttLink& link, Spool& spool, std::mutex& spoolMutex, Topics topics, int qos, std::string meta,
              Owners& owners, std::string processStatus = {});

    // One round: the spool flushed and its state written when due; after a
    // (re)connection the meta record and "online" go out and the
    // unacknowledged records again; then records up to the window, as they
    // are in the spool. False once the spool has failed (Spool::failure()
    // says why).
    bool step();
    // The broker has message `mid` (one of this publisher's).
    void acknowledge(int mid);
    // Moves the spool's front over the acknowledged records at the front of
    // the window, and cuts the delivered front away when due (the copy
    // without the spool's lock).
    void settle();
    // Nothing waits in the spool or in flight.
    bool idle();
    std::uint64_t published() const { return published_; }
    bool inFlight() const { return !inFlight_.empty(); }
    const Topics& topics() const { return topics_; }

private:
    bool takeBatch(Spool::SaveWork* save, bool* healthy);

    struct InFlight {
        int mid;
        std::uint64_t next;  // where the record after it starts
        bool acknowledged;
    };
    struct Copied {
        std::size_t offset;  // in block_
        std::size_t length;
        std::uint64_t next;  // where the record after it starts in the spool
    };

    MqttLink& link_;
    Spool& spool_;
    std::mutex& spoolMutex_;
    const Topics topics_;
    const int qos_;
    const std::string meta_;
    Owners& owners_;
    const std::string processStatus_;
    unsigned connection_ = 0;
    std::uint64_t cursor_ = 0;
    std::deque<InFlight> inFlight_;
    std::vector<char> block_;  // the records copied out of the spool
    std::vector<Copied> batch_;
    std::size_t batchSize_ = 0;
    bool anyAcknowledged_ = false;
    std::uint64_t published_ = 0;
};

}  // namespace korvel::cli::publish

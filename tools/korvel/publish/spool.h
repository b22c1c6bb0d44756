// The readings of one meter on their way to the broker, on disk first: each
// record is appended before it is published and leaves only once the broker
// has it (or, at QoS 0, once it is sent). A broker that is away, or a
// program that is stopped or killed, leaves the rest for later, in order,
// with their sequence numbers: a record sent again after a restart is the
// same record, byte for byte. Bounded: past the size limit the oldest
// records are dropped, and the next record appended tells how many of them
// never reached the broker ("dropped").
//
// In the folder: SERIAL.spool (one JSON record per line), SERIAL.state
// (publish/spool_state.h), SERIAL.lock (one publisher per spool,
// publish/spool_lock.h) and, when damage was found, SERIAL.bad.
//
// Errors are values: append(), save() and maintain() return false once the
// disk refused something, and failure() says what in one sentence; the
// spool then takes no more records. Not thread-safe: callers hold one mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "publish/spool_lock.h"
#include "publish/spool_state.h"

namespace korvel::cli::publish {

struct Appended {
    bool written = false;  // false: failure() says why
    std::uint64_t seq = 0; // the number the record got
    int cut = 0;           // old records removed to keep within the size limit
};

class Spool {
public:
    // Opens (or starts) the spool of one meter, takes its lock, checks every
    // record (damage goes to SERIAL.bad) and recovers the numbering from the
    // records themselves. syncSeconds bounds what a power cut can take:
    // appended records are flushed to the disk at least that often (0: each
    // one). Throws Failure when the spool is in use by another publisher, or
    // its folder or state file cannot be used.
    Spool(const std::string& folder, const std::string& serial, std::uint64_t maxBytes, double syncSeconds = 1.0);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // What opening found and did (damage set aside, a state rebuilt), one
    // sentence each, for standard error.
    const std::vector<std::string>& notices() const { return notices_; }

    // Appends {"seq":N,<body>} with the next number N, and "dropped":K after
    // the number when K records were dropped since the last record. `body`
    // is a JSON object's members ("tesla":0.01,...) or a whole object
    // ({...}, whose braces are taken off); a line feed at its end is ignored.
    Appended append(std::string_view body);
    std::uint64_t nextSeq() const { return nextSeq_; }

    // Records not yet delivered, in bytes.
    std::uint64_t pendingBytes() const { return end_ - head_; }
    bool empty() const { return head_ == end_; }

    // Positions are counted from the spool's start in this run and stay
    // valid when delivered records are cut away. head() is the first record
    // to deliver; read() gives the record at a position and where it ends.
    std::uint64_t head() const { return base_ + head_; }
    std::uint64_t end() const { return base_ + end_; }
    bool read(std::uint64_t at, std::string* record, std::uint64_t* next) const;
    // The whole records from `at` on, each with its line feed, in one read
    // of at most `size` bytes (more than the longest record); the bytes
    // copied (0: none there).
    std::size_t readRecords(std::uint64_t at, char* buffer, std::size_t size) const;

    // The publisher's side. sent(): everything before `upTo` is on its way
    // (a record dropped from there may still reach the broker). delivered():
    // the broker has everything before `upTo`; the front is cut away when
    // due, here and now (for single-threaded callers); markDelivered() only
    // moves the front and leaves the cutting to the compaction steps below.
    // resend(): what was on its way is lost with the connection and goes out
    // again from head().
    void sent(std::uint64_t upTo);
    void delivered(std::uint64_t upTo);
    void markDelivered(std::uint64_t upTo);
    void resend();

    // Cutting the delivered front away, in three steps so that the long
    // copy and the disk's waits hold no lock: compactDue() (under the
    // callers' mutex) says whether it is due and notes what to copy;
    // copyCompaction() copies that to SERIAL.spool.new, flushes it and
    // writes the state for the new file, without the mutex, on the one
    // thread that compacts (the publisher's); finishCompaction() (under the
    // mutex) copies the records appended meanwhile, puts the new file in
    // place and moves the positions' base; releaseCompaction() closes the
    // old file after the mutex is released (freeing its blocks waits for the
    // disk). One compaction at a time; on any failure the old file stays as
    // it was and a later one tries again. A SaveWork taken before a
    // compaction is written before it starts (its head is an offset in the
    // old file): the publisher does both on its one thread, one after the other.
    struct CompactWork {
        bool due = false;
        int source = -1;            // the spool file's descriptor
        std::uint64_t from = 0;     // file offsets: what moves to the new file's front
        std::uint64_t copyEnd = 0;  // the file's end when noted; the rest is copied when finishing
        SpoolState state;           // the state for the new file
        int fd = -1;                // the new file, once copied and flushed; the old one once finished
        bool stateWritten = false;  // the state file already points into the new file
    };
    CompactWork compactDue();
    void copyCompaction(CompactWork* work) const;
    void finishCompaction(CompactWork* work);
    void releaseCompaction(CompactWork* work) const;
    // All three at once; true when the front was cut away.
    bool compactNow();

    // Dropped records still to be told in the next record appended (those
    // dropped on their way to the broker count once they are known lost).
    std::uint64_t dropped() const { return dropped_; }

    // Flushes appended records to the disk and writes the state, each when
    // its time has come (--sync-interval); the publisher calls it often.
    bool maintain();
    // The same in two halves, so the disk's wait holds no lock: saveDue()
    // (under the callers' mutex) says what is due now, by the timer or after
    // many deliveries, and counts it as done; writeSave() writes it without
    // the mutex, on the one thread that saves (the publisher's); a failure it
    // returns goes to saveFailed() under the mutex again.
    struct SaveWork {
        bool due = false;
        bool sync = false;  // flush the records to the disk first
        SpoolState state;
    };
    SaveWork saveDue();
    std::string writeSave(const SaveWork& work) const;
    void saveFailed(const std::string& failure);
    // Flushes and writes the state now.
    bool save();
    const std::string& failure() const { return failure_; }

private:
    struct DroppedOnItsWay {
        std::uint64_t end;   // where the record after it starts (file offset)
        std::uint64_t told;  // 1 + the dropped count it carried
    };

    void open();
    void dropOldest();
    bool readAt(std::uint64_t at, std::string* record, std::uint64_t* next) const;  // file offsets
    bool fail(const std::string& what, const std::string& path);
    SpoolState state() const;

    std::string folder_, data_, state_, bad_;
    std::unique_ptr<SpoolLock> lock_;
    std::uint64_t maxBytes_;
    std::chrono::steady_clock::duration syncEvery_;
    int fd_ = -1;
    std::uint64_t base_ = 0;       // bytes cut from the front of the file in this run
    std::uint64_t head_ = 0;       // file offsets
    std::uint64_t end_ = 0;
    std::uint64_t sent_ = 0;
    std::uint64_t lastStart_ = 0;  // the newest record, kept by compaction for its number
    std::uint64_t nextSeq_ = 1;
    std::uint64_t dropped_ = 0;
    std::deque<DroppedOnItsWay> droppedOnItsWay_;
    bool compacting_ = false;
    std::uint64_t compactAt_;      // head_ past which the front is cut away (file offset)
    bool unsynced_ = false;
    int undelivered_ = 0;          // deliveries since the state was written
    bool stateChanged_ = false;
    std::chrono::steady_clock::time_point lastSync_;
    std::string failure_;
    std::vector<std::string> notices_;
};

}  // namespace korvel::cli::publish

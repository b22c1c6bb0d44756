// The readings of one meter on their way to the broker, on disk first: each
// record is appended before it is published and leaves only once the broker
// has it (or, at QoS 0, once it is sent). A broker that is away, or a
// program that is stopped, leaves the rest for later, in order, with its
// sequence numbers. Bounded: past the size limit the oldest records are
// dropped, and counted.
//
// In the folder: SERIAL.spool, one record per line, and SERIAL.state, where
// the first record still to deliver starts, the next sequence number and the
// count of dropped records not yet reported (rewritten whole, then renamed).
#pragma once

#include <cstdint>
#include <string>

namespace korvel::cli::publish {

class Spool {
public:
    // Opens (or starts) the spool of one meter; throws Failure when the
    // folder cannot be used.
    Spool(const std::string& folder, const std::string& serial, std::uint64_t maxBytes);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // The sequence number the next record gets; each append takes one.
    std::uint64_t nextSeq() const { return nextSeq_; }
    // Appends a record (one line, without its line feed). Returns how many
    // old records were dropped to make room (0 almost always). Throws
    // Failure when the disk refuses the write.
    int append(const std::string& record);

    // Records not yet delivered, in bytes; the first one to deliver.
    std::uint64_t pendingBytes() const { return end_ - head_; }
    bool empty() const { return head_ == end_; }

    // Positions are counted from the spool's start in this run and stay
    // valid when delivered records are cut away. head() is the first record
    // to deliver; read() gives the record at a position and where it ends.
    std::uint64_t head() const { return base_ + head_; }
    std::uint64_t end() const { return base_ + end_; }
    bool read(std::uint64_t at, std::string* record, std::uint64_t* next) const;

    // Everything before position `upTo` is delivered.
    void delivered(std::uint64_t upTo);
    // Records dropped and not yet reported to the broker; reported() takes
    // back as many as a delivered record told of.
    std::uint64_t dropped() const { return dropped_; }
    void reported(std::uint64_t count) { dropped_ -= count < dropped_ ? count : dropped_; }
    // Writes the state file now (also done every few hundred deliveries).
    void save();

private:
    void load();
    void compact();
    void dropOldest();
    bool readAt(std::uint64_t offset, std::string* record, std::uint64_t* next) const;  // file offsets

    std::string data_;
    std::string state_;
    std::uint64_t maxBytes_;
    int fd_ = -1;
    std::uint64_t base_ = 0;  // bytes cut from the front of the file in this run
    std::uint64_t head_ = 0;  // file offsets
    std::uint64_t end_ = 0;
    std::uint64_t nextSeq_ = 1;
    std::uint64_t dropped_ = 0;
    int unsaved_ = 0;
};

}  // namespace korvel::cli::publish

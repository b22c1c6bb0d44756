#include "publish/spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/failure.h"
#include "publish/record_check.h"
#include "publish/spool_scan.h"

namespace korvel::cli::publish {
namespace {

// Delivered bytes at the front are cut away once they pass this.
constexpr std::uint64_t kCompactAfter = 1 << 20;
// At high rates the state is written this often as well as on the timer,
// which bounds what a restart sends twice.
constexpr int kSaveEvery = 256;

bool writeAllAt(int fd, const char* bytes, std::size_t count, std::uint64_t at) {
    while (count > 0) {
        const ssize_t n = ::pwrite(fd, bytes, count, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        bytes += n;
        at += static_cast<std::uint64_t>(n);
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Copies [begin, end) of one file to `to` - `shift` in another.
bool copyRange(int from, int to, std::uint64_t begin, std::uint64_t end, std::uint64_t shift) {
    char buffer[64 * 1024];
    for (std::uint64_t at = begin; at < end;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, end - at));
        const ssize_t got = ::pread(from, buffer, want, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || !writeAllAt(to, buffer, static_cast<std::size_t>(got), at - shift)) return false;
        at += static_cast<std::uint64_t>(got);
    }
    return true;
}

// The count a record carries in its "dropped" field, right after its number.
std::uint64_t droppedIn(const std::string& record) {
    constexpr std::string_view kField = ",\"dropped\":";
    const std::size_t after = record.find_first_not_of("0123456789", 7);  // past {"seq":N
    if (after == std::string::npos || record.compare(after, kField.size(), kField) != 0) return 0;
    std::uint64_t count = 0;
    for (std::size_t i = after + kField.size(); i < record.size() && record[i] >= '0' && record[i] <= '9'; ++i)
        count = count * 10 + static_cast<std::uint64_t>(record[i] - '0');
    return count;
}

std::string plural(std::uint64_t count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

}  // namespace

Spool::Spool(const std::string& folder, const std::string& serial, std::uint64_t maxBytes, double syncSeconds)
    : folder_(folder), data_(folder + "/" + serial + ".spool"), state_(folder + "/" + serial + ".state"),
      bad_(folder + "/" + serial + ".bad"), maxBytes_(maxBytes),
      syncEvery_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(syncSeconds))) {
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        throw Failure(kExitMeterError, "spool: cannot create the folder " + folder + ": " + std::strerror(errno));
    lock_ = std::make_unique<SpoolLock>(folder + "/" + serial + ".lock", data_);
    fd_ = ::open(data_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw Failure(kExitMeterError, "spool: cannot open " + data_ + ": " + std::strerror(errno));
    open();
}

Spool::~Spool() {
    save();  // on the way out a failure changes nothing: the next run sends the last records again
    if (fd_ >= 0) ::close(fd_);
}

void Spool::open() {
    SpoolState saved;
    const StateFile kind = readState(state_, &saved);
    SpoolScan scan;
    std::string error;
    if (!scanSpool(&fd_, data_, bad_, kind == StateFile::Read ? saved.head : 0, &scan, &error))
        throw Failure(kExitMeterError, error);
    if (scan.badRecords > 0)
        notices_.push_back("spool: set " + plural(scan.badRecords, "damaged line") + " of " + data_ + " aside in " +
                           bad_ + "; the records around them are kept");
    // Without a state, every record still in the file goes out again: the
    // same records under the same numbers, which receivers drop as repeats.
    const bool rebuilt = kind == StateFile::Unreadable || (kind == StateFile::Missing && scan.end > 0);
    if (kind == StateFile::Unreadable)
        notices_.push_back("spool: the state file " + state_ +
                           " cannot be read; rebuilt from the spool, whose records are sent again under their own numbers");
    else if (rebuilt)
        notices_.push_back("spool: the state file " + state_ +
                           " is missing; rebuilt from the spool, whose records are sent again under their own numbers");
    else if (scan.headMoved)
        notices_.push_back("spool: the state file " + state_ +
                           " points inside a record; sending from that record's start");
    head_ = rebuilt ? 0 : scan.head;
    end_ = scan.end;
    sent_ = head_;
    lastStart_ = scan.lastStart;
    // Never a number already used: the records themselves are the proof.
    nextSeq_ = std::max<std::uint64_t>(kind == StateFile::Read ? saved.nextSeq : 1, scan.lastSeq + 1);
    dropped_ = kind == StateFile::Read ? saved.dropped : 0;
    lastSync_ = std::chrono::steady_clock::now();
    compactAt_ = kCompactAfter;
    if (!save()) throw Failure(kExitMeterError, failure_);
}

bool Spool::fail(const std::string& what, const std::string& path) {
    if (failure_.empty()) failure_ = "spool: cannot " + what + " " + path + ": " + std::strerror(errno);
    return false;
}

Appended Spool::append(std::string_view body) {
    if (!failure_.empty()) return {};
    if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
    if (body.size() >= 2 && body.front() == '{' && body.back() == '}') body = body.substr(1, body.size() - 2);
    std::string line = "{\"seq\":" + std::to_string(nextSeq_);
    if (dropped_ > 0) line += ",\"dropped\":" + std::to_string(dropped_);
    if (!body.empty()) (line += ',') += body;
    line += '}';
    std::uint64_t seq = 0;
    if (!isSpoolRecord(line, &seq)) {
        failure_ = "spool: refused a record that is not one JSON object of at most " +
                   std::to_string(kLongestRecord) + " bytes";
        return {};
    }
    line += '\n';
    if (!writeAllAt(fd_, line.data(), line.size(), end_)) {
        const int saved = errno;
        // Whole records only: cut a partial one away again.
        [[maybe_unused]] const int ignored = ::ftruncate(fd_, static_cast<off_t>(end_));
        errno = saved;
        fail("write", data_);
        failure_ += "; the readings spooled so far are kept for the next run";
        return {};
    }
    Appended appended{true, nextSeq_, 0};
    lastStart_ = end_;
    end_ += line.size();
    ++nextSeq_;
    dropped_ = 0;  // told in this record
    unsynced_ = stateChanged_ = true;
    if (syncEvery_.count() == 0 && ::fdatasync(fd_) != 0) {
        fail("flush", data_);
        appended.written = false;
        return appended;
    }
    unsynced_ = syncEvery_.count() != 0;
    while (pendingBytes() > maxBytes_ && head_ != end_) {
        dropOldest();
        ++appended.cut;
    }
    return appended;
}

void Spool::dropOldest() {
    std::string record;
    std::uint64_t next = 0;
    if (!readAt(head_, &record, &next)) {
        head_ = end_;
        return;
    }
    const std::uint64_t told = 1 + droppedIn(record);  // its own count goes on with it
    if (head_ < sent_)
        droppedOnItsWay_.push_back(DroppedOnItsWay{next, told});  // may still reach the broker
    else
        dropped_ += told;
    head_ = next;
    stateChanged_ = true;
}

bool Spool::read(std::uint64_t at, std::string* record, std::uint64_t* next) const {
    if (at < base_ + head_) return false;
    std::uint64_t after = 0;
    if (!readAt(at - base_, record, &after)) return false;
    *next = base_ + after;
    return true;
}

std::size_t Spool::readRecords(std::uint64_t at, char* buffer, std::size_t size) const {
    if (at < base_ + head_ || at - base_ >= end_) return 0;
    const std::uint64_t from = at - base_;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - from));
    const ssize_t got = ::pread(fd_, buffer, want, static_cast<off_t>(from));
    if (got <= 0) return 0;
    // Up to the last whole record.
    std::size_t whole = static_cast<std::size_t>(got);
    while (whole > 0 && buffer[whole - 1] != '\n') --whole;
    return whole;
}

bool Spool::readAt(std::uint64_t at, std::string* record, std::uint64_t* next) const {
    if (at >= end_) return false;
    char buffer[kLongestRecord + 1];
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, end_ - at));
    const ssize_t got = ::pread(fd_, buffer, want, static_cast<off_t>(at));
    if (got <= 0) return false;
    const void* newline = std::memchr(buffer, '\n', static_cast<std::size_t>(got));
    if (newline == nullptr) return false;
    const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(newline) - buffer);
    record->assign(buffer, length);
    *next = at + length + 1;
    return true;
}

void Spool::sent(std::uint64_t upTo) {
    if (upTo < base_) return;
    sent_ = std::max(sent_, std::min(upTo - base_, end_));
}

void Spool::delivered(std::uint64_t upTo) {
    markDelivered(upTo);
    compactNow();
}

void Spool::markDelivered(std::uint64_t upTo) {
    if (upTo < base_) return;
    const std::uint64_t at = std::min(upTo - base_, end_);
    // Dropped on their way, yet the broker has them: not lost after all.
    while (!droppedOnItsWay_.empty() && droppedOnItsWay_.front().end <= at) droppedOnItsWay_.pop_front();
    if (at <= head_) return;
    head_ = at;
    stateChanged_ = true;
    ++undelivered_;  // saved by saveDue() once there are many
}

void Spool::resend() {
    for (const DroppedOnItsWay& record : droppedOnItsWay_) dropped_ += record.told;
    droppedOnItsWay_.clear();
    sent_ = head_;
    stateChanged_ = true;
}

SpoolState Spool::state() const {
    SpoolState state{head_, nextSeq_, dropped_};
    // Not known to have reached the broker: counted as dropped should this
    // run end before it is known.
    for (const DroppedOnItsWay& record : droppedOnItsWay_) state.dropped += record.told;
    return state;
}

bool Spool::maintain() {
    const SaveWork work = saveDue();
    if (work.due) saveFailed(writeSave(work));
    return failure_.empty();
}

Spool::SaveWork Spool::saveDue() {
    const auto now = std::chrono::steady_clock::now();
    const bool timer = (unsynced_ || stateChanged_) && now - lastSync_ >= syncEvery_;
    if (!failure_.empty() || (!timer && undelivered_ < kSaveEvery)) return {};
    SaveWork work{true, unsynced_, state()};
    lastSync_ = now;
    unsynced_ = stateChanged_ = false;
    undelivered_ = 0;
    return work;
}

std::string Spool::writeSave(const SaveWork& work) const {
    if (work.sync && ::fdatasync(fd_) != 0) return "spool: cannot flush " + data_ + ": " + std::strerror(errno);
    if (!writeState(state_, work.state))
        return "spool: cannot write the state file " + state_ + ": " + std::strerror(errno);
    return {};
}

void Spool::saveFailed(const std::string& failure) {
    if (failure_.empty()) failure_ = failure;
}

bool Spool::save() {
    lastSync_ = std::chrono::steady_clock::now();
    if (unsynced_ && ::fdatasync(fd_) != 0) return fail("flush", data_);
    unsynced_ = false;
    if (!writeState(state_, state())) return fail("write the state file", state_);
    stateChanged_ = false;
    undelivered_ = 0;
    return true;
}

// Moves the records still to deliver (and always the newest record, whose
// number the next run goes on from) to the front of a new file.
Spool::CompactWork Spool::compactDue() {
    if (compacting_ || head_ < compactAt_ || head_ * 2 < end_) return {};
    compacting_ = true;
    CompactWork work;
    work.due = true;
    work.source = fd_;
    work.from = std::min(head_, lastStart_);
    work.copyEnd = end_;
    work.state = state();
    work.state.head -= work.from;
    return work;
}

// The readers append only past copyEnd, so [from, copyEnd) holds still.
void Spool::copyCompaction(CompactWork* work) const {
    const std::string temporary = data_ + ".new";
    const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;  // compacting can wait; nothing is lost
    bool ok = copyRange(work->source, fd, work->from, work->copyEnd, work->from) && ::fdatasync(fd) == 0;
    // The state for the new file goes first: should the rename not happen,
    // its head points earlier into the old file, which sends records twice
    // (the same records) and loses none.
    if (ok) {
        work->stateWritten = true;
        ok = writeState(state_, work->state);
    }
    if (!ok) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return;
    }
    work->fd = fd;
}

void Spool::finishCompaction(CompactWork* work) {
    compacting_ = false;
    const std::string temporary = data_ + ".new";
    // The few records appended while the bulk was copied; with a flush per
    // record (--sync-interval 0) they are flushed again in the new file.
    const bool ok = work->fd >= 0 && copyRange(fd_, work->fd, work->copyEnd, end_, work->from) &&
                    (syncEvery_.count() != 0 || end_ == work->copyEnd || ::fdatasync(work->fd) == 0) &&
                    std::rename(temporary.c_str(), data_.c_str()) == 0;
    if (!ok) {
        if (work->fd >= 0) {
            ::close(work->fd);
            ::unlink(temporary.c_str());
        }
        compactAt_ = head_ + kCompactAfter;  // not again at every delivery
        if (work->stateWritten) save();      // the state points into the old file again
        work->fd = -1;
        return;
    }
    // The old file's blocks are freed when its last descriptor closes,
    // which waits for the disk: releaseCompaction() does it without the lock.
    std::swap(fd_, work->fd);
    const std::uint64_t from = work->from;
    const auto shift = [from](std::uint64_t at) { return at > from ? at - from : 0; };
    base_ += from;
    end_ -= from;
    head_ -= from;
    sent_ = shift(sent_);
    lastStart_ -= from;
    for (DroppedOnItsWay& record : droppedOnItsWay_) record.end = shift(record.end);
    compactAt_ = kCompactAfter;
    // The bulk is flushed; the records appended meanwhile wait for the next
    // flush, and the state written for the new file for the next save.
    unsynced_ = syncEvery_.count() != 0 && end_ > work->copyEnd - from;
    stateChanged_ = true;
}

void Spool::releaseCompaction(CompactWork* work) const {
    if (work->fd >= 0) ::close(work->fd);
    work->fd = -1;
}

bool Spool::compactNow() {
    CompactWork work = compactDue();
    if (!work.due) return false;
    copyCompaction(&work);
    const std::uint64_t before = base_;
    finishCompaction(&work);
    releaseCompaction(&work);
    return base_ != before;
}

}  // namespace korvel::cli::publish

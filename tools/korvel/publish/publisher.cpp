#include "publish/publisher.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "publish/record_check.h"

namespace korvel::cli::publish {
namespace {

constexpr std::size_t kWindow = 100;  // messages in flight at once, per meter
constexpr std::size_t kBlock = 64 * 1024;  // bytes of records copied out at once (records are at most 4 KiB)
// Bytes copied out per free place in the window: a reading's record is
// about 200 bytes, so a read rarely comes back with too few.
constexpr std::size_t kBytesPerPlace = 512;

}  // namespace

Topics topicsFor(const std::string& prefix, const std::string& serial) {
    const std::string base = prefix + "/" + serial + "/";
    return Topics{base + "reading", base + "meta", base + "status", base + "link", base + "publisher"};
}

Publisher::Publisher(MqttLink& link, Spool& spool, std::mutex& spoolMutex, Topics topics, int qos,
                     std::string meta, Owners& owners, std::string processStatus)
    : link_(link), spool_(spool), spoolMutex_(spoolMutex), topics_(std::move(topics)), qos_(qos),
      meta_(std::move(meta)), owners_(owners), processStatus_(std::move(processStatus)) {
    batch_.resize(kWindow);
    block_.resize(kBlock);
}

// Under the spool's lock: what is due for the disk and, while connected,
// the next records copied out up to the window. True when a new connection
// needs the announcements.
bool Publisher::takeBatch(Spool::SaveWork* save, bool* healthy) {
    std::lock_guard lock(spoolMutex_);
    *healthy = spool_.failure().empty();
    *save = spool_.saveDue();
    batchSize_ = 0;
    if (!link_.connected()) return false;
    bool announce = false;
    if (const unsigned connection = link_.connections(); connection != connection_) {
        // A new connection: what was in flight may be lost; send it again.
        connection_ = connection;
        inFlight_.clear();
        spool_.resend();
        cursor_ = spool_.head();
        announce = true;
    }
    if (cursor_ < spool_.head()) cursor_ = spool_.head();  // dropped meanwhile
    // Records go out exactly as spooled: one sent again is the same bytes.
    // One read under the lock, of what the window's free places can take
    // (with a full window, none: while a backlog drains, the loop wakes for
    // every few acknowledgements); the records are cut apart from the copy.
    const std::size_t room = kWindow - std::min(kWindow, inFlight_.size());
    const std::size_t want = room == 0 ? 0 : std::min(kBlock, std::max(kLongestRecord + 1, room * kBytesPerPlace));
    const std::size_t bytes = want == 0 ? 0 : spool_.readRecords(cursor_, block_.data(), want);
    std::uint64_t at = cursor_;
    for (std::size_t from = 0; from < bytes && inFlight_.size() + batchSize_ < kWindow;) {
        const auto* end = static_cast<const char*>(std::memchr(block_.data() + from, '\n', bytes - from));
        const std::size_t length = static_cast<std::size_t>(end - (block_.data() + from));
        batch_[batchSize_++] = Copied{from, length, at + length + 1};
        at += length + 1;
        from += length + 1;
    }
    // On their way from now: a record the full spool drops meanwhile may
    // still reach the broker, so it is not counted as dropped yet.
    spool_.sent(at);
    return announce;
}

bool Publisher::step() {
    Spool::SaveWork save;
    bool healthy = true;
    const bool announce = takeBatch(&save, &healthy);
    if (announce) {
        link_.publish(topics_.meta, meta_, 1, true);
        if (!processStatus_.empty()) link_.publish(topics_.publisher, processStatus_, 1, true);
        link_.publish(topics_.status, "online", 1, true);
    }
    for (std::size_t i = 0; i < batchSize_; ++i) {
        const std::string_view record(block_.data() + batch_[i].offset, batch_[i].length);
        const int mid = link_.publish(topics_.reading, record, qos_, false);
        if (mid < 0) break;  // the connection went: sent again after the next one
        inFlight_.push_back(InFlight{mid, batch_[i].next, false});
        owners_[mid] = this;
        cursor_ = batch_[i].next;
        ++published_;
    }
    // The disk's wait (a flush, the state file) without the lock: the
    // readers go on appending meanwhile.
    if (save.due) {
        if (const std::string failure = spool_.writeSave(save); !failure.empty()) {
            std::lock_guard lock(spoolMutex_);
            spool_.saveFailed(failure);
            healthy = false;
        }
    }
    return healthy;
}

void Publisher::acknowledge(int mid) {
    // Acknowledgements come in order, so the search ends near the front.
    for (InFlight& message : inFlight_) {
        if (message.mid == mid) {
            message.acknowledged = true;
            anyAcknowledged_ = true;
            return;
        }
    }
}

void Publisher::settle() {
    if (!anyAcknowledged_) return;
    anyAcknowledged_ = false;
    std::uint64_t upTo = 0;
    while (!inFlight_.empty() && inFlight_.front().acknowledged) {
        upTo = inFlight_.front().next;
        inFlight_.pop_front();
    }
    if (upTo == 0) return;
    Spool::CompactWork compaction;
    {
        std::lock_guard lock(spoolMutex_);
        spool_.markDelivered(upTo);
        compaction = spool_.compactDue();
    }
    if (!compaction.due) return;
    // The bulk of the copy and the disk's waits without the lock: a reader
    // appending meanwhile does not wait for them.
    spool_.copyCompaction(&compaction);
    {
        std::lock_guard lock(spoolMutex_);
        spool_.finishCompaction(&compaction);
    }
    spool_.releaseCompaction(&compaction);
}

bool Publisher::idle() {
    std::lock_guard lock(spoolMutex_);
    return spool_.empty() && inFlight_.empty();
}

}  // namespace korvel::cli::publish

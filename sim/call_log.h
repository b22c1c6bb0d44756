// The record of what the host did on a cable: a ring of the most recent
// Capacity entries, numbered from the last clear. Fixed size, so recording
// never allocates; the owner's lock guards it.
#pragma once

namespace korvel::sim {

template <typename Entry, int Capacity>
class CallLog {
public:
    static constexpr int kCapacity = Capacity;

    // The slot for the next entry, reset to a blank entry; it counts at once.
    Entry& append() {
        Entry& e = entries_[logged_ % Capacity];
        e = Entry{};
        ++logged_;
        return e;
    }
    void clear() { logged_ = 0; }
    // Entries appended since the last clear (older ones may have left the ring).
    long long count() const { return logged_; }
    // The i-th entry since the last clear, if it is still in the ring.
    bool at(long long i, Entry* out) const {
        if (i < 0 || i >= logged_ || i < logged_ - Capacity) return false;
        *out = entries_[i % Capacity];
        return true;
    }

private:
    Entry entries_[Capacity];
    long long logged_ = 0;
};

}  // namespace korvel::sim

// Answers a cable holds for the host's next reads on endpoint 0x81. Fixed
// size, so a transfer allocates nothing; a meter that is never read drops
// its oldest answers.
#pragma once

#include "sim/peer.h"

namespace korvel::sim {

class AnswerRing {
public:
    bool empty() const { return count_ == 0; }
    int size() const { return count_; }
    void clear() { head_ = count_ = 0; }
    Reply take() {
        const Reply r = slots_[head_];
        head_ = (head_ + 1) % kCapacity;
        --count_;
        return r;
    }
    void put(const Reply& reply) {
        if (count_ == kCapacity) take();
        slots_[(head_ + count_) % kCapacity] = reply;
        ++count_;
    }

private:
    static constexpr int kCapacity = 16;
    Reply slots_[kCapacity];
    int head_ = 0;
    int count_ = 0;
};

}  // namespace korvel::sim

#include "sim/meter/faults.h"

#include <utility>

#include "link/checksum.h"
#include "link/protocol.h"

namespace korvel::sim {

using namespace wire;

void FaultPlan::inject(Fault fault, int count) {
    oneShot_ = count > 0 ? fault : Fault::None;
    remaining_ = fault == Fault::None ? 0 : (count > 0 ? count : 0);
}

void FaultPlan::setRandom(double probability, std::uint32_t seed) {
    probability_ = probability;
    rng_.seed(seed);
}

void FaultPlan::clear() {
    oneShot_ = Fault::None;
    remaining_ = 0;
    probability_ = 0.0;
}

Fault FaultPlan::next() {
    if (remaining_ > 0) {
        --remaining_;
        return oneShot_;
    }
    if (probability_ > 0.0 && rng_.uniform() < probability_)
        return static_cast<Fault>(1 + static_cast<int>(rng_.next32() % (kFaultKinds - 1)));
    return Fault::None;
}

namespace {

void flipChecksumBit(std::uint8_t* f, int n, std::uint32_t r) {
    f[kPosData + n + static_cast<int>((r >> 3) & 1)] ^= static_cast<std::uint8_t>(1U << (r & 7));
}

void reseal(std::uint8_t* f, int n) {
    const std::uint16_t crc = mbChecksum(f, kHeaderSize + n);
    f[kPosData + n] = static_cast<std::uint8_t>(crc >> 8);
    f[kPosData + n + 1] = static_cast<std::uint8_t>(crc & 0xFF);
}

}  // namespace

void spoilReply(Fault fault, Reply* reply, FaultPlan& pick) {
    std::uint8_t* f = reply->bytes;
    const int n = f[kPosCount];
    switch (fault) {
    case Fault::Late:
        reply->delivery = Delivery::Late;
        break;
    case Fault::BadChecksum:
        flipChecksumBit(f, n, pick.draw());
        break;
    case Fault::ChecksumLowFirst: {
        std::uint8_t& hi = f[kPosData + n];
        std::uint8_t& lo = f[kPosData + n + 1];
        // Equal bytes read the same in either order; a meter sending them
        // low first would go unnoticed, so spoil a bit to keep the fault a fault.
        if (hi == lo) flipChecksumBit(f, n, pick.draw());
        else std::swap(hi, lo);
        break;
    }
    case Fault::CountOver59:
        f[kPosCount] = static_cast<std::uint8_t>(60 + pick.draw() % 196);
        break;
    case Fault::Count55To59: {
        // The data bytes run on to the end of the transfer; the checksum
        // (what of it fits) follows them.
        const int count = 55 + static_cast<int>(pick.draw() % 5);
        f[kPosCount] = static_cast<std::uint8_t>(count);
        const std::uint16_t crc = mbChecksum(f, kTransferSize - 1);
        if (count == 55) f[kTransferSize - 1] = static_cast<std::uint8_t>(crc >> 8);
        break;
    }
    case Fault::OtherCommand:
        f[kPosCommand] = static_cast<std::uint8_t>(f[kPosCommand] ^ 0x01);
        reseal(f, n);
        break;
    case Fault::ShortRead: {
        const int whole = kHeaderSize + n + kChecksumSize;
        const int cut = 1 + static_cast<int>(pick.draw() % 3);
        reply->length = whole - cut > 0 ? whole - cut : 1;
        break;
    }
    default:
        break;
    }
}

}  // namespace korvel::sim

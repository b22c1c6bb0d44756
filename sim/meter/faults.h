// Faults the simulated meter (or its cable) can suffer, one-shot for the
// next N exchanges or at random with a seeded probability.
#pragma once

#include <cstdint>

#include "sim/meter/field.h"
#include "sim/peer.h"

namespace korvel::sim {

// Numbered as KorvelSimFault in korvel_sim.h.
enum class Fault : int {
    None = 0,
    Silence = 1,           // the request is lost: no answer, the read times out
    Late = 2,              // answered, but only after the read timed out
    WriteFail = 3,         // the request write is not accepted
    BadChecksum = 4,       // one checksum bit flipped
    ChecksumLowFirst = 5,  // checksum in Modbus RTU byte order
    CountOver59 = 6,       // byte count 60 or more
    Count55To59 = 7,       // byte count 55..59: the checksum lies beyond the frame
    OtherCommand = 8,      // a valid frame carrying another command code
    ShortRead = 9,         // fewer bytes delivered than the frame needs
    Unplug = 10,           // the cable is pulled while the request is in flight
    Stall = 11,            // the exchange hangs for a while, then goes on (only when injected)
};
// The kinds drawn at random (Stall is not one of them).
inline constexpr int kFaultKinds = 11;
// How long a Stall hangs (KORVEL_SIM_STALL_SECONDS in korvel_sim.h).
inline constexpr int kStallSeconds = 3;

// Which fault, if any, the next exchange suffers.
class FaultPlan {
public:
    void inject(Fault fault, int count);
    void setRandom(double probability, std::uint32_t seed);
    void clear();

    // Draws the fault of one exchange (consumes a one-shot first).
    Fault next();
    // A number from the plan's own seeded stream (for the details of a fault).
    std::uint32_t draw() { return rng_.next32(); }

private:
    Fault oneShot_ = Fault::None;
    int remaining_ = 0;
    double probability_ = 0.0;
    NoiseSource rng_;
};

// Spoils a finished answer frame (60 bytes in reply->bytes, length 60) the way
// `fault` says. Silence, WriteFail and Unplug are handled before an answer
// exists and leave the reply alone. `pick` gives the variable details.
void spoilReply(Fault fault, Reply* reply, FaultPlan& pick);

}  // namespace korvel::sim

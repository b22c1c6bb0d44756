#include "serve/http/sampler.h"

#include <cstdlib>

#include "core/text.h"

namespace korvel::cli::serve::http {
namespace {

// Hold and relative mode can change on the meter's own keys: read again
// every this many samples (2 s at 10 per second).
constexpr int kSamplesPerModeCheck = 20;

}  // namespace

Sampler::Sampler(Session& session, LiveFeed& feed, Recorder& recorder)
    : session_(session), feed_(feed), recorder_(recorder) {}

void Sampler::sample(Meter* meter) {
    Sample sample;
    sample.time = WallClock::now();
    if (meter != nullptr && meter->handle() != handle_) identify(*meter);
    if (meter != nullptr && !meter->lost()) {
        if (const auto reading = takeReading(session_.api(), *meter, clock_)) {
            sample.time = reading->time;
            sample.elapsed = reading->elapsed;
            sample.connected = true;
            sample.hasReading = true;
            sample.raw = reading->raw;
            sample.value = reading->value;
            sample.overRange = reading->value.overRange;
            if (++sinceModes_ >= kSamplesPerModeCheck) refreshModes(*meter);
        }
    }
    if (!sample.connected) handle_ = 0;  // identified again when it is back
    feed_.publish(sample);
    recorder_.add(sample, feed_.status());
}

void Sampler::identify(Meter& meter) {
    MeterStatus status = feed_.status();
    status.identification = meter.identification();
    status.serial = meter.serial();
    status.probe = trim(meter.scpi("*OPT?"));
    feed_.setStatus(status);
    handle_ = meter.handle();
    refreshModes(meter);
}

int Sampler::queryMode(Meter& meter, const char* query) {
    const std::string reply = meter.scpi(query);
    if (reply.empty() || reply.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::atoi(reply.c_str());
}

void Sampler::refreshModes(Meter& meter) {
    sinceModes_ = 0;
    MeterStatus status = feed_.status();
    status.hold = queryMode(meter, ":SENS:HOLD:STAT?");
    status.relative = queryMode(meter, ":SYST:AREL:STAT?");
    feed_.setStatus(status);
}

void Sampler::setAutoRange(int state) {
    MeterStatus status = feed_.status();
    status.autoRange = state;
    feed_.setStatus(status);
}

}  // namespace korvel::cli::serve::http

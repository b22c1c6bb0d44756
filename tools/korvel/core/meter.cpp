#include "core/meter.h"

#include "core/failure.h"
#include "core/replies.h"

namespace korvel::cli {
namespace {

constexpr int kReplySize = 128;  // the longest reply scpiCommand writes

}  // namespace

Meter::Meter(const Api& api, MeterHandle handle, std::string identification)
    : api_(&api), handle_(handle), identification_(std::move(identification)) {}

Meter::Meter(Meter&& other) noexcept
    : api_(other.api_), handle_(other.handle_), identification_(std::move(other.identification_)),
      lost_(other.lost_) {
    other.handle_ = 0;
}

Meter& Meter::operator=(Meter&& other) noexcept {
    if (this != &other) {
        close();
        api_ = other.api_;
        handle_ = other.handle_;
        identification_ = std::move(other.identification_);
        lost_ = other.lost_;
        other.handle_ = 0;
    }
    return *this;
}

Meter::~Meter() { close(); }

void Meter::close() {
    if (handle_ != 0) api_->closeKorvel(handle_);
    handle_ = 0;
}

std::string Meter::scpi(const std::string& line) {
    char reply[kReplySize + 1] = {};
    api_->scpiCommand(handle_, line.c_str(), reply, kReplySize);
    reply[kReplySize] = '\0';
    std::string text(reply);
    if (classifyReply(text) == ReplyKind::Lost) lost_ = true;
    return text;
}

bool Meter::reading(MeterReading* out) {
    if (lost_ || api_->mtrGetReading(handle_, out) != 0) {
        lost_ = true;
        return false;
    }
    return true;
}

std::string Meter::query(const std::string& line) {
    const std::string reply = scpi(line);
    if (classifyReply(reply) == ReplyKind::Lost) {
        throw Failure(kExitMeterError, "the connection to the meter was lost (during " + line +
                                           "): check the cable and try again");
    }
    return reply;
}

}  // namespace korvel::cli

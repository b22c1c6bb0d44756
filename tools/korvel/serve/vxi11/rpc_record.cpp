#include "serve/vxi11/rpc_record.h"

namespace korvel::cli::serve::vxi11 {
namespace {

constexpr std::uint32_t kLastFragment = 0x80000000u;

std::uint32_t bigEndian(const char* bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

}  // namespace

RecordReader::State RecordReader::next(std::string* record) {
    while (pending_.size() >= 4) {
        const std::uint32_t header = bigEndian(pending_.data());
        const std::size_t length = header & ~kLastFragment;
        if (record_.size() + length > maxRecord_) return State::TooLong;
        if (pending_.size() < 4 + length) return State::NeedMore;
        record_.append(pending_, 4, length);
        pending_.erase(0, 4 + length);
        if (header & kLastFragment) {
            *record = std::move(record_);
            record_.clear();
            return State::Record;
        }
    }
    return State::NeedMore;
}

void markRecord(std::string* message) {
    const auto length = static_cast<std::uint32_t>(message->size() - 4) | kLastFragment;
    (*message)[0] = static_cast<char>(length >> 24);
    (*message)[1] = static_cast<char>((length >> 16) & 0xFF);
    (*message)[2] = static_cast<char>((length >> 8) & 0xFF);
    (*message)[3] = static_cast<char>(length & 0xFF);
}

}  // namespace korvel::cli::serve::vxi11

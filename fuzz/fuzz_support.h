// What the fuzz targets share: a reader over the fuzzer's input, caller's
// buffers fenced by guard bytes, and a meter whose every answer (bytes, how
// many of them arrive, whether they arrive at all) is read from the input.
//
// The targets build with clang's libFuzzer; the same entry points also build
// with g++ into a replay test that runs the seed corpora in the ordinary suite.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/checksum.h"
#include "link/protocol.h"
#include "sim/peer.h"

namespace korvel::fuzz {

// A finding: says what broke, then aborts so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("FUZZ CHECK FAILED: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

#define FUZZ_REQUIRE(condition, ...)                      \
    do {                                                  \
        if (!(condition)) ::korvel::fuzz::fail(__VA_ARGS__); \
    } while (0)

// Reads the input front to back; past its end every read gives 0.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    std::size_t remaining() const { return size_ - at_; }

    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() {
        const unsigned high = byte();
        return static_cast<std::uint16_t>((high << 8) | byte());
    }
    std::uint32_t u32() {
        const std::uint32_t high = u16();
        return (high << 16) | u16();
    }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }

    // An integer argument: mostly small, sometimes anything (so that the
    // cutting to 8 or 16 bits is exercised).
    int argument() {
        const std::uint8_t kind = byte();
        if (kind < 0xC0) return kind;
        if (kind < 0xF0) return static_cast<std::int16_t>(u16());
        return i32();
    }

    // Copies up to n bytes into out and zero-fills the rest; returns how many
    // came from the input.
    int take(std::uint8_t* out, int n) {
        int got = 0;
        for (; got < n && at_ < size_; ++got) out[got] = data_[at_++];
        for (int i = got; i < n; ++i) out[i] = 0;
        return got;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A caller's buffer of `size` bytes on the heap, fenced by guard bytes, all of
// it filled with one pattern. Writes past the fence end up in the guards (or,
// further out, in AddressSanitizer's red zones).
class Guarded {
public:
    static constexpr std::size_t kGuard = 32;
    static constexpr std::uint8_t kPattern = 0xA5;

    explicit Guarded(std::size_t size) : size_(size), raw_(new std::uint8_t[size + 2 * kGuard]) {
        std::memset(raw_, kPattern, size + 2 * kGuard);
    }
    ~Guarded() { delete[] raw_; }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    template <typename T>
    T* as() { return reinterpret_cast<T*>(raw_ + kGuard); }
    std::uint8_t* bytes() { return raw_ + kGuard; }
    std::size_t size() const { return size_; }

    bool guardsIntact() const { return allPattern(raw_, kGuard) && allPattern(raw_ + kGuard + size_, kGuard); }
    // The buffer itself still holds the pattern from byte `from` on.
    bool untouchedFrom(std::size_t from) const {
        return from >= size_ || allPattern(raw_ + kGuard + from, size_ - from);
    }
    bool untouched() const { return untouchedFrom(0); }

private:
    static bool allPattern(const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            if (p[i] != kPattern) return false;
        return true;
    }
    std::size_t size_;
    std::uint8_t* raw_;
};

// What an answer must lead to, judged from how it was made.
enum class Expect { Success, Failure, Either };

// The meter at the far end. While an Input is attached, each request is
// answered as the input decides; without one (during opens) it answers like
// a sound meter with an empty data part.
class FuzzMeter : public sim::Peer {
public:
    void attach(Input* input) { input_ = input; }
    // Spoils any copy of `text` in the answers (so that a meter cannot put
    // words into the host's mouth that a check looks for).
    void scrub(const char* text) { scrub_ = text; }
    void detach() { input_ = nullptr; }

    int requests() const { return requests_; }
    const std::uint8_t* lastRequest() const { return request_; }
    const sim::Reply& lastReply() const { return reply_; }
    bool lastWriteAccepted() const { return accepted_; }
    Expect lastExpect() const { return expect_; }
    // Bytes of the last answer that reached the host's read (0 when none did).
    int lastDelivered() const {
        if (!accepted_ || reply_.delivery != sim::Delivery::Now) return 0;
        return reply_.length < wire::kTransferSize ? reply_.length : wire::kTransferSize;
    }
    // Data byte k of the last answer as the host's cleared record holds it.
    unsigned data(int k) const {
        const int at = wire::kPosData + k;
        return at < lastDelivered() ? reply_.bytes[at] : 0U;
    }

    bool receive(const std::uint8_t* request, int length, sim::Reply* reply) override {
        ++requests_;
        std::memset(request_, 0, sizeof request_);
        std::memcpy(request_, request, static_cast<std::size_t>(length < 64 ? length : 64));
        reply_ = sim::Reply{};
        accepted_ = true;
        expect_ = Expect::Success;
        if (input_ == nullptr) {
            seal(request[wire::kPosCommand], 0);
        } else {
            answerFromInput(*input_, request[wire::kPosCommand]);
        }
        if (scrub_ != nullptr) scrubText();
        *reply = reply_;
        return accepted_;
    }

private:
    // A sound frame: command code, n data bytes already in place, checksum.
    void seal(std::uint8_t command, int n) {
        std::uint8_t* f = reply_.bytes;
        f[wire::kPosAddress] = wire::kAddress;
        f[wire::kPosFunction] = wire::kFunction;
        f[wire::kPosCommand] = command;
        f[wire::kPosCount] = static_cast<std::uint8_t>(n);
        const std::uint16_t crc = mbChecksum(f, wire::kHeaderSize + n);
        f[wire::kPosData + n] = static_cast<std::uint8_t>(crc >> 8);
        f[wire::kPosData + n + 1] = static_cast<std::uint8_t>(crc & 0xFF);
        reply_.length = wire::kTransferSize;
    }

    void answerFromInput(Input& in, std::uint8_t command) {
        const std::uint8_t mode = in.byte();
        const int n = in.byte() % (wire::kMaxRequestPayload + 1);  // 0 to 54: fits the transfer
        // Mostly the request's code; a meter may answer with another one.
        const std::uint8_t code = (mode & 0x80) != 0 ? in.byte() : command;
        // Sound answers are the most common kind: the timeouts of the
        // silent kinds are what costs time on the bus.
        switch (mode % 16) {
        default:  // a sound answer
            in.take(reply_.bytes + wire::kPosData, n);
            seal(code, n);
            break;
        case 3: {  // a sound answer of which only part arrives
            in.take(reply_.bytes + wire::kPosData, n);
            seal(code, n);
            reply_.length = 1 + in.byte() % wire::kTransferSize;
            expect_ = n + wire::kHeaderSize + wire::kChecksumSize <= reply_.length ? Expect::Success
                                                                                   : Expect::Failure;
            break;
        }
        case 4:  // anything at all
            in.take(reply_.bytes, wire::kTransferSize);
            reply_.length = in.byte() % (wire::kTransferSize + 1);
            expect_ = reply_.length == 0 ? Expect::Failure : Expect::Either;
            break;
        case 5:  // silence
            reply_.delivery = sim::Delivery::Never;
            expect_ = Expect::Failure;
            break;
        case 6:  // the answer comes after the read has given up
            in.take(reply_.bytes + wire::kPosData, n);
            seal(code, n);
            reply_.delivery = sim::Delivery::Late;
            expect_ = Expect::Failure;
            break;
        case 7:  // the write is not taken
            accepted_ = false;
            expect_ = Expect::Failure;
            break;
        case 8: {  // one checksum bit flipped
            in.take(reply_.bytes + wire::kPosData, n);
            seal(code, n);
            const std::uint8_t bit = in.byte();
            reply_.bytes[wire::kPosData + n + ((bit >> 3) & 1)] ^= static_cast<std::uint8_t>(1U << (bit & 7));
            expect_ = Expect::Failure;
            break;
        }
        case 9: {  // a byte count that cannot fit the transfer
            in.take(reply_.bytes, wire::kTransferSize);
            reply_.bytes[wire::kPosCount] =
                static_cast<std::uint8_t>(wire::kMaxRequestPayload + 1 + in.byte() % 201);
            reply_.length = wire::kTransferSize;
            expect_ = Expect::Failure;
            break;
        }
        }
    }

    void scrubText() {
        const std::size_t n = std::strlen(scrub_);
        for (std::size_t at = 0; at + n <= sizeof reply_.bytes; ++at)
            if (std::memcmp(reply_.bytes + at, scrub_, n) == 0) reply_.bytes[at] ^= 0x20;
    }

    Input* input_ = nullptr;
    const char* scrub_ = nullptr;
    int requests_ = 0;
    std::uint8_t request_[64] = {};
    sim::Reply reply_{};
    bool accepted_ = true;
    Expect expect_ = Expect::Success;
};

}  // namespace korvel::fuzz

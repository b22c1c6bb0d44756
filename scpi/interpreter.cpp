#include "scpi/interpreter.h"

#include <cstdio>
#include <cstring>

#include "scpi/errors.h"

namespace korvel::scpi {
namespace {

constexpr char kCatchAllKeyword[] = "unknown";
constexpr char kUnknownFormat[] = "Unknown Cmd: %s";
constexpr char kConnectionProblem[] = "USB Connection Problem";
constexpr char kOperationCompleteReply[] = "1;";

// The three refusals before any work. They never write beyond `size`: cut to
// size - 1 characters and terminated, nothing at all when size <= 0.
void writeEarly(char* reply, int size, const char* text) {
    if (reply == nullptr || size <= 0) return;
    const std::size_t room = static_cast<std::size_t>(size) - 1;
    std::size_t n = std::strlen(text);
    if (n > room) n = room;
    std::memcpy(reply, text, n);
    reply[n] = '\0';
}

// Inline comparisons: most entries differ in their first or second
// character, so a library call per entry would cost more than the compare.
bool isCatchAll(const CommandEntry& entry) {
    const char* a = entry.keyword;
    const char* b = kCatchAllKeyword;
    while (*a == *b && *a != '\0') ++a, ++b;
    return *a == *b;
}

// The first matchLength characters of the keyword stand at position; a text
// that ends sooner does not match.
bool matches(const CommandEntry& entry, const char* position) {
    for (int i = 0; i < entry.matchLength; ++i) {
        if (entry.keyword[i] != position[i]) return false;
    }
    return true;
}

// The joined reply within the caller's `size` bytes.
class Reply {
public:
    Reply(char* buffer, int size) : buffer_(buffer), size_(buffer != nullptr && size > 0 ? size : 0) {
        if (size_ > 0) std::memset(buffer_, 0, static_cast<std::size_t>(size_));
    }
    // A piece fits when the reply, a separator, the piece and the terminator
    // fit (the separator is counted for the first piece too).
    bool fits(int n) const { return length_ + n + 2 <= size_; }
    // Whether text of n characters really fits: separator only when needed.
    bool room(int n) const { return length_ + (length_ > 0 ? 1 : 0) + n + 1 <= size_; }
    void append(const char* text, int n) {
        if (length_ > 0) buffer_[length_++] = ';';
        std::memcpy(buffer_ + length_, text, static_cast<std::size_t>(n));
        length_ += n;
        buffer_[length_] = '\0';
    }

private:
    char* buffer_;
    int size_;
    int length_ = 0;
};

int length(const char* text, int most) {
    return static_cast<int>(strnlen(text, static_cast<std::size_t>(most)));
}

}  // namespace

int unmatchedCommand(Line& line, const char* text, char* piece, const void*) {
    postError(line.handle, kCommandError);
    // Cut so that the piece never holds more than kPieceSize - 1 characters.
    std::snprintf(piece, kPieceSize, kUnknownFormat, text);
    return 0;
}

const CommandEntry* resolveCommand(const char* position, const CommandEntry* table, const char** at) {
    const CommandEntry* entry = table;
    while (!matches(*entry, position) && !isCatchAll(*entry)) ++entry;
    *at = position;
    if (entry->subtable == nullptr) return entry;
    const char* next = position[0] == '\0' ? nullptr : std::strchr(position + 1, ':');
    if (next == nullptr) return nullptr;
    return resolveCommand(next, entry->subtable, at);
}

int walkCommandTable(Line& line, const char* position, char* piece, const CommandEntry* table) {
    const char* at = position;
    const CommandEntry* entry = resolveCommand(position, table, &at);
    if (entry == nullptr) return unmatchedCommand(line, at, piece, nullptr);
    if (entry->handler != nullptr) return entry->handler(line, at, piece, entry->context);
    return 0;
}

}  // namespace korvel::scpi

using namespace korvel::scpi;

KORVEL_API int scpiCommand(MeterHandle handle, const char* command, char* reply, int size) {
    if (command == nullptr) command = "";
    // Never read more of the caller's text than one character past the limit.
    const int commandLength = length(command, kMaxLineLength + 1);
    if (commandLength > kMaxLineLength) {
        writeEarly(reply, size, "Error: command too long");
        return 0;
    }
    if (static_cast<unsigned>(size) > static_cast<unsigned>(kMaxReplySize)) {
        writeEarly(reply, size, "Error: invalid len");
        return 0;
    }
    const auto first = static_cast<unsigned char>(command[0]);
    if (first < 0x20 || first > 0x7E) {
        writeEarly(reply, size, "Error: unrecognizable command");
        return 0;
    }

    Line line;
    line.handle = handle;
    Reply joined(reply, size);
    // Only the copied line and its terminator are ever read, so the rest of
    // the work buffer is left as it is rather than cleared on every call.
    char work[kWorkBufferSize];
    for (int i = 0; i < commandLength; ++i) {
        const char c = command[i];
        work[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    work[commandLength] = '\0';

    char pieceText[kMaxLineLength + 1];
    char piece[kPieceSize];
    for (int at = 0; at < commandLength;) {
        if (work[at] == ';') {
            ++at;
            continue;
        }
        const void* separator = std::memchr(work + at, ';', static_cast<std::size_t>(commandLength - at));
        const int n = separator != nullptr ? static_cast<int>(static_cast<const char*>(separator) - (work + at))
                                           : commandLength - at;
        std::memcpy(pieceText, work + at, static_cast<std::size_t>(n));
        pieceText[n] = '\0';
        at += n;

        std::memset(piece, 0, sizeof piece);
        if (walkCommandTable(line, pieceText, piece, kRootTable) != 0)
            std::snprintf(piece, sizeof piece, "%s", kConnectionProblem);
        piece[kPieceSize - 1] = '\0';  // a handler's text never runs past the piece

        const int pieceLength = length(piece, kPieceSize);
        if (pieceLength == 0) continue;
        if (!joined.fits(pieceLength)) {
            postError(handle, kInputBufferOverrun);
            break;  // the rest of the line is not executed
        }
        joined.append(piece, pieceLength);
    }

    if (line.opcReplyPending) {
        const int n = static_cast<int>(sizeof kOperationCompleteReply) - 1;
        if (joined.room(n))
            joined.append(kOperationCompleteReply, n);
        else
            postError(handle, kInputBufferOverrun);
    }
    if (line.opcEventPending) (void)mtrRaiseEvent(handle, 0, 1);
    return 0;
}

KORVEL_API int vb_scpiCommand(MeterHandle handle, const char* command, char* reply, int size) {
    return scpiCommand(handle, command, reply, size);
}

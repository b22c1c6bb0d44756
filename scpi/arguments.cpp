#include "scpi/arguments.h"

#include <climits>
#include <cstring>

#include "scpi/errors.h"

namespace korvel::scpi {

Tokens::Tokens(const char* text) {
    std::size_t n = 0;
    while (n < sizeof copy_ - 1 && text[n] != '\0') {
        copy_[n] = text[n];
        ++n;
    }
    copy_[n] = '\0';
    char* p = copy_;
    while (count_ < kKept) {
        while (*p == ' ') ++p;
        if (*p == '\0') break;
        token_[count_++] = p;
        while (*p != ' ' && *p != '\0') ++p;
        if (*p == '\0') break;
        *p++ = '\0';
    }
}

int toInteger(const char* token) {
    const char* p = token;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // Counted in the magnitude of the limit on the sign's side, so that
    // -2147483648 is exact and everything beyond stops at the limit.
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) magnitude = limit;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

bool isQuery(const char* text) {
    const std::size_t n = std::strlen(text);
    return n > 0 && text[n - 1] == '?';
}

bool isTooLong(const char* text) {
    return std::strlen(text) >= static_cast<std::size_t>(kMaxArgumentText);
}

void writeText(char* piece, const char* text) {
    int i = 0;
    for (; i < kPieceSize - 1 && text[i] != '\0'; ++i) piece[i] = text[i];
    piece[i] = '\0';
}

namespace {

void writeInteger(char* piece, long long value, int width) {
    char digits[24];
    int n = 0;
    unsigned long long magnitude =
        value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    int at = 0;
    if (value < 0) piece[at++] = '-';
    // The sign counts toward the width, as printf's zero fill does.
    for (int fill = width - n - at; fill > 0; --fill) piece[at++] = '0';
    while (n > 0) piece[at++] = digits[--n];
    piece[at] = '\0';
}

}  // namespace

void writeDecimal(char* piece, long long value) { writeInteger(piece, value, 1); }
void writeThreeDigits(char* piece, long long value) { writeInteger(piece, value, 3); }

int refuse(Line& line, char* piece, int error, const char* text) {
    if (error != 0) postError(line.handle, error);
    writeText(piece, text);
    return 0;
}

int applySetting(const NumericSetting& setting, Line& line, const char* text, char* piece) {
    if (isTooLong(text)) return refuse(line, piece, kInputBufferOverrun, kTooLongText);

    const bool query = setting.form == Form::AlwaysQuery ||
                       (setting.form != Form::SetOnly && isQuery(text));
    if (query && setting.get != nullptr) {
        unsigned int value = 0;
        const int status = setting.get(line.handle, &value);
        if (status != 0) return status;
        if (setting.shown == Shown::ThreeDigits)
            writeThreeDigits(piece, value);
        else
            writeDecimal(piece, value);
        return 0;
    }
    if (setting.form == Form::QueryOnly || setting.set == nullptr)
        return refuse(line, piece, kSyntaxError, kSyntaxText);

    const Tokens tokens(text);
    if (tokens.at(0) == nullptr || tokens.at(1) == nullptr)
        return refuse(line, piece, kSyntaxError, kSyntaxText);
    const int value = toInteger(tokens.at(1));
    if (static_cast<unsigned>(value) > setting.bound)
        return refuse(line, piece, setting.rangeError, setting.rangeMessage);
    return setting.set(line.handle, value);
}

}  // namespace korvel::scpi

#include "scpi/reading_format.h"

#include <algorithm>
#include <cstring>

namespace korvel::scpi {
namespace {

constexpr int G = 0;  // gauss
constexpr int T = 1;  // tesla
constexpr int A = 2;  // ampere per metre
constexpr int kAny = kAnyScale;
constexpr Scaling Div = Scaling::Divide;
constexpr Scaling Mul = Scaling::Multiply;
constexpr Scaling Same = Scaling::Unchanged;

// Tesla per shown unit. The "A" rows show kA/m: in every range the scale-5
// row is the plain "Am" row divided by 1000 (1234 in range 2 is "1234000Am"
// plainly and "1234A" with scale code 5).
constexpr double kMu0 = 4.0 * 3.14159265358979323846 * 1e-7;
constexpr ShownUnit Gs{1.0, 1e-4};
constexpr ShownUnit Tl{1.0, 1.0};
constexpr ShownUnit Am{1.0, kMu0};
constexpr ShownUnit kAm{1000.0, kMu0};

// First match wins, so each "any other" row follows the rows of its scale
// codes. A divisor is always 10^decimals, so the digits shown are those of the
// count with the point moved; a factor appends its zeros.
constexpr FormatRow kRows[] = {
    // range units scale scaling amount width decimals letters tesla per shown unit
    {0, G, kAny, Div, 10, 3, 1, "G", Gs},
    {0, T, kAny, Div, 100000, 1, 5, "T", Tl},
    {0, A, 4, Div, 1000, 1, 3, "A", kAm},
    {0, A, 5, Div, 100, 2, 2, "A", kAm},
    {0, A, kAny, Mul, 10, 5, 0, "Am", Am},
    {1, G, 2, Div, 1000, 1, 3, "G", Gs},
    {1, G, kAny, Same, 1, 4, 0, "G", Gs},
    {1, T, 2, Div, 10000000, 0, 7, "T", Tl},
    {1, T, kAny, Div, 10000, 0, 4, "T", Tl},
    {1, A, 2, Div, 100, 2, 2, "Am", Am},
    {1, A, 4, Div, 100, 2, 2, "A", kAm},
    {1, A, 5, Div, 10, 3, 1, "A", kAm},
    {1, A, kAny, Mul, 100, 6, 0, "Am", Am},
    {2, G, kAny, Mul, 10, 5, 0, "G", Gs},
    {2, T, kAny, Div, 1000, 1, 3, "T", Tl},
    {2, A, 4, Div, 10, 3, 1, "A", kAm},
    {2, A, 5, Same, 1, 4, 0, "A", kAm},
    {2, A, kAny, Mul, 1000, 7, 0, "Am", Am},
};

constexpr int kRowCount = static_cast<int>(sizeof kRows / sizeof kRows[0]);


constexpr char kNoRowText[] = "Error";

}  // namespace

const FormatRow* findFormatRow(const MeterReading& reading) {
    for (const FormatRow& row : kRows) {
        if (row.range == reading.range && row.units == reading.units &&
            (row.scale == kAny || row.scale == reading.scale))
            return &row;
    }
    return nullptr;
}

namespace {

// Copies text into out as snprintf would: cut to room - 1, terminated.
void copyCut(const char* text, int length, char* out, std::size_t room) {
    if (room == 0) return;
    const std::size_t n = std::min(static_cast<std::size_t>(length), room - 1);
    std::memcpy(out, text, n);
    out[n] = '\0';
}

}  // namespace

int formatReading(const MeterReading& reading, char* out, int size) {
    const FormatRow* row = findFormatRow(reading);
    const std::size_t room = size > 0 && out != nullptr ? static_cast<std::size_t>(size) : 0U;
    if (row == nullptr) {
        copyCut(kNoRowText, static_cast<int>(sizeof kNoRowText) - 1, out, room);
        return -1;
    }
    // The longest text: "-32768000" plus a point, padding to the widest row
    // and two letters; the buffer leaves ample room.
    char digits[24];
    long magnitude = reading.value < 0 ? -static_cast<long>(reading.value) : reading.value;
    if (row->scaling == Scaling::Multiply) magnitude *= row->amount;
    int n = 0;  // the digits, last first
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0 || n <= row->decimals);  // a leading "0." when needed
    char text[40];
    int length = 0;
    const int shown = n + (row->decimals > 0 ? 1 : 0) + (reading.value < 0 ? 1 : 0);
    for (int pad = shown; pad < row->width; ++pad) text[length++] = ' ';
    if (reading.value < 0) text[length++] = '-';
    for (int i = n - 1; i >= 0; --i) {
        text[length++] = digits[i];
        if (i == row->decimals && i > 0) text[length++] = '.';
    }
    for (const char* letter = row->letters; *letter != '\0'; ++letter) text[length++] = *letter;
    copyCut(text, length, out, room);
    return length;
}

bool readingToTesla(const MeterReading& reading, double* tesla) {
    const FormatRow* row = findFormatRow(reading);
    if (row == nullptr || tesla == nullptr) return false;
    double shown = static_cast<double>(reading.value);
    if (row->scaling == Scaling::Divide) shown /= row->amount;
    if (row->scaling == Scaling::Multiply) shown *= row->amount;
    *tesla = shown * row->unit.perShown * row->unit.teslaPerBase;
    return true;
}

int formatRowCount() { return kRowCount; }

const FormatRow& formatRowAt(int index) {
    if (index < 0) index = 0;
    if (index >= kRowCount) index = kRowCount - 1;
    return kRows[index];
}

}  // namespace korvel::scpi

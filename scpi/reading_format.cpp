#include "scpi/reading_format.h"

#include <cstdio>

namespace korvel::scpi {
namespace {

constexpr int G = 0;  // gauss
constexpr int T = 1;  // tesla
constexpr int A = 2;  // ampere per metre
constexpr int kAny = kAnyScale;
constexpr Scaling Div = Scaling::Divide;
constexpr Scaling Mul = Scaling::Multiply;
constexpr Scaling Same = Scaling::Unchanged;

// First match wins, so each "any other" row follows the rows of its scale
// codes. The decimals always equal the power of ten divided by, so the digits
// shown are those of the count with the point moved.
constexpr FormatRow kRows[] = {
    // range units scale  scaling amount       format      decimals
    {0, G, kAny, Div, 10.0F, "%3.1fG", 1},
    {0, T, kAny, Div, 100000.0F, "%1.5fT", 5},
    {0, A, 4, Div, 1000.0F, "%1.3fA", 3},
    {0, A, 5, Div, 100.0F, "%2.2fA", 2},
    {0, A, kAny, Mul, 10.0F, "%5.0fAm", 0},
    {1, G, 2, Div, 1000.0F, "%1.3fG", 3},
    {1, G, kAny, Same, 1.0F, "%4.0fG", 0},
    {1, T, 2, Div, 10000000.0F, "%0.7fT", 7},
    {1, T, kAny, Div, 10000.0F, "%0.4fT", 4},
    {1, A, 2, Div, 100.0F, "%2.2fAm", 2},
    {1, A, 4, Div, 100.0F, "%2.2fA", 2},
    {1, A, 5, Div, 10.0F, "%3.1fA", 1},
    {1, A, kAny, Mul, 100.0F, "%6.0fAm", 0},
    {2, G, kAny, Mul, 10.0F, "%5.0fG", 0},
    {2, T, kAny, Div, 1000.0F, "%1.3fT", 3},
    {2, A, 4, Div, 10.0F, "%3.1fA", 1},
    {2, A, 5, Same, 1.0F, "%4.0fA", 0},
    {2, A, kAny, Mul, 1000.0F, "%7.0fAm", 0},
};

constexpr int kRowCount = static_cast<int>(sizeof kRows / sizeof kRows[0]);

// Tesla per shown unit: gauss, tesla, ampere per metre (mu0 = 4 pi 1e-7).
constexpr double kTeslaPerUnit[] = {1e-4, 1.0, 4.0 * 3.14159265358979323846 * 1e-7};

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

float shownValue(const FormatRow& row, short value) {
    const float x = static_cast<float>(value);
    switch (row.scaling) {
        case Scaling::Divide: return x / row.amount;
        case Scaling::Multiply: return x * row.amount;
        case Scaling::Unchanged: break;
    }
    return x;
}

int formatReading(const MeterReading& reading, char* out, int size) {
    const FormatRow* row = findFormatRow(reading);
    const std::size_t room = size > 0 && out != nullptr ? static_cast<std::size_t>(size) : 0U;
    if (row == nullptr) {
        if (room > 0) std::snprintf(out, room, "%s", kNoRowText);
        return -1;
    }
    const double shown = static_cast<double>(shownValue(*row, reading.value));
    // The row's own text is the format; it holds exactly one conversion.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    return std::snprintf(room > 0 ? out : nullptr, room, row->format, shown);
#pragma GCC diagnostic pop
}

bool readingToTesla(const MeterReading& reading, double* tesla) {
    const FormatRow* row = findFormatRow(reading);
    if (row == nullptr || tesla == nullptr) return false;
    double shown = static_cast<double>(reading.value);
    if (row->scaling == Scaling::Divide) shown /= static_cast<double>(row->amount);
    if (row->scaling == Scaling::Multiply) shown *= static_cast<double>(row->amount);
    *tesla = shown * kTeslaPerUnit[row->units];
    return true;
}

int formatRowCount() { return kRowCount; }

const FormatRow& formatRowAt(int index) {
    if (index < 0) index = 0;
    if (index >= kRowCount) index = kRowCount - 1;
    return kRows[index];
}

}  // namespace korvel::scpi

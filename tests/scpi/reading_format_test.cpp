// The reading formatter against the digits of the count: every row over all
// 65536 counts, the row choice over the scale codes, and the tesla value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scpi/reading_format.h"

namespace korvel::scpi {
namespace {

// The rows as the meter shows them, written out independently of the
// library's table: the count with the point moved left by `decimals`, or
// with `zeros` appended, right-aligned in `width`, then the letters.
struct Expected {
    int range, units, scale;  // scale -1: every code not listed for that range and units
    int width, decimals, zeros;
    const char* letters;
};
constexpr Expected kExpected[] = {
    {0, 0, -1, 3, 1, 0, "G"},  {0, 1, -1, 1, 5, 0, "T"},  {0, 2, 4, 1, 3, 0, "A"},
    {0, 2, 5, 2, 2, 0, "A"},   {0, 2, -1, 5, 0, 1, "Am"}, {1, 0, 2, 1, 3, 0, "G"},
    {1, 0, -1, 4, 0, 0, "G"},  {1, 1, 2, 0, 7, 0, "T"},   {1, 1, -1, 0, 4, 0, "T"},
    {1, 2, 2, 2, 2, 0, "Am"},  {1, 2, 4, 2, 2, 0, "A"},   {1, 2, 5, 3, 1, 0, "A"},
    {1, 2, -1, 6, 0, 2, "Am"}, {2, 0, -1, 5, 0, 1, "G"},  {2, 1, -1, 1, 3, 0, "T"},
    {2, 2, 4, 3, 1, 0, "A"},   {2, 2, 5, 4, 0, 0, "A"},   {2, 2, -1, 7, 0, 3, "Am"},
};

const Expected& expectedRow(int range, int units, int scale) {
    const Expected* fallback = nullptr;
    for (const Expected& e : kExpected) {
        if (e.range != range || e.units != units) continue;
        if (e.scale == scale) return e;
        if (e.scale == -1) fallback = &e;
    }
    return *fallback;
}

std::string expectedText(const Expected& e, int value) {
    std::string digits = std::to_string(std::abs(value));
    if (e.decimals > 0) {
        if (digits.size() <= static_cast<std::size_t>(e.decimals))
            digits.insert(0, static_cast<std::size_t>(e.decimals) + 1 - digits.size(), '0');
        digits.insert(digits.size() - static_cast<std::size_t>(e.decimals), ".");
    } else if (value != 0) {
        digits.append(static_cast<std::size_t>(e.zeros), '0');
    }
    if (value < 0) digits.insert(0, "-");
    if (digits.size() < static_cast<std::size_t>(e.width))
        digits.insert(0, static_cast<std::size_t>(e.width) - digits.size(), ' ');
    return digits + e.letters;
}

MeterReading reading(int value, int units, int range, int scale) {
    MeterReading r{};
    r.value = static_cast<short>(value);
    r.units = units;
    r.range = range;
    r.scale = scale;
    r.acdc = 1;
    return r;
}

// Tesla per unit the text names, from the letters alone: "A" is kA/m.
double teslaPerLetters(const std::string& text) {
    const double mu0 = 4e-7 * M_PI;
    if (text.ends_with("Am")) return mu0;
    if (text.ends_with("A")) return 1000 * mu0;
    if (text.ends_with("G")) return 1e-4;
    return 1.0;
}

TEST(ReadingFormat, EveryRowShowsTheDigitsOfEveryCount) {
    for (const Expected& e : kExpected) {
        const int scale = e.scale >= 0 ? e.scale : 0;
        SCOPED_TRACE(testing::Message() << "range " << e.range << " units " << e.units << " scale " << scale);
        int wrong = 0;
        for (int value = -32768; value <= 32767 && wrong < 5; ++value) {
            const MeterReading r = reading(value, e.units, e.range, scale);
            char text[80];
            const std::string want = expectedText(e, value);
            EXPECT_EQ(formatReading(r, text, sizeof text), static_cast<int>(want.size()));
            if (want != text) {
                ADD_FAILURE() << value << ": got \"" << text << "\", want \"" << want << "\"";
                ++wrong;
            }
            if (value % 97 == 0) {  // the tesla value is the shown number in SI
                double tesla = 0;
                ASSERT_TRUE(readingToTesla(r, &tesla));
                const double shown = std::strtod(want.c_str(), nullptr);
                EXPECT_NEAR(tesla, shown * teslaPerLetters(want), 1e-12 * (1 + std::fabs(tesla)));
            }
        }
    }
}

// The same count means the same field whichever way the meter shows it in
// A/m: 1234 in range 2 is "1234000Am" plainly and "1234A" with scale code 5,
// 1.5507 T either way (mu0 = 4 pi 1e-7 T m/A).
TEST(ReadingFormat, KiloAmperePerMetreRowsGiveTheSameTeslaAsThePlainRows) {
    const double mu0 = 4e-7 * M_PI;
    double plain = 0, kilo = 0, fine = 0;
    ASSERT_TRUE(readingToTesla(reading(1234, 2, 2, 0), &plain));
    ASSERT_TRUE(readingToTesla(reading(1234, 2, 2, 5), &kilo));
    ASSERT_TRUE(readingToTesla(reading(1234, 2, 2, 4), &fine));
    EXPECT_NEAR(plain, 1234000 * mu0, 1e-9);
    EXPECT_NEAR(kilo, 1234000 * mu0, 1e-9);
    EXPECT_NEAR(kilo, 1.5507, 0.0001);
    EXPECT_NEAR(fine, 123400 * mu0, 1e-9);  // 123.4 kA/m
    for (int range = 0; range <= 2; ++range) {
        for (const int count : {-32768, -7, 1, 999, 32767}) {
            SCOPED_TRACE(testing::Message() << "range " << range << " count " << count);
            ASSERT_TRUE(readingToTesla(reading(count, 2, range, 0), &plain));
            ASSERT_TRUE(readingToTesla(reading(count, 2, range, 5), &kilo));
            EXPECT_NEAR(kilo, plain, 1e-12 + 1e-12 * std::fabs(plain));
        }
    }
}

TEST(ReadingFormat, RangeUnitsAndScaleCodeChooseTheRow) {
    const int scales[] = {0, 1, 2, 3, 4, 5, 6, 255};
    for (int range = 0; range <= 2; ++range) {
        for (int units = 0; units <= 2; ++units) {
            for (int scale : scales) {
                char text[80];
                formatReading(reading(1234, units, range, scale), text, sizeof text);
                EXPECT_EQ(text, expectedText(expectedRow(range, units, scale), 1234))
                    << "range " << range << " units " << units << " scale " << scale;
            }
        }
    }
}

TEST(ReadingFormat, WorkedExamplesAndReadingsOutsideTheTable) {
    const struct {
        int value, units, range, scale;
        const char* text;
    } cases[] = {
        {1234, 0, 0, 0, "123.4G"},         {1234, 1, 0, 0, "0.01234T"},
        {1234, 0, 1, 0, "1234G"},          {1234, 0, 1, 2, "1.234G"},
        {1234, 1, 1, 2, "0.0001234T"},     {1234, 2, 2, 0, "1234000Am"},
        {1234, 2, 2, 5, "1234A"},          {12, 0, 2, 0, "  120G"},
        {7, 2, 1, 0, "   700Am"},          {-5, 0, 0, 0, "-0.5G"},
        {-32768, 2, 2, 0, "-32768000Am"},  {0, 0, 0, 0, "0.0G"},
        {1234, 0, 3, 0, "Error"},          {1234, 3, 0, 0, "Error"},
        {1234, -1, 0, 0, "Error"},         {1234, 0, -1, 0, "Error"},
    };
    for (const auto& c : cases) {
        char text[80];
        const MeterReading r = reading(c.value, c.units, c.range, c.scale);
        const int n = formatReading(r, text, sizeof text);
        EXPECT_STREQ(text, c.text);
        double tesla = 0;
        const bool inTable = std::string(c.text) != "Error";
        EXPECT_EQ(n >= 0, inTable);
        EXPECT_EQ(readingToTesla(r, &tesla), inTable);
    }
    double tesla = 0;
    ASSERT_TRUE(readingToTesla(reading(1234, 0, 0, 0), &tesla));
    EXPECT_DOUBLE_EQ(tesla, 0.01234);  // 123.4 G
    ASSERT_TRUE(readingToTesla(reading(1234, 2, 2, 0), &tesla));
    EXPECT_NEAR(tesla, 1234000 * 4e-7 * M_PI, 1e-12);
}

TEST(ReadingFormat, TheTextIsCutToTheBuffer) {
    char text[8];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(formatReading(reading(1234, 0, 0, 0), text, 4), 6);
    EXPECT_STREQ(text, "123");
    EXPECT_EQ(text[4], '#');
    EXPECT_EQ(formatReading(reading(1234, 0, 0, 0), text, 0), 6);
    EXPECT_EQ(formatReading(reading(1234, 0, 0, 0), nullptr, 0), 6);
    EXPECT_EQ(text[0], '1');
}

}  // namespace
}  // namespace korvel::scpi

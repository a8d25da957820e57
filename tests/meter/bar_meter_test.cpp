#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "meter/meter.hpp"
#include "support.hpp"

namespace {

std::string Text(int lit, const std::string& numbers)
{
    return "\t -45 dB [" + std::string(lit, '|') + std::string(24 - lit, ' ') + "] " + numbers +
           " dB   ";
}

// One call of the meter as the take makes it: range 45, fall 11.25.
std::string Call(int32_t p0, int32_t p1, int32_t h0, int32_t h1, int* reset, int size = 2,
                 int channels = 2)
{
    const int32_t period[2] = {p0, p1};
    const int32_t held[2] = {h0, h1};
    char out[kMeterTextBytes];
    const int len = FormatMeter(out, period, 45.0f, reset, 11.25f, size, channels, held);
    return std::string(out, static_cast<size_t>(len));
}

TEST(BarMeter, WorkedExampleRowByRow)
{
    int reset = 1;
    const std::string rows[] = {
        Call(16384, 8192, 0, 0, &reset),
        Call(4096, 4096, 16384, 8192, &reset),
        Call(0, 0, 16384, 8192, &reset),
        Call(32768, 32768, 16384, 8192, &reset),
    };
    EXPECT_EQ(reset, 0);
    EXPECT_EQ(rows[0], Text(20, "-144.0 / -144.0"));
    EXPECT_EQ(rows[1], Text(14, "-6.0 / -12.0"));
    EXPECT_EQ(rows[2], Text(8, "-6.0 / -12.0"));
    EXPECT_EQ(rows[3], Text(24, "-6.0 / -12.0"));
    EXPECT_EQ(rows[0].size(), 57u);
    EXPECT_EQ(rows[1].size(), 54u);
    EXPECT_EQ(rows[2].size(), 54u);
    EXPECT_EQ(rows[3].size(), 54u);
}

TEST(BarMeter, OneChannel24BitShowsOneNumber)
{
    int reset = 1;
    EXPECT_EQ(Call(4194304, 0, 0, 0, &reset, 3, 1), Text(21, "-144.0"));
    EXPECT_EQ(Call(4194304, 999, 4194304, 777, &reset, 3, 1), Text(15, "-6.0"));
}

TEST(BarMeter, FirstSilentCallShowsNothingLit)
{
    int reset = 1;
    EXPECT_EQ(Call(0, 0, 0, 0, &reset), Text(0, "-144.0 / -144.0"));
}

TEST(BarMeter, SilenceFallsWithoutLimitThenTheFirstSoundJumpsUp)
{
    int reset = 1;
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(Call(0, 0, 0, 0, &reset), Text(0, "-144.0 / -144.0")) << i;
    // -6.02 dB lights ceil(38.98 / 1.875) = 21 at once.
    EXPECT_EQ(Call(16384, 16384, 0, 0, &reset), Text(21, "-144.0 / -144.0"));
}

TEST(BarMeter, EqualAmplitudesAreNoRise)
{
    int reset = 1;
    EXPECT_EQ(Call(16384, 16384, 0, 0, &reset), Text(21, "-144.0 / -144.0"));
    // -6.02 - 11.25 = -17.27: ceil(27.73 / 1.875) = 15.
    EXPECT_EQ(Call(16384, 16384, 0, 0, &reset), Text(15, "-144.0 / -144.0"));
}

TEST(BarMeter, ARiseAboveTheLastLevelReplacesAHigherDisplay)
{
    int reset = 1;
    Call(23198, 23198, 0, 0, &reset);                                       // -3.0 dB
    EXPECT_EQ(Call(3277, 3277, 0, 0, &reset), Text(17, "-144.0 / -144.0")); // falls to -14.25
    // -19.0 is above the last level (-20.0): the display drops to it.
    EXPECT_EQ(Call(3677, 3677, 0, 0, &reset), Text(14, "-144.0 / -144.0"));
}

TEST(BarMeter, FullScaleRepeatedFallsBySixSegments)
{
    int reset = 1;
    Call(100, 100, 0, 0, &reset);
    const int expected[] = {24, 18, 12, 6, 0, 0};
    for (int lit : expected)
        EXPECT_EQ(Call(32768, 32768, 0, 0, &reset), Text(lit, "-144.0 / -144.0"));
}

TEST(BarMeter, AveragesTwoChannelsTowardZero)
{
    int reset = 1;
    // 32767 and 1 give 16384: -6.02 dB, 21 lit.
    EXPECT_EQ(Call(32767, 1, 0, 0, &reset), Text(21, "-144.0 / -144.0"));
    reset = 1;
    // 3 and 0 give 1: -90.3 dB, nothing lit.
    EXPECT_EQ(Call(3, 0, 0, 0, &reset), Text(0, "-144.0 / -144.0"));
}

TEST(BarMeter, HeldPeaksShowFullScaleAsMinusZeroAndKeepTheLastNonZero)
{
    int reset = 1;
    EXPECT_EQ(Call(0, 0, 32768, 16384, &reset), Text(0, "-0.0 / -6.0"));
    EXPECT_EQ(Call(0, 0, 0, 0, &reset), Text(0, "-0.0 / -6.0"));
    EXPECT_EQ(Call(0, 0, 0, 8192, &reset), Text(0, "-0.0 / -12.0"));
}

TEST(BarMeter, OnlyResetFlagOneResets)
{
    int reset = 1;
    Call(16384, 16384, 32768, 32768, &reset);
    reset = 2;
    // No reset: the held numbers and the fall carry on.
    EXPECT_EQ(Call(16384, 16384, 0, 0, &reset), Text(15, "-0.0 / -0.0"));
    EXPECT_EQ(reset, 2);
    reset = 1;
    EXPECT_EQ(Call(16384, 16384, 0, 0, &reset), Text(21, "-144.0 / -144.0"));
    EXPECT_EQ(reset, 0);
}

TEST(BarMeter, LitSegmentBoundaries)
{
    const struct {
        double current;
        int lit;
    } cases[] = {{-45, 0}, {-46, 0}, {-44.999, 1}, {-2, 23},    {-1.875, 23},
                 {-1, 24}, {0, 24},  {-0.0, 24},   {-22.5, 12}, {-155.25, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(LitSegments(c.current, 45.0f), c.lit) << c.current;
}

TEST(BarMeter, StatusLineIsFittedToTheTerminalBarFirst)
{
    const std::string clock = "\rrem = 12.34 sec";
    const std::string line = clock + Text(12, "-6.0 / -12.0"); // 69 columns
    const std::string head = clock + "\t -45 dB [";            // 25 columns
    const std::string wide = "\rrem = 123.45 sec" + Text(24, "-144.0");
    const struct {
        std::string line;
        int columns;
        std::string fitted;
    } cases[] = {
        {line, 0, line},
        {line, 69, line},
        {line, 68, head + std::string(12, '|') + std::string(12, ' ') + "] -6.0 / -12.0 dB  "},
        {line, 60, head + std::string(9, '|') + std::string(9, ' ') + "] -6.0 / -12.0 dB"},
        // 1 of 24 lit, in 18 columns: 0.75 of a column still lights one.
        {clock + Text(1, "-6.0 / -12.0"), 60,
         head + "|" + std::string(17, ' ') + "] -6.0 / -12.0 dB"},
        {line, 40, head + std::string(7, '|') + std::string(7, ' ') + "]"},
        {line, 32, clock + std::string(17, ' ')},
        {line, 10, "\rrem = 12.3"},
        // The tab after a longer time reaches column 24.
        {wide, 60, "\rrem = 123.45 sec\t -45 dB [" + std::string(16, '|') + "] -144.0 dB"},
    };
    for (const auto& c : cases) {
        char buffer[256];
        std::memcpy(buffer, c.line.data(), c.line.size());
        const int len =
            FitStatusLine(buffer, static_cast<int>(c.line.size()), sizeof buffer, c.columns);
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(len)), c.fitted) << c.columns;
    }
}

// The status line's numbers are printf's, byte for byte: ties to even, the
// sign of values that round to zero, every level and remaining time.
TEST(FormatDecimal, WritesWhatPrintfWrites)
{
    std::vector<double> values = {0.0,      -0.0,      0.125,   0.375,       2.5,    -2.5,
                                  0.05,     0.15,      1e-300,  -1e-300,     -0.004, -144.0,
                                  59.905,   1e14 + .5, 9.99e14, 1e15,        1e300,  -1e300,
                                  INFINITY, -INFINITY, NAN,     0x1p49 + .5, 1.0005, 2.675};
    std::mt19937_64 random(20);
    for (int i = 0; i < 20000; ++i) {
        values.push_back(std::ldexp(static_cast<double>(random() >> 11), -53) *
                         std::ldexp(1.0, static_cast<int>(random() % 60) - 10) *
                         (random() % 2 ? 1 : -1));
        values.push_back(static_cast<double>(random() % 4000000) / 44100.0);
        values.push_back(static_cast<float>(-20.0 * std::log10(8388608.0 / (random() % 8388608))));
    }
    for (const double v : values) {
        for (int decimals = 0; decimals <= 4; ++decimals) {
            char want[400], got[400];
            const int want_len = std::snprintf(want, sizeof want, "%.*f", decimals, v);
            ASSERT_EQ(FormatDecimal(got, sizeof got, v, decimals), want_len) << want;
            ASSERT_STREQ(got, want);
        }
    }
    char cut[4];
    EXPECT_EQ(FormatDecimal(cut, sizeof cut, -12.25, 1), 5);
    EXPECT_STREQ(cut, "-12");
}

} // namespace

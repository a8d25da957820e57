#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "meter/meter.hpp"
#include "support.hpp"
#include "wav/wav.hpp"

namespace {

struct DecodeCase {
    std::string bytes;
    uint32_t size;
    int32_t magnitude;
    bool warns;
};

TEST(CheckPeak, DecodesLittleEndianTwosComplementOfBothSizes)
{
    const DecodeCase cases[] = {
        {std::string("\x00\x80", 2), 2, 32768, true},
        {"\xFF\x7F", 2, 32767, true},
        {"\x01\x80", 2, 32767, true},
        {"\xFE\x7F", 2, 32766, false},
        {"\x02\x80", 2, 32766, false},
        {std::string("\x80\x00", 2), 2, 128, false},
        {"\xFF\xFF", 2, 1, false},
        {std::string("\x00\x00\x80", 3), 3, 8388608, true},
        {"\xFF\xFF\x7F", 3, 8388607, true},
        {std::string("\x01\x00\x80", 3), 3, 8388607, true},
        {"\xFE\xFF\x7F", 3, 8388606, false},
        {std::string("\x02\x00\x80", 3), 3, 8388606, false},
        {std::string("\x00\x80\x00", 3), 3, 32768, false},
        {std::string("\x80\x00\x00", 3), 3, 128, false},
        {"\xFF\xFF\xFF", 3, 1, false},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        ASSERT_EQ(c.bytes.size(), c.size);
        int32_t take[2] = {0, 0}, period[2] = {0, 0};
        const std::string out =
            CaptureStdout([&] { CheckPeak(0, 1, c.size, take, c.bytes.data(), period); });
        EXPECT_EQ(take[0], c.magnitude);
        EXPECT_EQ(period[0], c.magnitude);
        EXPECT_EQ(take[1], 0);
        EXPECT_EQ(period[1], 0);
        EXPECT_EQ(out, c.warns ? "\nInput Channel 1 is Peaking!\n" : "");
    }
}

TEST(CheckPeak, WarnsOncePerCallHoweverManySamplesClip)
{
    std::string plane;
    for (int i = 0; i < 4096; ++i)
        plane += i % 3 ? std::string("\x00\x80", 2) : std::string("\x10\x00", 2);
    int32_t take[2] = {0, 0}, period[2] = {0, 0};
    const std::string first =
        CaptureStdout([&] { CheckPeak(1, 4096, 2, take, plane.data(), period); });
    EXPECT_EQ(first, "\nInput Channel 2 is Peaking!\n");
    EXPECT_EQ(take[1], 32768);
    EXPECT_EQ(take[0], 0);
    period[1] = 0;
    const std::string second =
        CaptureStdout([&] { CheckPeak(1, 4096, 2, take, plane.data(), period); });
    EXPECT_EQ(second, "\nInput Channel 2 is Peaking!\n");
}

TEST(CheckPeak, FindsThePeakAnywhereInThePlane)
{
    for (uint32_t size : {2u, 3u}) {
        for (int at : {0, 1, 1023, 4095}) {
            std::string plane(4096 * size, '\0');
            plane[at * size] = '\x39';
            plane[at * size + 1] = '\x30'; // 0x3039 = 12345
            int32_t take[2] = {0, 0}, period[2] = {0, 0};
            CheckPeak(0, 4096, size, take, plane.data(), period);
            EXPECT_EQ(period[0], 12345) << size << " " << at;
        }
    }
}

// The decoding rule written out sample by sample, as an independent oracle.
int32_t ReferencePeak(const std::string& plane, uint32_t size, int count)
{
    int32_t peak = 0;
    for (int i = 0; i < count; ++i) {
        const auto* b = reinterpret_cast<const unsigned char*>(plane.data()) + i * size;
        int32_t v = size == 2 ? b[0] + 256 * static_cast<signed char>(b[1])
                              : b[0] + 256 * b[1] + 65536 * static_cast<signed char>(b[2]);
        peak = std::max(peak, v < 0 ? -v : v);
    }
    return peak;
}

std::string Reversed(const std::string& plane, uint32_t size)
{
    std::string out;
    for (size_t at = plane.size(); at >= size; at -= size)
        out += plane.substr(at - size, size);
    return out;
}

TEST(CheckPeak, AgreesWithTheDecodingRuleForEveryCountAndPosition)
{
    uint32_t x = 99;
    for (uint32_t size : {2u, 3u}) {
        for (int count = 1; count <= 40; ++count) {
            for (int at = 0; at < count; ++at) {
                // Small values everywhere, one large one (either sign) at `at`.
                std::string plane(count * size, '\0');
                for (int i = 0; i < count; ++i) {
                    x = x * 1103515245u + 12345u;
                    plane[i * size] = static_cast<char>(x >> 16);
                    plane[i * size + 1] = static_cast<char>((x >> 24) & 0x0F);
                }
                plane[at * size + size - 1] = (x & 1) ? '\x80' : '\x7F';
                // Channel 2: the samples reversed, the large one of the other
                // sign, so that a peak taken from the wrong channel shows.
                std::string reversed = Reversed(plane, size);
                reversed[(count - 1 - at) * size + size - 1] ^= '\xFF';
                int32_t take[2] = {0, 0}, period[2] = {0, 0};
                const std::string planes_said = CaptureStdout([&] {
                    CheckPeak(0, count, size, take, plane.data(), period);
                    CheckPeak(1, count, size, take, reversed.data(), period);
                });
                ASSERT_EQ(period[0], ReferencePeak(plane, size, count))
                    << "size " << size << " count " << count << " at " << at;
                // The same samples as frames: the same peaks and warnings as
                // two plane scans.
                std::string frames(2 * plane.size(), '\0');
                Interleave(count, static_cast<int>(size), plane.data(), reversed.data(),
                           frames.data());
                int32_t frame_take[2] = {0, 0}, frame_period[2] = {0, 0};
                const std::string frames_said = CaptureStdout([&] {
                    CheckFramePeaks(2, count, size, frame_take, frames.data(), frame_period);
                });
                ASSERT_EQ(frame_period[0], period[0]);
                ASSERT_EQ(frame_period[1], ReferencePeak(reversed, size, count));
                ASSERT_EQ(frames_said, planes_said);
            }
        }
    }
}

TEST(CheckPeak, OnlyRaisesEntries)
{
    const std::string plane("\x10\x00\x20\x00", 4);
    int32_t take[2] = {30000, 7}, period[2] = {100, 9};
    CheckPeak(0, 2, 2, take, plane.data(), period);
    EXPECT_EQ(take[0], 30000);
    EXPECT_EQ(period[0], 100);
    EXPECT_EQ(take[1], 7);
    EXPECT_EQ(period[1], 9);

    const std::string zeros(8, '\0');
    int32_t take2[2] = {0, 0}, period2[2] = {0, 0};
    CheckPeak(1, 4, 2, take2, zeros.data(), period2);
    EXPECT_EQ(period2[1], 0);
}

TEST(CheckPeak, NoSamplesChangesAndPrintsNothing)
{
    const std::string plane("\x00\x80", 2);
    int32_t take[2] = {5, 5}, period[2] = {5, 5};
    for (int count : {0, -1}) {
        const std::string out =
            CaptureStdout([&] { CheckPeak(0, count, 2, take, plane.data(), period); });
        EXPECT_EQ(out, "");
        EXPECT_EQ(take[0], 5);
        EXPECT_EQ(period[0], 5);
    }
}

} // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "capture/capture.hpp"
#include "support.hpp"

namespace {

int64_t Plan(int period, uint32_t rate, float seconds)
{
    int64_t frames = -1;
    QUANTIZE(period, rate, &seconds, &frames);
    return frames;
}

TEST(Quantize, PlansTheSmallestWholeNumberOfPeriods)
{
    const struct {
        int period;
        uint32_t rate;
        float seconds;
        int64_t frames;
    } cases[] = {
        {4096, 44100, 60.0f, 2646016},              // 646 periods
        {4096, 48000, 1.0f, 49152},                 // 48000 frames: 11.7 periods
        {4096, 32768, 0.125f, 4096},                // exactly one period
        {4096, 32768, 0.25f, 8192},                 // exactly two
        {4096, 32768, 0.25f + 1.0f / 32768, 12288}, // one frame over
        {4096, 96000, 1e-30f, 4096},                // tiny: one period
        {1024, 44100, 1.0f, 45056},                 // another period: 44 periods
        {4096, 44100, 0.0f, 0},
        {4096, 44100, -5.0f, 0},
        {4096, 44100, std::numeric_limits<float>::quiet_NaN(), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Plan(c.period, c.rate, c.seconds), c.frames)
            << c.period << " " << c.rate << " " << c.seconds;
}

TEST(Quantize, NeverLoopsOnHugeOrInfiniteDurations)
{
    EXPECT_EQ(Plan(4096, 96000, std::numeric_limits<float>::infinity()), INT64_MAX);
    EXPECT_EQ(Plan(1, 96000, 3e38f), INT64_MAX);
    EXPECT_EQ(Plan(4096, 96000, 1e9f),
              96000000000000 / 4096 * 4096 + 4096 * (96000000000000 % 4096 != 0));
}

TEST(TakeLength, MostFramesAreWholePeriodsWhoseFileSizeIsAnOffset)
{
    EXPECT_EQ(MaxTakeFrames(4096, 2), 4611686018427383808); // (2^63 - 81) / 2, whole periods
    EXPECT_EQ(MaxTakeFrames(4096, 6), 1537228672809127936);
    EXPECT_EQ(MaxTakeFrames(1000, 4), 2305843009213693000);
    for (uint32_t bpf : {2u, 3u, 4u, 6u}) {
        const uint64_t most = uint64_t(MaxTakeFrames(4096, bpf));
        EXPECT_LE(most * bpf + 80, uint64_t{INT64_MAX});
        EXPECT_GT((most + 4096) * bpf + 80, uint64_t{INT64_MAX});
    }
}

TEST(TakeLength, OnlyATakeTooLongToCountIsRefused)
{
    // Past 4 GiB and 2^31 frames is a take like any other.
    const int64_t most = MaxTakeFrames(4096, 6);
    for (const int64_t frames : {int64_t{2147483648}, int64_t{715829248}, most})
        EXPECT_EQ(CaptureStdout([&] { EXPECT_EQ(RefuseOverlongTake(frames, 4096, 6), 0); }), "");
    for (const int64_t frames : {most + 4096, Plan(4096, 96000, 1e30f)})
        EXPECT_EQ(CaptureStdout([&] { EXPECT_EQ(RefuseOverlongTake(frames, 4096, 6), 1); }),
                  "Improper duration request: too many frames to count\n");
}

TEST(FormatClock, RemainingSecondsOnARewrittenLine)
{
    char text[64];
    EXPECT_EQ(std::string(text, FormatClock(text, 64, 2646016 - 4096, 44100)), "\rrem = 59.91 sec");
    EXPECT_EQ(std::string(text, FormatClock(text, 64, 0, 44100)), "\rrem = 0.00 sec");
}

} // namespace

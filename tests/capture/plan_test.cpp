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

TEST(TakeLength, MostFramesFollowHeaderAndCounterLimits)
{
    // Whichever limit binds, the result is whole periods within both.
    EXPECT_EQ(MaxTakeFrames(4096, 2), 2147479552); // 524287 periods, 4,294,959,104 bytes
    EXPECT_EQ(MaxTakeFrames(4096, 6), 715825152);  // 174762 periods
    EXPECT_EQ(MaxTakeFrames(4096, 1), 2147479552); // the frame counter
    EXPECT_EQ(MaxTakeFrames(1000, 4), 1073741000);
    for (uint32_t bpf : {2u, 3u, 4u, 6u})
        EXPECT_LE(uint64_t(MaxTakeFrames(4096, bpf)) * bpf + 36, 4294967295u);
}

TEST(TakeLength, RefusalNamesTheLongestDurationInWholeSeconds)
{
    const int64_t most = MaxTakeFrames(4096, 6);
    std::string out =
        CaptureStdout([&] { EXPECT_EQ(RefuseOverlongTake(most, 4096, 96000, 6), 0); });
    EXPECT_EQ(out, "");
    out = CaptureStdout([&] { EXPECT_EQ(RefuseOverlongTake(most + 4096, 4096, 96000, 6), 1); });
    EXPECT_EQ(out, "Improper duration request: one file of this format and channel mode holds at "
                   "most 7456 seconds\n");
}

TEST(TakeLength, TheNamedDurationIsItselfAccepted)
{
    const struct {
        uint32_t rate, bpf;
    } formats[] = {{44100, 2}, {44100, 4}, {96000, 3}, {96000, 6}, {48000, 6}, {88200, 2}};
    for (const auto& f : formats) {
        const int64_t most = MaxTakeFrames(4096, f.bpf);
        const float seconds = static_cast<float>(most / f.rate);
        EXPECT_LE(Plan(4096, f.rate, seconds), most) << f.rate << " " << f.bpf;
        EXPECT_GT(Plan(4096, f.rate, seconds + 1), most) << f.rate << " " << f.bpf;
    }
}

TEST(UpdateClock, PrintsRemainingSecondsOnARewrittenLine)
{
    EXPECT_EQ(CaptureStdout([] { UpdateClock(2646016, -4096, 44100); }), "\rrem = 59.91 sec");
    EXPECT_EQ(CaptureStdout([] { UpdateClock(2646016, -2646016, 44100); }), "\rrem = 0.00 sec");
}

} // namespace

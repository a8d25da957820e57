#include <gtest/gtest.h>

#include <string>

#include "capture/capture.hpp"
#include "support.hpp"

namespace {

TEST(TakeMetering, HoldWindowComesFromTheRequestedRate)
{
    const struct {
        uint32_t rate, window;
    } cases[] = {{44100, 32}, {48000, 35}, {88200, 64}, {96000, 70}};
    for (const auto& c : cases) {
        TakeMeter m;
        MeterStart(&m, c.rate, 1, 0);
        EXPECT_EQ(m.hold_window, c.window) << c.rate;
        EXPECT_EQ(m.reset, 1);
    }
}

TEST(TakeMetering, ModesDecideScannedAndShownChannels)
{
    const struct {
        int32_t channels, interleave;
        int scanned, shown;
    } cases[] = {{1, 0, 1, 1}, {2, 0, 2, 2}, {1, 1, 2, 2}};
    for (const auto& c : cases) {
        TakeMeter m;
        MeterStart(&m, 44100, c.channels, c.interleave);
        EXPECT_EQ(m.scanned, c.scanned);
        EXPECT_EQ(m.meter_channels, c.shown);
    }
}

TEST(TakeMetering, HeldPeaksAreReplacedByThePeriodPeaksAfter33Periods)
{
    TakeMeter m;
    MeterStart(&m, 44100, 2, 0);
    CaptureStdout([&] {
        for (int period = 1; period <= 70; ++period) {
            // A loud first period, then quiet ones that grow slowly.
            m.period_peaks[0] = period == 1 ? 30000 : 100 + period;
            m.period_peaks[1] = period == 1 ? 20000 : 50 + period;
            ShowStatus(&m, 2, 0, 44100);
            if (period < 33) {
                ASSERT_EQ(m.held_peaks[0], 30000) << period;
                ASSERT_EQ(m.held_peaks[1], 20000) << period;
            } else if (period == 33 || period == 66) {
                ASSERT_EQ(m.held_peaks[0], 100 + period) << period;
                ASSERT_EQ(m.held_peaks[1], 50 + period) << period;
            }
        }
    });
    EXPECT_EQ(m.periods_since_hold, 4);
    EXPECT_EQ(m.held_peaks[0], 170);
}

TEST(TakeMetering, OneChannelModeHoldsOnlyEntryZero)
{
    TakeMeter m;
    MeterStart(&m, 48000, 1, 0);
    m.period_peaks[0] = 10;
    m.period_peaks[1] = 99;
    CaptureStdout([&] { ShowStatus(&m, 2, 0, 44100); });
    EXPECT_EQ(m.held_peaks[0], 10);
    EXPECT_EQ(m.held_peaks[1], 0);
}

TEST(TakeMetering, ScanClearsThePeriodPeaksButKeepsTheTakePeaks)
{
    TakeMeter m;
    MeterStart(&m, 44100, 2, 0);
    const std::string loud = std::string("\x00\x40", 2) + std::string("\x00\x20", 2);
    const std::string quiet = std::string("\x10\x00", 2) + std::string("\x20\x00", 2);
    MeterScan(&m, 1, 2, loud.data(), loud.data() + 2);
    MeterScan(&m, 1, 2, quiet.data(), quiet.data() + 2);
    EXPECT_EQ(m.period_peaks[0], 16);
    EXPECT_EQ(m.period_peaks[1], 32);
    EXPECT_EQ(m.take_peaks[0], 16384);
    EXPECT_EQ(m.take_peaks[1], 8192);
}

TEST(TakeMetering, ReportShowsKeptChannelsInDbfs)
{
    TakeMeter m;
    MeterStart(&m, 44100, 2, 0);
    const int one[2] = {1, 0}, two[2] = {1, 1};
    m.take_peaks[0] = 16384;
    m.take_peaks[1] = 32768;
    EXPECT_EQ(CaptureStdout([&] { MeterReport(&m, 2, one, 0); }),
              "\n\nInput Channel Peaks:\n\tchannel 1: -6.02 dBFS\n");
    EXPECT_EQ(CaptureStdout([&] { MeterReport(&m, 2, two, 0); }),
              "\n\nInput Channel Peaks:\n\tchannel 1: -6.02 dBFS\n\tchannel 2: -0.00 dBFS\n");
    // The stereo file keeps channel 1 only, yet reports both.
    m.take_peaks[0] = 0;
    m.take_peaks[1] = 8388608;
    EXPECT_EQ(CaptureStdout([&] { MeterReport(&m, 3, one, 1); }),
              "\n\nInput Channel Peaks:\n\tchannel 1: -inf dBFS\n\tchannel 2: -0.00 dBFS\n");
}

} // namespace

namespace {

TEST(TakeMetering, QuietTakePrintsNoMeterButKeepsTheHeldPeaks)
{
    TakeMeter loud, quiet;
    MeterStart(&loud, 44100, 2, 0);
    MeterStart(&quiet, 44100, 2, 0);
    const int32_t peaks[][2] = {{30000, 20000}, {100, 50}, {32767, 7}};
    std::string loud_text, quiet_text;
    for (const auto& p : peaks) {
        for (TakeMeter* m : {&loud, &quiet}) {
            m->period_peaks[0] = p[0];
            m->period_peaks[1] = p[1];
        }
        loud_text += CaptureStdout([&] { ShowStatus(&loud, 2, 0, 44100); });
        SetQuietTake(1);
        quiet_text += CaptureStdout([&] { ShowStatus(&quiet, 2, 0, 44100); });
        SetQuietTake(0);
        EXPECT_EQ(quiet.held_peaks[0], loud.held_peaks[0]);
        EXPECT_EQ(quiet.held_peaks[1], loud.held_peaks[1]);
    }
    EXPECT_EQ(quiet_text, "");
    EXPECT_NE(loud_text, "");
    EXPECT_EQ(quiet.held_peaks[0], 32767);
    EXPECT_EQ(quiet.periods_since_hold, 3);
}

} // namespace

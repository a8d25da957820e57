#include <gtest/gtest.h>

#include "capture/capture.hpp"

namespace {

// 40000 Hz and 1000-frame periods: a frame is 25 us, a period 25 ms.
constexpr uint32_t kRate = 40000;
constexpr int kPeriod = 1000;
constexpr int64_t kFrameNs = 25000;
constexpr int64_t kPlenty = 1000000 * kPeriod;

// The program's own record only: a status whose trigger is the start.
OverrunClock ByTheMark(int64_t buffered_frames, int64_t unread_ns)
{
    const int64_t mark_ns = 7000000000;
    const int64_t device_now_ns = 1700000000000000000 + unread_ns;
    return OverrunClock{{mark_ns, buffered_frames},
                        mark_ns + unread_ns,
                        device_now_ns,
                        device_now_ns - unread_ns - 900000000,
                        8000};
}

TEST(OverrunGapFrames, RoundsTheTimeUnreadToTheNearestPeriod)
{
    const struct {
        const char* why;
        int64_t buffered_frames;
        int64_t unread_frames;
        int64_t gap_frames;
    } cases[] = {
        {"nothing lost still writes the period read", 0, 0, 1000},
        {"under half a period", 0, 499, 1000},
        {"just under one and a half", 0, 1499, 1000},
        {"one and a half rounds up", 0, 1500, 2000},
        {"just under two and a half", 0, 2499, 2000},
        {"two and a half", 0, 2500, 3000},
        {"frames held at the mark count", 1000, 499, 1000},
        {"frames held and time together", 500, 1000, 2000},
        {"a full buffer and two seconds", 8000, 80000, 88000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OverrunGapFrames(ByTheMark(c.buffered_frames, c.unread_frames * kFrameNs),
                                   kPeriod, kRate, kPlenty),
                  c.gap_frames)
            << c.why;
    }
}

TEST(OverrunGapFrames, NeverRunsPastThePlannedEnd)
{
    const OverrunClock ten_periods = ByTheMark(0, 10000 * kFrameNs);
    EXPECT_EQ(OverrunGapFrames(ten_periods, kPeriod, kRate, 11000), 10000);
    EXPECT_EQ(OverrunGapFrames(ten_periods, kPeriod, kRate, 10000), 10000);
    EXPECT_EQ(OverrunGapFrames(ten_periods, kPeriod, kRate, 9000), 9000);
    EXPECT_EQ(OverrunGapFrames(ten_periods, kPeriod, kRate, 1000), 1000);
    EXPECT_EQ(OverrunGapFrames(ByTheMark(0, 0), kPeriod, kRate, 1000), 1000);
}

TEST(OverrunGapFrames, CountsDaysWithoutOverflow)
{
    // Four days at 192000 Hz are 66355200000 frames, 16200000 periods of 4096.
    const int64_t days_ns = int64_t{4} * 86400 * 1000000000;
    EXPECT_EQ(OverrunGapFrames(ByTheMark(0, days_ns), 4096, 192000, int64_t{4096} * 30000000),
              int64_t{66355200000});
}

TEST(OverrunGapFrames, ATimeBeforeTheMarkCountsAsNone)
{
    OverrunClock c = ByTheMark(1000, 0);
    c.now_ns = c.mark.at_ns - 5000000000;
    EXPECT_EQ(OverrunGapFrames(c, kPeriod, kRate, kPlenty), 1000);
}

TEST(OverrunGapFrames, TakesTheKernelsOverrunTimeWhenItFollowsTheLastRead)
{
    // Three seconds since the mark (120 periods by the mark), on a device
    // clock with another origin.
    const int64_t mark_ns = 100000000000;
    const int64_t device_now_ns = 1700000000000000000;
    const int64_t mark_on_device_ns = device_now_ns - 3000000000;
    const struct {
        const char* why;
        int64_t trigger_ns;
        int64_t gap_frames;
    } cases[] = {
        // The buffer of 8000 frames filled, then the stream stood 2 s.
        {"overrun a second after the read", mark_on_device_ns + 1000000000, 88000},
        {"overrun the instant it is read", device_now_ns, 8000},
        {"trigger of the start, before the read", mark_on_device_ns - 1000000000, 120000},
        {"trigger at the read itself", mark_on_device_ns, 120000},
        {"trigger in the future", device_now_ns + 1, 120000},
        {"no status", 0, 120000},
    };
    for (const auto& c : cases) {
        const OverrunClock clock{
            {mark_ns, 0}, mark_ns + 3000000000, device_now_ns, c.trigger_ns, 8000};
        EXPECT_EQ(OverrunGapFrames(clock, kPeriod, kRate, kPlenty), c.gap_frames) << c.why;
    }
}

// What real time allows, and what a read that came back late lost: 40000
// Hz, 1000-frame periods and an 8000-frame buffer.
TEST(OverrunGapFrames, SilenceNeverPassesRealTimeNorStandsForAudioStillHeld)
{
    const struct {
        const char* why;
        int64_t elapsed_frames, timeline_frames;
        int64_t room_frames;
    } rooms[] = {
        {"whole periods behind real time", 10500, 7000, 3000},
        {"level with real time", 10000, 10000, 0},
        {"ahead of real time (a source faster than it)", 10000, 20000, 0},
    };
    for (const auto& c : rooms)
        EXPECT_EQ(
            RealTimeRoomFrames(c.elapsed_frames * kFrameNs, kRate, c.timeline_frames, kPeriod),
            c.room_frames)
            << c.why;

    const struct {
        const char* why;
        int64_t held_before, unread_frames, held_after;
        int64_t lost_frames;
    } reads[] = {
        {"a read on time", 2000, 1000, 2000, 0},
        {"late, but the buffer held it all", 0, 9000, 8000, 0},
        {"3 s away, the buffer held its 8000", 1000, 120000, 7000, 113000},
        {"3 s away, the device kept the newest", 1000, 120000, 0, 120000},
        {"a loss under half a period", 1000, 8400, 7999, 0},
        {"a period more than the buffer holds is no loss", 0, 9000, 7000, 0},
    };
    for (const auto& c : reads) {
        const DeviceMark before{7000000000, c.held_before};
        const DeviceMark after{before.at_ns + c.unread_frames * kFrameNs, c.held_after};
        EXPECT_EQ(UnreportedLossFrames(before, after, kPeriod, 8000, kPeriod, kRate), c.lost_frames)
            << c.why;
    }
    // The silence for a loss is stamped that many frames before the period read.
    EXPECT_EQ(FrameStampNs(7000000000, -1500, kPeriod, kRate), 7000000000 - 1500 * kFrameNs);
}

} // namespace

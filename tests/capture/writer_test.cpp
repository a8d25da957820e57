#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

#include "capture/writer.hpp"
#include "support.hpp"

namespace {

int NeverStopped()
{
    return 0;
}

int AlwaysStopped()
{
    return 1;
}

TEST(WriterQueue, HoldsTenSecondsAtEveryRateAndPeriod)
{
    for (const uint32_t rate : {44100u, 48000u, 88200u, 96000u}) {
        for (const int period : {32, 1024, 4096, 65536, 88200}) {
            SCOPED_TRACE(std::to_string(rate) + " Hz, period " + std::to_string(period));
            const uint32_t slots = QueuePeriods(rate, period);
            EXPECT_GE(int64_t{slots - 1} * period, int64_t{10} * rate);
        }
    }
}

// Both ends of the queue driven by hand, in one thread: 4 slots, slot 4 the
// silence, 5 and 6 the scratch slots.
TEST(WriterQueue, ReusesTheSlotFreedLastAndQueuesSilenceForPeriodsDroppedWhenFull)
{
    PeriodQueue queue;
    ASSERT_EQ(QueueInit(&queue, 4, 8), 0);
    // H: the capture thread's next slot; P: it is published `repeat` times
    // (or dropped); W: the writer's next entry, then given back.
    const struct {
        char op;
        uint32_t slot;
        int64_t repeat;
    } steps[] = {
        // clang-format off
        {'H', 0, 0}, {'P', 0, 1}, {'H', 1, 0}, {'P', 1, 3}, {'H', 2, 0}, {'P', 2, 1},
        {'W', 0, 1}, {'W', 1, 3}, {'W', 2, 1},
        // The slot freed last first, but not the one the meter has yet to scan.
        {'H', 1, 0}, {'P', 1, 1}, {'H', 2, 0}, {'P', 2, 1}, {'H', 0, 0}, {'P', 0, 1},
        {'H', 3, 0}, {'P', 3, 1},
        // Full: each period still has a slot to be read into, and is dropped.
        {'H', 5, 0}, {'P', 5, 1}, {'H', 6, 0}, {'P', 6, 2}, {'H', 5, 0}, {'P', 5, 1},
        {'W', 1, 1}, {'H', 1, 0}, {'P', 1, 1},
        {'W', 2, 1}, {'W', 0, 1}, {'W', 3, 1}, {'W', 4, 4}, {'W', 1, 1},
        // clang-format on
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        const auto& step = steps[i];
        QueueEntry entry{};
        bool room = false;
        switch (step.op) {
        case 'H':
            EXPECT_EQ(QueueHead(&queue, &room), QueueSlot(&queue, step.slot));
            EXPECT_EQ(room, step.slot < 4);
            std::memset(QueueHead(&queue, &room), static_cast<int>(i + 1), 16);
            break;
        case 'P':
            QueuePublish(&queue, step.repeat);
            EXPECT_EQ(QueuePrevious(&queue), QueueSlot(&queue, step.slot));
            break;
        default:
            ASSERT_TRUE(QueueNext(&queue, &entry));
            EXPECT_EQ(entry.slot, step.slot);
            EXPECT_EQ(entry.repeat, step.repeat);
            QueueRelease(&queue, entry);
        }
    }
    QueueEntry entry{};
    EXPECT_FALSE(QueueNext(&queue, &entry));
    EXPECT_EQ(QueueUnwrittenPeriods(&queue), 0u);
    EXPECT_EQ(std::string(QueueSlot(&queue, 4), 16), std::string(16, '\0'));
    QueueFree(&queue);
}

class WriterTest : public ::testing::Test {
  protected:
    void SetUp() override { dir = MakeTempDir(); }
    void TearDown() override
    {
        WriterFree(&writer);
        CloseOutputFiles(&files);
        RemoveTree(dir);
    }
    void Start(int channels, int period)
    {
        list = dir + "/a.wav\n" + dir + "/b.wav\n";
        scratch.assign(list.size() + 1, '\0');
        files.kept[0] = 1;
        files.kept[1] = channels == 2;
        ASSERT_EQ(OpenOutputFiles(&files, channels, 2, 0, list.data(), scratch.data(), 0, 1 << 20,
                                  44100, kNew),
                  0);
        ASSERT_EQ(WriterStart(&writer, &files, 0, 2, period, 44100), 0);
    }
    // Publishes one period whose every byte of channel c is `value` + c.
    void Publish(char value, int64_t repeat = 1)
    {
        ASSERT_TRUE(QueueWaitForRoom(&writer.queue, NeverStopped));
        bool room = false;
        char* slot = QueueHead(&writer.queue, &room);
        ASSERT_TRUE(room);
        std::memset(slot, value, writer.queue.plane_bytes);
        std::memset(slot + writer.queue.plane_bytes, value + 1, writer.queue.plane_bytes);
        QueuePublish(&writer.queue, repeat);
    }

    static constexpr MayReplace kNew[2] = {MayReplace::kNothing, MayReplace::kNothing};
    std::string dir, list;
    std::vector<char> scratch;
    OutputFiles files{};
    TakeWriter writer;
};

TEST_F(WriterTest, WritesEveryPeriodInOrderAndRepeatsSilence)
{
    Start(2, 32);
    // More periods than the queue holds: the loop waits for room.
    const int periods = static_cast<int>(writer.queue.slots) * 2;
    std::string left, right;
    for (int k = 0; k < periods; ++k) {
        Publish(static_cast<char>(k % 50));
        left += std::string(64, static_cast<char>(k % 50));
        right += std::string(64, static_cast<char>(k % 50 + 1));
    }
    Publish(0, 3);
    left += std::string(3 * 64, '\0');
    right += std::string(3 * 64, '\1');
    WriterFinish(&writer);
    int channel = -1;
    EXPECT_EQ(QueueError(&writer.queue, &channel), 0);
    EXPECT_EQ(files.frames_written[0], int64_t{periods + 3} * 32);
    CloseOutputFiles(&files);
    EXPECT_TRUE(SameBytes(ReadFile(dir + "/a.wav").substr(44), left));
    EXPECT_TRUE(SameBytes(ReadFile(dir + "/b.wav").substr(44), right));
}

TEST_F(WriterTest, AFailedWriteIsReportedToTheCaptureLoopNotPrinted)
{
    Start(1, 4096);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small{44 + 2 * 8192, old.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    ::testing::internal::CaptureStderr();
    const std::string out = CaptureStdout([&] {
        for (int k = 0; k < 3; ++k)
            Publish(7);
        WriterFinish(&writer);
    });
    const std::string err = ::testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    int channel = -1;
    EXPECT_EQ(QueueError(&writer.queue, &channel), EFBIG);
    EXPECT_EQ(channel, 0);
    // Everything after the failure was let go: the capture loop never waits.
    EXPECT_EQ(QueueUnwrittenPeriods(&writer.queue), 0u);
    EXPECT_TRUE(QueueWaitForRoom(&writer.queue, AlwaysStopped));
    EXPECT_EQ(files.frames_written[0], 2 * 4096);
    EXPECT_EQ(out + err, "");
}

} // namespace

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

TEST(WriterQueue, HoldsTenSecondsAndSyncsWithinTwoAtEveryRateAndPeriod)
{
    for (const uint32_t rate : {44100u, 48000u, 88200u, 96000u}) {
        for (const int period : {32, 1024, 4096, 65536, 88200}) {
            SCOPED_TRACE(std::to_string(rate) + " Hz, period " + std::to_string(period));
            const uint32_t slots = QueuePeriods(rate, period);
            EXPECT_GE(int64_t{slots - 1} * period, int64_t{10} * rate);
            const int64_t sync = SyncPeriods(rate, period);
            EXPECT_GE(sync, 1);
            EXPECT_LE(sync * period, int64_t{2} * rate);
        }
    }
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
        ASSERT_EQ(QueueWaitForRoom(&writer.queue, NeverStopped), Room::kReady);
        char* slot = QueueHead(&writer.queue);
        std::memset(slot, value, writer.queue.plane_bytes);
        std::memset(slot + writer.queue.plane_bytes, value + 1, writer.queue.plane_bytes);
        QueuePublish(&writer.queue, repeat);
    }

    static constexpr int32_t kNew[2] = {0, 0};
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
    EXPECT_EQ(QueueWaitForRoom(&writer.queue, NeverStopped), Room::kFailed);
    EXPECT_EQ(files.frames_written[0], 2 * 4096);
    EXPECT_EQ(out + err, "");
}

} // namespace

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "capture/console.hpp"

namespace {

std::string TakeAll(ConsoleQueue* queue, int* fd = nullptr)
{
    std::string all;
    char chunk[4096];
    int dest = 0;
    size_t n;
    while ((n = ConsoleQueueTake(queue, chunk, sizeof chunk, &dest)) > 0) {
        all.append(chunk, n);
        if (fd != nullptr)
            *fd = dest;
    }
    return all;
}

class ConsoleQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(ConsoleQueueInit(&queue, 8), 0); }
    void TearDown() override { ConsoleQueueFree(&queue); }
    void Print(const std::string& text, int fd = 1)
    {
        ConsoleQueueText(&queue, fd, text.data(), text.size());
    }
    ConsoleQueue queue;
};

TEST_F(ConsoleQueueTest, ATerminalThatKeepsUpGetsEveryByteInOrder)
{
    const std::string text = "Recording\n\rrem = 2.00 sec\t [  ] dB   \nRX\n\rrem = 1.00 sec" +
                             std::string(600, 'x') + "\n\nInput Channel Peaks:\n";
    Print(text.substr(0, 10));
    Print(text.substr(10));
    EXPECT_EQ(TakeAll(&queue), text);
    EXPECT_EQ(queue.dropped, 0u);
}

TEST_F(ConsoleQueueTest, ABlockedTerminalKeepsTheEventsAndOnlyTheNewestStatus)
{
    // Half the queue fills with status lines, then they replace each other.
    for (int i = 9; i >= 0; --i) {
        Print("\rrem = " + std::to_string(i));
        if (i == 5)
            Print("\nRX\n");
    }
    EXPECT_EQ(TakeAll(&queue), "\rrem = 9\rrem = 8\rrem = 7\rrem = 5\nRX\n\rrem = 0");
    EXPECT_EQ(queue.dropped, 5u);
}

TEST_F(ConsoleQueueTest, EventsBeyondTheBoundAreDropped)
{
    for (int i = 0; i < 10; ++i)
        Print("\nwarning " + std::to_string(i) + "\n");
    EXPECT_EQ(TakeAll(&queue), "\nwarning 0\n\nwarning 1\n\nwarning 2\n\nwarning 3\n\nwarning "
                               "4\n\nwarning 5\n\nwarning 6\n\nwarning 7\n");
    EXPECT_EQ(queue.dropped, 2u);
}

TEST_F(ConsoleQueueTest, StandardErrorTextIsNeverTakenForAStatusLine)
{
    for (int i = 0; i < 6; ++i)
        Print("\rrem = " + std::to_string(i));
    Print("\rCan't write a.wav\n", 2);
    int fd = 0;
    std::string out;
    char chunk[4096];
    size_t n;
    while ((n = ConsoleQueueTake(&queue, chunk, sizeof chunk, &fd)) > 0 && fd == 1)
        out.append(chunk, n);
    EXPECT_EQ(out, "\rrem = 0\rrem = 1\rrem = 2\rrem = 5");
    EXPECT_EQ(fd, 2);
    EXPECT_EQ(std::string(chunk, n), "\rCan't write a.wav\n");
}

// The producer rewrites the newest status line while the terminal thread
// may be taking it: every line taken is one that was printed, whole.
TEST_F(ConsoleQueueTest, AStatusLineTakenWhileItIsReplacedIsNeverTorn)
{
    std::set<std::string> printed;
    for (int i = 0; i < 20; ++i)
        printed.insert("\rrem = " + std::string(static_cast<size_t>(i) + 220, 'a' + i % 26));
    std::thread producer([&] {
        for (int round = 0; round < 2000; ++round)
            for (const std::string& line : printed)
                Print(line);
    });
    std::string taken;
    for (int i = 0; i < 20000; ++i)
        taken += TakeAll(&queue);
    producer.join();
    taken += TakeAll(&queue);
    for (size_t at = 0, next; at < taken.size(); at = next) {
        next = taken.find('\r', at + 1);
        ASSERT_EQ(printed.count(taken.substr(at, next - at)), 1u) << taken.substr(at, next - at);
    }
}

// An ALSA plugin's own thread may print while the capture thread does.
TEST(Console, TextOfAnotherThreadReachesTheTerminalWhole)
{
    ::testing::internal::CaptureStderr();
    Console console;
    ASSERT_EQ(ConsoleOpen(&console), 0);
    std::thread plugin([] { std::fprintf(stderr, "plugin: message\n"); });
    std::fprintf(stderr, "own\n");
    plugin.join();
    ConsoleClose(&console);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(err == "plugin: message\nown\n" || err == "own\nplugin: message\n") << err;
}

} // namespace

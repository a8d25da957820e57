// The hand-over between the capture thread and the writer: the two rings and
// the doorbells that wake each side, under two real threads.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "capture/capture.hpp"
#include "capture/writer.hpp"

namespace {

int NeverStopped()
{
    return 0;
}

// A million periods through a queue of 8 slots, each carrying its number:
// the writer side must get every one, once and in order. Every ring of
// the doorbell must reach a sleeper: a sleep that lasts its whole timeout
// while periods keep coming is a wake-up lost.
TEST(Doorbell, AMillionHandOversArriveInOrderAndNoSleepOutlastsItsTimeout)
{
    constexpr uint64_t kHandOvers = 1000000;
    constexpr int64_t kTimeoutNs = 5000000000;
    PeriodQueue queue;
    ASSERT_EQ(QueueInit(&queue, 8, sizeof(uint64_t)), 0);

    uint64_t received = 0;
    bool in_order = true;
    int64_t longest_sleep_ns = 0;
    std::thread writer([&] {
        for (;;) {
            QueueEntry entry;
            while (QueueNext(&queue, &entry)) {
                uint64_t number;
                std::memcpy(&number, QueueSlot(&queue, entry.slot), sizeof number);
                in_order = in_order && number == received && entry.repeat == 1;
                ++received;
                QueueRelease(&queue, entry);
            }
            if (queue.closed.load(std::memory_order_acquire) && !QueueNext(&queue, &entry))
                break;
            const int64_t start_ns = MonotonicNs();
            DoorbellSleep(&queue.bell, kTimeoutNs, [&] {
                return queue.ready_head.load(std::memory_order_relaxed) !=
                           queue.ready_tail.load(std::memory_order_relaxed) ||
                       queue.closed.load(std::memory_order_relaxed);
            });
            longest_sleep_ns = std::max(longest_sleep_ns, MonotonicNs() - start_ns);
        }
    });
    for (uint64_t number = 0; number < kHandOvers; ++number) {
        ASSERT_TRUE(QueueWaitForRoom(&queue, NeverStopped));
        bool room = false;
        char* slot = QueueHead(&queue, &room);
        ASSERT_TRUE(room);
        std::memcpy(slot, &number, sizeof number);
        QueuePublish(&queue, 1);
    }
    queue.closed.store(true, std::memory_order_release);
    DoorbellRing(&queue.bell);
    writer.join();
    QueueFree(&queue);

    EXPECT_EQ(received, kHandOvers);
    EXPECT_TRUE(in_order);
    EXPECT_LT(longest_sleep_ns, kTimeoutNs) << "a ring that woke nobody";
}

} // namespace

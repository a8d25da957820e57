// The queue of periods: two lock-free rings, the capture thread's stack of
// free slots, and the silence owed for periods dropped.
#include "capture/period_queue.hpp"

#include <cstdlib>
#include <sys/mman.h>

namespace {

// A capture thread waiting for room looks for a stop signal this often.
constexpr int64_t kRoomCheckNs = 100000000;

uint64_t PowerOfTwoAtLeast(uint64_t n)
{
    uint64_t p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

char* SlotAt(const PeriodQueue* queue, uint32_t slot)
{
    return queue->memory + size_t{slot} * 2 * queue->plane_bytes;
}

// Moves the slots the writer gave back onto the capture thread's stack, the
// one freed last on top.
void TakeFreed(PeriodQueue* queue)
{
    const uint64_t freed = queue->freed_head.load(std::memory_order_acquire);
    for (; queue->freed_taken != freed; ++queue->freed_taken) {
        const uint32_t slot = queue->freed[queue->freed_taken & queue->freed_mask];
        // The meter has yet to scan it: reused only after that.
        if (slot == queue->previous) {
            queue->previous_freed = true;
            continue;
        }
        queue->free_stack[queue->free_count++] = slot;
    }
}

void PushEntry(PeriodQueue* queue, QueueEntry entry)
{
    // The ring has room for every slot and a silence entry before each, so
    // it is never full: silence is queued only in front of a slot.
    const uint64_t head = queue->ready_head.load(std::memory_order_relaxed);
    queue->ready[head & queue->ready_mask] = entry;
    queue->ready_head.store(head + 1, std::memory_order_release);
    queue->queued_periods += static_cast<uint64_t>(entry.repeat);
    // From a source faster than real time the writer gets batches; at real
    // time it finds each period by itself. It sleeps only on an empty ring,
    // so the batch is complete when the count waiting reaches it: the ring
    // costs nothing more while a busy writer stays behind.
    if (head + 1 - queue->ready_tail.load(std::memory_order_relaxed) == queue->wake_entries)
        DoorbellRing(&queue->bell);
}

} // namespace

uint32_t QueuePeriods(uint32_t rate_hz, int period_frames)
{
    const uint64_t frames = static_cast<uint64_t>(kQueueSeconds) * rate_hz;
    const uint64_t period = period_frames > 0 ? static_cast<uint64_t>(period_frames) : 1;
    // One more than the seconds need: the slot being read is not yet queued.
    return static_cast<uint32_t>((frames + period - 1) / period + 1);
}

int QueueInit(PeriodQueue* queue, uint32_t slots, size_t plane_bytes)
{
    queue->slots = slots;
    queue->plane_bytes = plane_bytes;
    // The queue's slots, the silence, two scratch slots.
    queue->memory_bytes = (size_t{slots} + 3) * 2 * plane_bytes;
    queue->memory = static_cast<char*>(std::calloc(queue->memory_bytes, 1));
    const uint64_t ready_entries = PowerOfTwoAtLeast(2 * uint64_t{slots} + 2);
    const uint64_t freed_entries = PowerOfTwoAtLeast(slots);
    queue->ready = static_cast<QueueEntry*>(std::calloc(ready_entries, sizeof(QueueEntry)));
    queue->freed = static_cast<uint32_t*>(std::calloc(freed_entries, sizeof(uint32_t)));
    queue->free_stack = static_cast<uint32_t*>(std::calloc(slots, sizeof(uint32_t)));
    if (queue->memory == nullptr || queue->ready == nullptr || queue->freed == nullptr ||
        queue->free_stack == nullptr) {
        QueueFree(queue);
        return -1;
    }
    queue->ready_mask = ready_entries - 1;
    queue->freed_mask = freed_entries - 1;
    // Slot 0 on top: the first periods go to the first slots.
    for (uint32_t s = 0; s < slots; ++s)
        queue->free_stack[s] = slots - 1 - s;
    queue->free_count = slots;
    queue->previous = slots;
    queue->wake_entries = slots / 4 > 0 ? slots / 4 : 1;
    // Paging the queue in from swap mid-take would stall the capture; a
    // system that does not allow locking still records.
    mlock(queue->memory, queue->memory_bytes);
    return 0;
}

void QueueFree(PeriodQueue* queue)
{
    if (queue->memory != nullptr)
        munlock(queue->memory, queue->memory_bytes);
    std::free(queue->memory);
    std::free(queue->ready);
    std::free(queue->freed);
    std::free(queue->free_stack);
    queue->memory = nullptr;
    queue->ready = nullptr;
    queue->freed = nullptr;
    queue->free_stack = nullptr;
}

bool QueueRoom(PeriodQueue* queue)
{
    if (queue->head_set)
        return queue->head < queue->slots;
    TakeFreed(queue);
    return queue->free_count > 0;
}

bool QueueWaitForRoom(PeriodQueue* queue, int (*stopped)())
{
    while (!QueueRoom(queue)) {
        if (stopped())
            return false;
        DoorbellSleep(&queue->room_bell, kRoomCheckNs, [queue] {
            return queue->freed_head.load(std::memory_order_relaxed) != queue->freed_taken;
        });
    }
    return true;
}

char* QueueHead(PeriodQueue* queue, bool* room)
{
    if (!queue->head_set) {
        TakeFreed(queue);
        if (queue->free_count > 0) {
            queue->head = queue->free_stack[--queue->free_count];
        } else {
            // Not the scratch slot the meter has yet to scan.
            queue->head = queue->slots + 1;
            if (queue->previous == queue->head)
                ++queue->head;
        }
        queue->head_set = true;
    }
    *room = queue->head < queue->slots;
    return SlotAt(queue, queue->head);
}

const char* QueuePrevious(const PeriodQueue* queue)
{
    return SlotAt(queue, queue->previous);
}

void QueuePublish(PeriodQueue* queue, int64_t repeat, int64_t stamp_ns)
{
    if (!queue->head_set) {
        bool room = true;
        QueueHead(queue, &room);
    }
    const uint32_t slot = queue->head;
    queue->head_set = false;
    if (slot < queue->slots) {
        QueueOwedSilence(queue);
        PushEntry(queue, QueueEntry{slot, repeat, stamp_ns});
    } else {
        QueueOweSilence(queue, repeat, stamp_ns);
    }
    // The meter has scanned the slot before this one by now.
    if (queue->previous_freed) {
        queue->free_stack[queue->free_count++] = queue->previous;
        queue->previous_freed = false;
    }
    queue->previous = slot;
}

void QueueOweSilence(PeriodQueue* queue, int64_t periods, int64_t stamp_ns)
{
    if (queue->silence_owed == 0)
        queue->silence_owed_stamp_ns = stamp_ns;
    queue->silence_owed += periods;
}

void QueueOwedSilence(PeriodQueue* queue)
{
    if (queue->silence_owed == 0)
        return;
    PushEntry(queue, QueueEntry{queue->slots, queue->silence_owed, queue->silence_owed_stamp_ns});
    queue->silence_owed = 0;
}

uint64_t QueueUnwrittenPeriods(const PeriodQueue* queue)
{
    return queue->queued_periods - queue->written_periods.load(std::memory_order_acquire);
}

int QueueError(const PeriodQueue* queue, int* channel)
{
    const int err = queue->error.load(std::memory_order_acquire);
    *channel = err != 0 ? queue->error_channel : 0;
    return err;
}

bool QueueNext(PeriodQueue* queue, QueueEntry* entry, uint64_t ahead)
{
    const uint64_t at = queue->ready_tail.load(std::memory_order_relaxed) + ahead;
    if (at >= queue->ready_head.load(std::memory_order_acquire))
        return false;
    *entry = queue->ready[at & queue->ready_mask];
    return true;
}

const char* QueueSlot(const PeriodQueue* queue, uint32_t slot)
{
    return SlotAt(queue, slot);
}

void RecordFirstError(PeriodQueue* queue, int err, int channel)
{
    // Only the writer thread records errors, so the first one stays.
    if (queue->error.load(std::memory_order_relaxed) != 0)
        return;
    queue->error_channel = channel;
    queue->error.store(err, std::memory_order_release);
}

void QueueRelease(PeriodQueue* queue, const QueueEntry& entry)
{
    queue->released_periods += static_cast<uint64_t>(entry.repeat);
    queue->written_periods.store(queue->released_periods, std::memory_order_release);
    queue->ready_tail.store(queue->ready_tail.load(std::memory_order_relaxed) + 1,
                            std::memory_order_release);
    // Never full: it holds every slot, and each slot is given back once.
    if (entry.slot < queue->slots) {
        const uint64_t freed = queue->freed_head.load(std::memory_order_relaxed);
        queue->freed[freed & queue->freed_mask] = entry.slot;
        queue->freed_head.store(freed + 1, std::memory_order_release);
        // A capture thread waiting for room gets it in batches too.
        if ((freed + 1) % queue->wake_entries == 0)
            DoorbellRing(&queue->room_bell);
    }
}

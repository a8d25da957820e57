// The queue of whole periods between the capture loop and the writer thread.
//
// The capture thread takes no lock and makes no system call here while the
// writer keeps up. Slots travel in two single-producer single-consumer
// rings with atomic indices: the ready ring hands filled slots to the
// writer, the freed ring gives them back. The capture thread keeps the slots
// given back on a stack of its own and reads the next period into the one
// freed last, so while the disk keeps up the same few slots, warm in the
// cache, go round; the rest of the queue is touched only when the disk falls
// behind. When every slot waits for the disk, periods of a live device are
// still read on time, into a scratch slot, and dropped: silence is queued
// for them once a slot is free again, so the take keeps its timeline. A
// source that runs ahead of real time loses nothing by waiting for room.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "capture/doorbell.hpp"

// Seconds of audio the queue holds, whatever the format and mode.
inline constexpr int kQueueSeconds = 12;
// Periods of the queue for a take of `rate_hz` read `period_frames` at a time.
uint32_t QueuePeriods(uint32_t rate_hz, int period_frames);

// One entry of the ready ring: a slot, and how many times it is written
// (more than once only for silence that stands in for lost audio).
struct QueueEntry {
    uint32_t slot;
    int64_t repeat;
    // When its first frame was captured (CLOCK_REALTIME, ns); the periods
    // of a repeat follow it by a period each.
    int64_t stamp_ns;
};

struct PeriodQueue {
    // Set by QueueInit before the writer starts; read-only after.
    // Slots 0 .. slots - 1 of 2 planes each are the queue's; slot `slots`
    // holds silence and is never written into; the two after it are the
    // scratch slots of dropped periods. Zeroed, locked where allowed.
    char* memory = nullptr;
    size_t memory_bytes = 0;
    uint32_t slots = 0;
    size_t plane_bytes = 0;
    QueueEntry* ready = nullptr; // ring of ready_mask + 1 entries
    uint64_t ready_mask = 0;
    uint32_t* freed = nullptr; // ring of freed_mask + 1 slot numbers
    uint64_t freed_mask = 0;
    uint32_t* free_stack = nullptr; // slots capacity
    uint64_t wake_entries = 1;      // a writer asleep is woken for this many entries

    // Written only by the capture thread.
    alignas(64) std::atomic<uint64_t> ready_head{0}; // entries published
    std::atomic<bool> closed{false};                 // nothing more will be published
    uint64_t freed_taken = 0;                        // freed slots moved to the stack
    uint32_t free_count = 0;                         // slots on free_stack
    uint32_t head = 0; // where the next period is read (valid while head_set)
    bool head_set = false;
    uint32_t previous = 0;             // the slot published last, which the meter scans next
    bool previous_freed = false;       // the writer gave `previous` back before its scan
    int64_t silence_owed = 0;          // periods dropped since the last queued one
    int64_t silence_owed_stamp_ns = 0; // when the first of them was captured
    uint64_t queued_periods = 0;       // periods published, repeats and silence included

    // Written only by the writer thread.
    alignas(64) std::atomic<uint64_t> ready_tail{0}; // entries written
    std::atomic<uint64_t> freed_head{0};             // slots given back
    std::atomic<uint64_t> written_periods{0};        // or let go after a failure
    uint64_t released_periods = 0;                   // those of the entries written
    std::atomic<int> error{0};                       // errno of the writer's first failure
    int error_channel = 0;                           // set before `error`, read after it

    // The writer sleeps on `bell`, rung by the capture thread; the capture
    // thread on `room_bell` while it waits for room, rung by the writer.
    Doorbell bell;
    Doorbell room_bell;
};

int QueueInit(PeriodQueue* queue, uint32_t slots, size_t plane_bytes);
void QueueFree(PeriodQueue* queue);

// Capture thread.
// Between periods: whether a slot is free for the next one.
bool QueueRoom(PeriodQueue* queue);
// Waits until a slot is free, or `stopped` says so (false); checks `stopped`
// at least every 100 ms. For sources ahead of real time only.
bool QueueWaitForRoom(PeriodQueue* queue, int (*stopped)());
// The slot the next period is read into; its two planes are contiguous.
// Sets *room to false when every slot waits for the writer: the slot is then
// a scratch one, and what is read into it will be dropped. Never waits.
char* QueueHead(PeriodQueue* queue, bool* room);
// The slot published or dropped last (zeroes before the first period);
// valid until the next QueuePublish.
const char* QueuePrevious(const PeriodQueue* queue);
// Hands the head slot to the writer, to be written `repeat` times, after
// the silence owed for periods dropped before it; or, when the head is a
// scratch slot, drops it and owes `repeat` periods of silence. `stamp_ns`:
// when its first frame was captured (CLOCK_REALTIME), for a series' names.
void QueuePublish(PeriodQueue* queue, int64_t repeat, int64_t stamp_ns = 0);
// Owes `periods` of silence more, queued before the next period published;
// the first owed stands for audio captured at `stamp_ns`.
void QueueOweSilence(PeriodQueue* queue, int64_t periods, int64_t stamp_ns = 0);
// Queues the silence owed for the periods dropped last, if any.
void QueueOwedSilence(PeriodQueue* queue);
// Periods published (silence and repeats included) that the writer has not
// written yet.
uint64_t QueueUnwrittenPeriods(const PeriodQueue* queue);
// The errno of the writer's first failure (0: none) and its channel.
int QueueError(const PeriodQueue* queue, int* channel);

// Writer thread.
// The oldest entry not yet written (or the one `ahead` entries after it);
// false when none waits.
bool QueueNext(PeriodQueue* queue, QueueEntry* entry, uint64_t ahead = 0);
// The two planes of `slot`.
const char* QueueSlot(const PeriodQueue* queue, uint32_t slot);
// Keeps the writer's first failure (errno) with the channel of its file,
// for QueueError; a later one is dropped.
void RecordFirstError(PeriodQueue* queue, int err, int channel);
// Done with the entry QueueNext gave: gives its slot back.
void QueueRelease(PeriodQueue* queue, const QueueEntry& entry);

// Write-behind: the queue of periods and the writer thread.
#include "capture/writer.hpp"

#include "capture/capture.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// A writer with nothing to do looks for work this often by itself: at real
// time that is all it needs, and the capture thread never has to wake it.
constexpr int64_t kWriterCheckNs = 50000000;
// What the writer hands the kernel at most in one write, when periods wait:
// few system calls, and a batch that stays in the cache.
constexpr size_t kWriteBatchBytes = 262144;
// A take of open length reserves this much ahead at a time.
constexpr int kReserveAheadSeconds = 60;
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

// Only the writer thread records errors, so the first one stays.
void RecordFirstError(PeriodQueue* queue, int err, int channel)
{
    if (queue->error.load(std::memory_order_relaxed) != 0)
        return;
    queue->error_channel = channel;
    queue->error.store(err, std::memory_order_release);
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

struct SyncClock {
    bool unsynced;     // written since the last sync
    int64_t oldest_ns; // when the oldest write not yet synced was made
};

// The one place where the writer makes its files durable. A take of open
// length first states in each header the whole periods written, so that
// what a power cut leaves is a valid file of what reached the disk.
void MakeFilesDurable(TakeWriter* writer)
{
    OutputFiles* files = writer->files;
    int channel = 0;
    int err = 0;
    for (int c = 0; c < 2 && writer->open_length && err == 0; ++c) {
        if (files->file[c] != nullptr && files->regular[c]) {
            channel = c;
            err = RewriteSizes(fileno(files->file[c]), files->frames_written[c],
                               writer->bytes_per_frame, files->header_bytes[c]);
        }
    }
    const int64_t written = writer->written_frames.load(std::memory_order_relaxed);
    if (err == 0)
        err = SyncOutputFiles(files, &channel);
    if (err != 0)
        RecordFirstError(&writer->queue, err, channel);
    else
        writer->durable_frames.store(written, std::memory_order_relaxed);
}

// A take of open length: how many of the `count` periods about to be
// written have room on the disk, reserving a minute ahead while it can.
// None when the disk (or the file-size limit) holds no more: the failure
// is recorded, and the take ends at its last whole period.
int RoomForPeriods(TakeWriter* writer, int count)
{
    const int64_t period = writer->period_frames;
    const int64_t written = writer->written_frames.load(std::memory_order_relaxed);
    if (written + count * period <= writer->reserved_frames)
        return count;
    int channel = 0;
    int err = ReserveAhead(writer->files, writer->reserved_frames, writer->reserve_frames,
                           writer->bytes_per_frame, &channel);
    if (err == 0) {
        writer->reserved_frames += writer->reserve_frames;
        const int64_t room = (writer->reserved_frames - written) / period;
        return room < count ? static_cast<int>(room) : count;
    }
    if (writer->space_low.load(std::memory_order_relaxed) == 0) {
        writer->space_low_channel = channel;
        writer->space_low.store(err, std::memory_order_release);
    }
    // Less than a minute left: this batch alone, as much of it as fits.
    for (int fit = count; fit > 0; --fit) {
        const int64_t end = written + fit * period;
        if (end <= writer->reserved_frames)
            return fit;
        err = ReserveAhead(writer->files, writer->reserved_frames, end - writer->reserved_frames,
                           writer->bytes_per_frame, &channel);
        if (err == 0) {
            writer->reserved_frames = end;
            return fit;
        }
    }
    RecordFirstError(&writer->queue, err, channel);
    return 0;
}

// Syncs once the oldest write not yet durable is the interval old: every
// write is durable within the interval and one sync, and a slow sync still
// leaves the writer the interval to catch up. Returns the ns until the next
// sync is due, or -1 when nothing waits for one.
int64_t SyncIfDue(TakeWriter* writer, SyncClock* clock)
{
    if (!clock->unsynced)
        return -1;
    const int64_t due_ns = clock->oldest_ns + kSyncIntervalNs - MonotonicNs();
    if (due_ns > 0)
        return due_ns;
    MakeFilesDurable(writer);
    clock->unsynced = false;
    return -1;
}

void NoteWritten(SyncClock* clock)
{
    if (!clock->unsynced) {
        clock->unsynced = true;
        clock->oldest_ns = MonotonicNs();
    }
}

// The periods at the head of the ready ring, up to `most`, from period
// `done` of the first entry on: the slot of each.
int GatherPeriods(PeriodQueue* queue, int64_t done, int most, const char** slots)
{
    int count = 0;
    QueueEntry entry;
    for (uint64_t ahead = 0; count < most && QueueNext(queue, &entry, ahead); ++ahead) {
        const char* planes = QueueSlot(queue, entry.slot);
        for (int64_t r = ahead == 0 ? done : 0; r < entry.repeat && count < most; ++r)
            slots[count++] = planes;
    }
    return count;
}

// Gives back the entries whose periods are all written; *done counts those
// written of the entry left at the head.
void ReleaseWritten(PeriodQueue* queue, int64_t periods, int64_t* done)
{
    *done += periods;
    QueueEntry entry;
    while (QueueNext(queue, &entry) && *done >= entry.repeat) {
        *done -= entry.repeat;
        QueueRelease(queue, entry);
    }
    queue->written_periods.store(queue->released_periods + static_cast<uint64_t>(*done),
                                 std::memory_order_release);
}

// Mono files from a device that delivers frames: each period's channels
// split into planes in the interleave buffer; left[k] and right[k] are
// pointed at them (channel 2's only when it has a file).
void SplitFrames(TakeWriter* writer, const char** left, const char** right, int count)
{
    const size_t plane_bytes = writer->queue.plane_bytes;
    const bool both = writer->files->kept[1] != 0;
    for (int k = 0; k < count; ++k) {
        char* planes = writer->interleave_buf + static_cast<size_t>(k) * 2 * plane_bytes;
        Deinterleave(writer->period_frames, static_cast<int>(writer->sample_bytes), left[k], planes,
                     both ? planes + plane_bytes : nullptr);
        left[k] = planes;
        right[k] = planes + plane_bytes;
    }
}

// Writes what waits, a few periods per system call: one at real time, more
// for a writer that has fallen behind or a source faster than real time.
// After a failure the rest of the take is only taken off the queue, so the
// capture loop never waits for a writer that no longer writes.
void WriteWaiting(TakeWriter* writer, SyncClock* clock)
{
    PeriodQueue* queue = &writer->queue;
    const char* left[kMaxPeriodsPerWrite];
    const char* right[kMaxPeriodsPerWrite];
    int64_t done = 0; // periods written of the entry at the head
    QueueEntry entry;
    while (QueueNext(queue, &entry)) {
        if (queue->error.load(std::memory_order_relaxed) != 0) {
            QueueRelease(queue, entry);
            done = 0;
            continue;
        }
        int count = GatherPeriods(queue, done, writer->batch_periods, left);
        if (writer->open_length)
            count = RoomForPeriods(writer, count);
        if (count == 0)
            continue;
        const bool frames_to_file = writer->frames_in_slot && writer->interleave == 1;
        if (writer->frames_in_slot && !frames_to_file)
            SplitFrames(writer, left, right, count);
        else
            for (int k = 0; k < count; ++k)
                right[k] = left[k] + queue->plane_bytes;
        int channel = 0;
        const int err = WritePeriodsQuietly(
            writer->files, writer->interleave, writer->sample_bytes, writer->period_frames, left,
            frames_to_file ? nullptr : right, count, writer->interleave_buf, &channel);
        if (err != 0) {
            RecordFirstError(queue, err, channel);
            continue;
        }
        writer->written_frames.store(writer->written_frames.load(std::memory_order_relaxed) +
                                         int64_t{count} * writer->period_frames,
                                     std::memory_order_relaxed);
        ReleaseWritten(queue, count, &done);
        NoteWritten(clock);
        SyncIfDue(writer, clock);
    }
}

void* WriterThreadMain(void* arg)
{
    TakeWriter* writer = static_cast<TakeWriter*>(arg);
    PeriodQueue* queue = &writer->queue;
    OutputFiles* files = writer->files;
    // The headers, written before, are not durable yet either.
    SyncClock clock{true, MonotonicNs()};

    // A file that exists only in the page cache of its folder is lost with
    // the power; its name is made durable before its first period.
    int folder_channel = 0;
    const int folder_err = SyncMadeFolders(files, &folder_channel);
    if (folder_err != 0)
        RecordFirstError(queue, folder_err, folder_channel);

    QueueEntry entry;
    for (;;) {
        WriteWaiting(writer, &clock);
        int64_t timeout_ns = kWriterCheckNs;
        if (queue->error.load(std::memory_order_relaxed) == 0) {
            const int64_t sync_in_ns = SyncIfDue(writer, &clock);
            if (sync_in_ns >= 0 && sync_in_ns < timeout_ns)
                timeout_ns = sync_in_ns;
        }
        // Closed after the last entry was published: once it is written,
        // nothing more comes.
        if (queue->closed.load(std::memory_order_acquire)) {
            if (!QueueNext(queue, &entry))
                break;
            continue;
        }
        DoorbellSleep(&queue->bell, timeout_ns, [queue] {
            return queue->ready_head.load(std::memory_order_relaxed) !=
                       queue->ready_tail.load(std::memory_order_relaxed) ||
                   queue->closed.load(std::memory_order_relaxed);
        });
    }
    return nullptr;
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

void QueuePublish(PeriodQueue* queue, int64_t repeat)
{
    if (!queue->head_set) {
        bool room = true;
        QueueHead(queue, &room);
    }
    const uint32_t slot = queue->head;
    queue->head_set = false;
    if (slot < queue->slots) {
        QueueOwedSilence(queue);
        PushEntry(queue, QueueEntry{slot, repeat});
    } else {
        queue->silence_owed += repeat;
    }
    // The meter has scanned the slot before this one by now.
    if (queue->previous_freed) {
        queue->free_stack[queue->free_count++] = queue->previous;
        queue->previous_freed = false;
    }
    queue->previous = slot;
}

void QueueOweSilence(PeriodQueue* queue, int64_t periods)
{
    queue->silence_owed += periods;
}

void QueueOwedSilence(PeriodQueue* queue)
{
    if (queue->silence_owed == 0)
        return;
    PushEntry(queue, QueueEntry{queue->slots, queue->silence_owed});
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

int WriterStart(TakeWriter* writer, OutputFiles* files, int interleave, uint32_t sample_bytes,
                int period_frames, uint32_t rate_hz, bool open_length, bool frames_in_slot)
{
    writer->open_length = open_length;
    writer->frames_in_slot = frames_in_slot;
    writer->bytes_per_frame = sample_bytes * (interleave == 1 ? 2 : 1);
    writer->reserve_frames = (int64_t{kReserveAheadSeconds} * rate_hz + period_frames - 1) /
                             period_frames * period_frames;
    writer->reserved_frames = 0;
    writer->written_frames.store(0, std::memory_order_relaxed);
    writer->durable_frames.store(0, std::memory_order_relaxed);
    writer->space_low.store(0, std::memory_order_relaxed);
    writer->files = files;
    writer->interleave = interleave;
    writer->sample_bytes = sample_bytes;
    writer->period_frames = period_frames;
    writer->rate_hz = rate_hz;
    const size_t plane_bytes = static_cast<size_t>(period_frames) * sample_bytes;
    const size_t batch = kWriteBatchBytes / (2 * plane_bytes);
    writer->batch_periods = batch < 1                     ? 1
                            : batch > kMaxPeriodsPerWrite ? kMaxPeriodsPerWrite
                                                          : static_cast<int>(batch);
    writer->interleave_buf = static_cast<char*>(
        std::malloc(static_cast<size_t>(writer->batch_periods) * 2 * plane_bytes));
    if (writer->interleave_buf == nullptr ||
        QueueInit(&writer->queue, QueuePeriods(rate_hz, period_frames), plane_bytes) != 0) {
        WriterFree(writer);
        return -1;
    }
    const int started = StartThreadWithoutSignals(&writer->thread, WriterThreadMain, writer);
    if (started != 0) {
        WriterFree(writer);
        return -1;
    }
    writer->running = true;
    return 0;
}

void WriterFinish(TakeWriter* writer)
{
    if (!writer->running)
        return;
    QueueOwedSilence(&writer->queue);
    writer->queue.closed.store(true, std::memory_order_release);
    DoorbellRing(&writer->queue.bell);
    pthread_join(writer->thread, nullptr);
    writer->running = false;
}

void WriterFree(TakeWriter* writer)
{
    WriterFinish(writer);
    QueueFree(&writer->queue);
    std::free(writer->interleave_buf);
    writer->interleave_buf = nullptr;
}

double WriterPendingSeconds(const TakeWriter* writer)
{
    const int64_t unwritten =
        static_cast<int64_t>(QueueUnwrittenPeriods(&writer->queue)) * writer->period_frames;
    const int64_t unsynced = writer->written_frames.load(std::memory_order_relaxed) -
                             writer->durable_frames.load(std::memory_order_relaxed);
    return static_cast<double>(unwritten + unsynced) / writer->rate_hz;
}

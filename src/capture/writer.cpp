// Write-behind: the writer thread, which writes, reserves and syncs.
#include "capture/writer.hpp"

#include "capture/capture.hpp"
#include "capture/writer_room.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// A writer with nothing to do looks for work this often by itself: at real
// time that is all it needs, and the capture thread never has to wake it.
constexpr int64_t kWriterCheckNs = 50000000;
// What the writer hands the kernel at most in one write, when periods wait:
// few system calls, and a batch that stays in the cache.
constexpr size_t kWriteBatchBytes = 262144;
// A take of open length reserves this much ahead at a time.
constexpr int kReserveAheadSeconds = 60;

struct SyncClock {
    bool unsynced;     // written since the last sync
    int64_t oldest_ns; // when the oldest write not yet synced was made
};

// The one place where the writer makes its files durable. A take of open
// length, and a series, first state in each header what was written, so
// that what a power cut leaves is a valid file of what reached the disk.
void MakeFilesDurable(TakeWriter* writer)
{
    OutputFiles* files = writer->files;
    int channel = 0;
    int err = 0;
    for (int c = 0; c < 2 && files->open_length && err == 0; ++c) {
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
// `done` of the first entry on: the slot of each, and when its first frame
// was captured.
int GatherPeriods(const TakeWriter* writer, int64_t done, int most, const char** slots,
                  int64_t* stamps_ns)
{
    const PeriodQueue* queue = &writer->queue;
    const int period = writer->period_frames;
    int count = 0;
    QueueEntry entry;
    for (uint64_t ahead = 0;
         count < most && QueueNext(const_cast<PeriodQueue*>(queue), &entry, ahead); ++ahead) {
        const char* planes = QueueSlot(queue, entry.slot);
        for (int64_t r = ahead == 0 ? done : 0; r < entry.repeat && count < most; ++r) {
            stamps_ns[count] = FrameStampNs(entry.stamp_ns, r * period, period, writer->rate_hz);
            slots[count++] = planes;
        }
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
    int64_t stamps_ns[kMaxPeriodsPerWrite];
    int64_t done = 0; // periods written of the entry at the head
    QueueEntry entry;
    while (QueueNext(queue, &entry)) {
        if (queue->error.load(std::memory_order_relaxed) != 0) {
            QueueRelease(queue, entry);
            done = 0;
            continue;
        }
        int count = GatherPeriods(writer, done, writer->batch_periods, left, stamps_ns);
        if (writer->open_length && writer->series == nullptr)
            count = RoomForPeriods(writer, count);
        if (count == 0)
            continue;
        const bool frames_to_file = writer->frames_in_slot && writer->interleave == 1;
        if (writer->frames_in_slot && !frames_to_file)
            SplitFrames(writer, left, right, count);
        else
            for (int k = 0; k < count; ++k)
                right[k] = left[k] + queue->plane_bytes;
        if (writer->series != nullptr) {
            if (!WriteToSeries(writer, left, frames_to_file ? nullptr : right, stamps_ns, count))
                continue;
        } else {
            int channel = 0;
            const int err = WritePeriodsQuietly(
                writer->files, writer->interleave, writer->sample_bytes, writer->period_frames,
                left, frames_to_file ? nullptr : right, count, writer->interleave_buf, &channel);
            if (err != 0) {
                RecordFirstError(queue, err, channel);
                continue;
            }
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

int WriterStart(TakeWriter* writer, OutputFiles* files, int interleave, uint32_t sample_bytes,
                int period_frames, uint32_t rate_hz, bool open_length, bool frames_in_slot)
{
    writer->open_length = open_length;
    writer->frames_in_slot = frames_in_slot;
    writer->bytes_per_frame = BytesPerFrame(sample_bytes, interleave);
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
        return ENOMEM;
    }
    const int started = StartThreadWithoutSignals(&writer->thread, WriterThreadMain, writer);
    if (started != 0) {
        WriterFree(writer);
        return started;
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

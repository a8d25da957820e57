// Write-behind: the queue of periods and the writer thread.
#include "capture/writer.hpp"

#include "capture/capture.hpp"

#include <cerrno>
#include <climits>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr auto kRoomCheck = std::chrono::milliseconds(100);
constexpr auto kWriterCheck = std::chrono::milliseconds(50);
constexpr int64_t kBatchNs = 20000000;

void Fail(PeriodQueue* queue, int err, int channel)
{
    std::lock_guard<std::mutex> hold(queue->lock);
    if (queue->error == 0) {
        queue->error = err;
        queue->error_channel = channel;
    }
}

// Writes one slot, `repeat` times; after a failure the rest of the take is
// only taken off the queue, so the capture loop never waits for a writer
// that no longer writes.
void WriteSlot(TakeWriter* writer, const char* planes, int64_t repeat, int64_t* since_sync)
{
    PeriodQueue* queue = &writer->queue;
    for (int64_t r = 0; r < repeat; ++r) {
        int channel = 0;
        int err = WritePeriodQuietly(writer->files, writer->interleave, writer->sample_bytes,
                                     writer->period_frames, planes, planes + queue->plane_bytes,
                                     writer->interleave_buf, &channel);
        if (err == 0 && ++*since_sync >= writer->sync_periods) {
            *since_sync = 0;
            err = SyncOutputFiles(writer->files, &channel);
        }
        if (err != 0) {
            Fail(queue, err, channel);
            return;
        }
    }
}

void* WriterMain(void* arg)
{
    TakeWriter* writer = static_cast<TakeWriter*>(arg);
    PeriodQueue* queue = &writer->queue;
    OutputFiles* files = writer->files;

    // A file that exists only in the page cache of its folder is lost with
    // the power; its name is made durable before its first period.
    int folder_channel = 0;
    const int folder_err = SyncMadeFolders(files, &folder_channel);
    if (folder_err != 0)
        Fail(queue, folder_err, folder_channel);

    int64_t since_sync = 0;
    std::unique_lock<std::mutex> hold(queue->lock);
    for (;;) {
        // Woken by a batch of periods, or by the end; the time-out takes the
        // last few periods of a batch that never filled.
        while (!queue->closed && queue->produced == queue->consumed)
            queue->changed.wait_for(hold, kWriterCheck);
        if (queue->produced == queue->consumed)
            break; // closed, and everything written
        const uint32_t index = static_cast<uint32_t>(queue->consumed % queue->slots);
        const int64_t repeat = queue->repeat[index];
        const bool failed = queue->error != 0;
        hold.unlock();
        if (!failed)
            WriteSlot(writer, queue->memory + index * 2 * queue->plane_bytes, repeat, &since_sync);
        hold.lock();
        ++queue->consumed;
        if (queue->waiting)
            queue->changed.notify_all();
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

int64_t SyncPeriods(uint32_t rate_hz, int period_frames)
{
    const int64_t periods =
        static_cast<int64_t>(kSyncSeconds) * rate_hz / (period_frames > 0 ? period_frames : 1);
    return periods > 0 ? periods : 1;
}

int QueueInit(PeriodQueue* queue, uint32_t slots, size_t plane_bytes)
{
    queue->slots = slots;
    queue->plane_bytes = plane_bytes;
    queue->memory_bytes = static_cast<size_t>(slots) * 2 * plane_bytes;
    queue->memory = static_cast<char*>(std::calloc(queue->memory_bytes, 1));
    queue->repeat = static_cast<int64_t*>(std::calloc(slots, sizeof(int64_t)));
    if (queue->memory == nullptr || queue->repeat == nullptr) {
        QueueFree(queue);
        return -1;
    }
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
    std::free(queue->repeat);
    queue->memory = nullptr;
    queue->repeat = nullptr;
}

char* QueueHead(PeriodQueue* queue)
{
    const uint32_t index = static_cast<uint32_t>(queue->produced % queue->slots);
    return queue->memory + index * 2 * queue->plane_bytes;
}

const char* QueuePrevious(PeriodQueue* queue)
{
    const uint32_t index =
        static_cast<uint32_t>((queue->produced + queue->slots - 1) % queue->slots);
    return queue->memory + index * 2 * queue->plane_bytes;
}

Room QueueWaitForRoom(PeriodQueue* queue, int (*stopped)())
{
    std::unique_lock<std::mutex> hold(queue->lock);
    for (;;) {
        if (queue->error != 0)
            return Room::kFailed;
        if (queue->produced - queue->consumed < queue->slots)
            return Room::kReady;
        if (stopped())
            return Room::kStopped;
        queue->waiting = true;
        queue->changed.wait_for(hold, kRoomCheck);
        queue->waiting = false;
    }
}

void QueuePublish(PeriodQueue* queue, int64_t repeat)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(queue->lock);
        queue->repeat[queue->produced % queue->slots] = repeat;
        ++queue->produced;
        // At real time every period wakes the writer; a source faster than
        // that (a plugin, the null device) hands over batches, so that a
        // wake-up per period does not cost more than the period's work.
        const int64_t now = MonotonicNs();
        if (queue->produced - queue->consumed >= queue->slots / 8 ||
            now - queue->woken_ns >= kBatchNs) {
            queue->woken_ns = now;
            wake = true;
        }
    }
    if (wake)
        queue->changed.notify_all();
}

int QueueError(PeriodQueue* queue, int* channel)
{
    std::lock_guard<std::mutex> hold(queue->lock);
    *channel = queue->error_channel;
    return queue->error;
}

int WriterStart(TakeWriter* writer, OutputFiles* files, int interleave, uint32_t sample_bytes,
                int period_frames, uint32_t rate_hz)
{
    writer->files = files;
    writer->interleave = interleave;
    writer->sample_bytes = sample_bytes;
    writer->period_frames = period_frames;
    writer->sync_periods = SyncPeriods(rate_hz, period_frames);
    const size_t plane_bytes = static_cast<size_t>(period_frames) * sample_bytes;
    writer->interleave_buf = static_cast<char*>(std::malloc(2 * plane_bytes));
    if (writer->interleave_buf == nullptr ||
        QueueInit(&writer->queue, QueuePeriods(rate_hz, period_frames), plane_bytes) != 0) {
        WriterFree(writer);
        return -1;
    }
    const int started = StartThreadWithoutSignals(&writer->thread, WriterMain, writer);
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
    {
        std::lock_guard<std::mutex> hold(writer->queue.lock);
        writer->queue.closed = true;
    }
    writer->queue.changed.notify_all();
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

// Write-behind: a queue of whole periods between the capture loop and a
// writer thread that alone writes and syncs the output files, so a disk
// that stalls for seconds costs no audio.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <pthread.h>

#include "wav/wav.hpp"

// Seconds of audio the queue holds, whatever the format and mode.
inline constexpr int kQueueSeconds = 12;
// The writer makes its files durable at least this often, in audio time.
inline constexpr int kSyncSeconds = 2;

// Periods of the queue for a take of `rate_hz` read `period_frames` at a time.
uint32_t QueuePeriods(uint32_t rate_hz, int period_frames);
// Periods between two syncs: at most kSyncSeconds of audio, at least one.
int64_t SyncPeriods(uint32_t rate_hz, int period_frames);

// One slot holds the two channel planes of a period as they were read;
// `repeat` is how many times the writer writes it (more than once only for
// the silence that stands in for audio an overrun lost).
struct PeriodQueue {
    char* memory = nullptr; // slots × 2 planes, zeroed, locked where allowed
    size_t memory_bytes = 0;
    int64_t* repeat = nullptr;
    uint32_t slots = 0;
    size_t plane_bytes = 0;
    uint64_t produced = 0; // periods published by the capture loop
    uint64_t consumed = 0; // periods the writer is done with
    bool closed = false;   // nothing more will be published
    bool waiting = false;  // the capture loop waits for room
    int64_t woken_ns = 0;  // when the writer was last woken
    int error = 0;         // errno of the writer's first failure
    int error_channel = 0;
    std::mutex lock;
    std::condition_variable changed;
};

int QueueInit(PeriodQueue* queue, uint32_t slots, size_t plane_bytes);
void QueueFree(PeriodQueue* queue);
// The slot the next period is read into; its two planes are contiguous.
char* QueueHead(PeriodQueue* queue);
// The slot published last (zeroes before the first period).
const char* QueuePrevious(PeriodQueue* queue);

enum class Room { kReady, kStopped, kFailed };

// Waits until the head slot is free, the writer has failed, or `stopped`
// says so; checks `stopped` at least every 100 ms.
Room QueueWaitForRoom(PeriodQueue* queue, int (*stopped)());
// Hands the head slot to the writer.
void QueuePublish(PeriodQueue* queue, int64_t repeat);
// The errno of the writer's first failure (0: none) and its channel.
int QueueError(PeriodQueue* queue, int* channel);

struct TakeWriter {
    PeriodQueue queue;
    OutputFiles* files = nullptr;
    int interleave = 0;
    uint32_t sample_bytes = 0;
    int period_frames = 0;
    int64_t sync_periods = 1;
    char* interleave_buf = nullptr;
    pthread_t thread{};
    bool running = false;
};

// Allocates the queue and starts the writer, which first syncs the folders
// of the files this run created. Returns 0, or -1 without memory or thread.
int WriterStart(TakeWriter* writer, OutputFiles* files, int interleave, uint32_t sample_bytes,
                int period_frames, uint32_t rate_hz);
// Lets the writer write everything published, then stops it.
void WriterFinish(TakeWriter* writer);
void WriterFree(TakeWriter* writer);

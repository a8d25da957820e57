// Write-behind: a writer thread that alone writes and syncs the output
// files, fed by the queue of periods, so a disk that stalls for seconds
// costs no audio.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <string>

#include "capture/period_queue.hpp"
#include "wav/wav.hpp"

// The writer makes what it wrote durable once the oldest write not yet
// durable is this old, in wall-clock time: every 2 s of audio from a live
// device, and no sync storm from a source faster than real time.
inline constexpr int64_t kSyncIntervalNs = 2000000000;

struct Series;

struct TakeWriter {
    PeriodQueue queue;
    // Set by WriterStart; then used by the writer thread only.
    OutputFiles* files = nullptr;
    int interleave = 0;
    uint32_t sample_bytes = 0;
    int period_frames = 0;
    uint32_t rate_hz = 0;
    int batch_periods = 1;          // the most periods written at once
    char* interleave_buf = nullptr; // room for them interleaved
    // The slots hold frames as the device delivered them, not planes: the
    // stereo file takes them as they are, mono files get them split.
    bool frames_in_slot = false;
    // A take across files: the series the writer opens, seals and renames
    // as it goes (the writer's alone until it stops); null otherwise.
    Series* series = nullptr;
    // A take of open length reserves its space as it goes, a minute ahead,
    // and states in its headers what it holds before each sync.
    bool open_length = false;
    uint32_t bytes_per_frame = 0;
    int64_t reserve_frames = 0;  // whole periods of a minute
    int64_t reserved_frames = 0; // reserved so far
    // Written by the writer; read by the terminal thread while the take
    // ends, to say how much audio has yet to reach the disk.
    std::atomic<int64_t> written_frames{0}; // written so far, in every file
    std::atomic<int64_t> durable_frames{0}; // of those, synced
    // Set by the writer once less than a minute of room is left: the errno
    // that said so (ENOSPC, EDQUOT: the disk; EFBIG: the file-size limit),
    // and the channel of the file concerned. Read by the capture thread.
    std::atomic<int> space_low{0};
    std::string space_low_name; // of the file concerned, set before `space_low`
    // Started and joined by the capture thread.
    pthread_t thread{};
    bool running = false;
};

// Allocates the queue and starts the writer, which first syncs the folders
// of the files this run created. Returns 0; ENOMEM without memory; or the
// error of the thread that could not be started.
int WriterStart(TakeWriter* writer, OutputFiles* files, int interleave, uint32_t sample_bytes,
                int period_frames, uint32_t rate_hz, bool open_length = false,
                bool frames_in_slot = false);
// Queues the silence still owed, lets the writer write everything
// published, then stops it.
void WriterFinish(TakeWriter* writer);
void WriterFree(TakeWriter* writer);
// Seconds of audio published that are not yet durable: not written, or
// written since the writer's last sync.
double WriterPendingSeconds(const TakeWriter* writer);

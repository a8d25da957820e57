// One take, from its plan to its report: what it owns, what it has
// recorded, and its phases. Inside the capture engine only; RECORD is the
// way in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/capture.hpp"
#include "capture/console.hpp"
#include "capture/device.hpp"
#include "capture/writer.hpp"
#include "wav/series.hpp"
#include "wav/wav.hpp"

// The recording request, as RECORD received it.
struct TakeRequest {
    const char* device_name;
    uint32_t rate_hz;
    float duration_s;
    int32_t channels;
    uint32_t sample_bytes;
    int32_t auto_naming;
    char* file_list;
    char* scratch;
    int32_t interleave;
    const MayReplace* may_replace;
    const AnsweredFile* pinned;
    double split_s; // 0: no series
};

// Everything a take holds is released by EndTake, in the order of the
// fields below that say so; the capture thread alone reads and writes this.
struct Take {
    TakeRequest request;

    // The plan, fixed before the first file is made.
    int period_frames = 0;
    size_t plane_bytes = 0;
    uint32_t bytes_per_frame = 0;
    bool open_length = false; // records until it is stopped
    int64_t planned_frames = kOpenLength;
    int64_t reserved_frames = 0; // before the first period: all of a planned take

    // Released first: capture stops, and a plugin's threads end with it.
    CaptureDevice device;
    // Then the writer thread, once it has written everything captured.
    TakeWriter writer;
    // Then the files: sealed, synced and closed after a take, removed when
    // it never started.
    OutputFiles files{};
    Series series; // a take across files: split_frames is not 0
    // Then the terminal thread, with the standard streams it holds.
    Console console;
    bool console_open = false;
    // Last the signal actions (see EndTake).
    bool started = false; // "Recording" was printed: the files hold a take

    // What the capture recorded.
    TakeMeter meter{};
    int64_t captured_frames = 0; // the take's timeline: periods read, and silence for audio lost
    int overruns = 0;
    int64_t disk_lost_periods = 0;   // dropped for a disk too slow, in all
    int64_t disk_losing_periods = 0; // those of the loss going on
    int64_t start_ns = 0;
    bool said_space_low = false;
    // The file in progress of a series as the status line shows it.
    long status_file_number = 0;
    std::string status_file_name;
    bool failed = false; // a device or file failure: no "Done", exit status 1
    // The writer's first failure, taken from its queue: the errno (0: none)
    // and the channel of its file. Later failures of sealing, syncing and
    // closing are the files' own (OutputFiles::error).
    int write_err = 0;
    int write_channel = 0;
};

// The capture thread alone talks to the device, meters and prints; it runs
// at real-time priority where the system allows, so that a busy machine
// delays it less than a period. Being refused changes nothing.
void RaiseCapturePriority();
void LowerCapturePriority();

// "Disk too slow: X s of audio lost" for `periods`, then `in_all`: audio
// dropped because the writer fell a whole queue behind, on a line of its
// own so that nobody blames the sound card for it.
void ReportDiskLoss(const Take* take, int64_t periods, const char* in_all);

// The status line of a take of open length, and of a series, shows the
// time recorded so far; that of a planned take the time remaining.
inline bool ShowsElapsed(const Take* take)
{
    return take->open_length || take->series.split_frames > 0;
}

// The phases of RECORD, in order. Each returns 0, or 1 after printing why
// the take cannot go on; EndTake then releases what was made.
int PlanTake(Take* take);
int OpenTake(Take* take);
void StartTake(Take* take);
void CaptureTake(Take* take);
// The one way out, whatever ended the take: releases what it holds (see
// Take) and, after a take, reports it once the terminal's streams are back.
// Returns the exit status, or ends the process by the stop signal that came.
int EndTake(Take* take);

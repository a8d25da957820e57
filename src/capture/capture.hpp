// Capture engine: planning, device set-up, the capture loop and the take's
// metering. ALSA is used here and nowhere else.
#pragma once

#include <csignal>
#include <cstdint>
#include <pthread.h>
#include <string>

#include "files/file_safety.hpp"

// The period quillo asks the device for, in frames.
inline constexpr int kRequestedPeriodFrames = 4096;

// Plans a take in whole periods: the smallest positive multiple of
// `period_frames` not below rate × duration; 0 when that product is not
// above 0. A product of 2^62 frames or more, beyond any possible take,
// gives INT64_MAX.
void QUANTIZE(int period_frames, uint32_t rate_hz, const float* duration_s, int64_t* frames);

// The most frames a take in whole periods may hold: its file size, header
// included, must be a signed 64-bit byte count. Whether the file system lets
// the file grow that large is the disk reservation's concern.
int64_t MaxTakeFrames(int period_frames, uint32_t bytes_per_frame);

// When `frames` cannot be counted, prints the one-line refusal and returns
// 1; else 0.
int RefuseOverlongTake(int64_t frames, int period_frames, uint32_t bytes_per_frame);

// The remaining time of a take, "\rrem = %.2f sec" with frames / rate, in
// `out` (room for `room` bytes); returns its length. With `elapsed`, the
// time recorded so far of a take of open length: "\rrec = %.2f sec".
int FormatClock(char* out, int room, int64_t frames, uint32_t rate_hz, bool elapsed = false);

// Where the program last stood against the device: when it last read
// (CLOCK_MONOTONIC, ns) and how many frames the device then still held
// unread. After a restart the device holds none, from the restart on.
struct DeviceMark {
    int64_t at_ns;
    int64_t buffered_frames;
};

// What is known when an overrun is found: the present on the program's
// clock and on the clock of the device's time stamps, and from the device's
// status its last trigger (on a kernel device the overrun itself, as the
// kernel stops the stream then) and the frames it held. The device's fields
// are 0 where they could not be read.
struct OverrunClock {
    DeviceMark mark;
    int64_t now_ns; // CLOCK_MONOTONIC, as the mark
    int64_t device_now_ns;
    int64_t trigger_ns;
    int64_t avail_frames;
};

// The frames of silence that stand for what an overrun lost: the audio the
// device captured and nobody read, from the frame after the last one read up
// to now, when the device is restarted. Rounded to the nearest whole period
// (a half rounds up), at least one period, and at most `frames_left`, a
// positive multiple of the period: a take still ends at its planned length.
int64_t OverrunGapFrames(const OverrunClock& clock, int period_frames, uint32_t rate_hz,
                         int64_t frames_left);

// The whole periods of audio that real time allows beyond the
// `timeline_frames` a take holds, `elapsed_ns` after the device first
// started: no silence that stands for lost audio may pass it, so a device
// whose status claims more than can have happened (a sound server that
// died) never fills a disk with silence. Never negative.
int64_t RealTimeRoomFrames(int64_t elapsed_ns, uint32_t rate_hz, int64_t timeline_frames,
                           int period_frames);

// Audio lost without an overrun being reported: a read that came back
// later than the device's buffer can hold what it captured meanwhile (the
// program was stopped, or starved), `read_frames` read between the marks.
// What was captured and neither read nor still held at `after` is lost;
// rounded to the nearest whole period, 0 when the buffer could hold it all.
int64_t UnreportedLossFrames(const DeviceMark& before, const DeviceMark& after, int64_t read_frames,
                             int64_t buffer_frames, int period_frames, uint32_t rate_hz);

// Makes one take. Returns the exit status: 0 after a take, 1 after a
// refusal or failure. A take stopped by SIGINT or SIGTERM finishes its files
// and then ends the process by that signal.
// `may_replace`: per given name, which existing file may be replaced;
// `pinned`: per given name, the file agreed to (may be null); `split_s`:
// with a length in seconds, the take goes on across a series of files of
// that length, the names being patterns (0: one file per channel).
int RECORD(char* device, uint32_t rate_hz, float duration_s, int32_t channels,
           uint32_t sample_bytes, int32_t auto_naming, char* file_list, char* scratch,
           int32_t interleave, const MayReplace may_replace[2],
           const AnsweredFile* pinned = nullptr, double split_s = 0);

// The metering of a take: peak arrays, hold window and meter reset flag.
struct TakeMeter {
    int32_t take_peaks[2];
    int32_t period_peaks[2];
    int32_t held_peaks[2];
    uint32_t hold_window; // periods, computed for 4096-frame periods
    int32_t periods_since_hold;
    int reset;
    int scanned;        // 1: channel 1 only; 2: both channels
    int meter_channels; // what the bar meter shows
    bool frames;        // a period comes as frames in plane 1's place, not as planes
};

void MeterStart(TakeMeter* meter, uint32_t rate_hz, int32_t channels, int32_t interleave);
// Scans the period read one iteration earlier.
void MeterScan(TakeMeter* meter, int period_frames, uint32_t sample_bytes, const char* plane1,
               const char* plane2);
// The status line of a period (not in a quiet take): the remaining time (or
// with `elapsed` the time recorded) and the bar meter, fitted to the
// terminal's width, written but not flushed; then the held peaks are
// updated.
// With `file_name` (shown as is: escape it first), the file in progress of
// a series follows, where the terminal is wide enough for it.
void ShowStatus(TakeMeter* meter, uint32_t sample_bytes, int64_t frames, uint32_t rate_hz,
                bool elapsed = false, const std::string& file_name = "");
// The longest file name a status line shows, blanks before it included: the
// line stays one piece of the terminal's queue.
inline constexpr int kStatusNameBytes = 100;
// The end-of-take report of the channel peaks.
void MeterReport(const TakeMeter* meter, uint32_t sample_bytes, const int kept[2],
                 int32_t interleave);

// A quiet take prints no status line (remaining time and bar meter); every
// other line is printed as usual. Set before RECORD is called.
void SetQuietTake(int quiet);

// The width of the terminal that shows the status line. Watched from the
// start of the take (before the terminal thread takes standard output over)
// to its end, through SIGWINCH.
void WatchStatusWidth();
void UnwatchStatusWidth();
// Its columns, 0 when the status text goes to no terminal (no limit). Read
// on the capture thread: no system call unless the terminal was resized.
int StatusColumns();

// Prints the ALSA PCM devices that can capture, one per line: the name, a
// tab, the first line of the description. Returns the exit status.
int ListCaptureDevices();

// The signals that stop a take, caught from before the first file is made
// until the take's end, in one table: every signal whose default action
// would end the process, and the core-dumping ones when another process
// sends them. The handler only records the first signal (any thread may
// take it); the loop ends the take at the next period boundary.
void CatchStopSignals();
// Ignores SIGXFSZ and SIGPIPE for the take, before its first ALSA call:
// nothing a library does while the device opens, and no reader of the
// status text that goes away, may kill the take.
void IgnoreTakeHazards();
// The take's files are sealed and synced: a stop signal from now on ends
// the process at once, by the first stop signal, even while it waits for a
// terminal that takes no text.
void TakeIsSafe();
// Gives every caught or ignored signal its earlier action back.
void ReleaseStopSignals();
int StopSignal();
// Ends the process by `signal` with its default action, as if never caught.
[[noreturn]] void RaiseAgain(int signal);

// CLOCK_MONOTONIC in nanoseconds.
inline constexpr int64_t kNsPerSecond = 1000000000;
int64_t MonotonicNs();

// When frame `offset_frames` of a run of periods was captured, the first of
// which was captured at `stamp_ns`: the writer names the files of a series
// by it, and the status line shows the same names.
inline int64_t FrameStampNs(int64_t stamp_ns, int64_t offset_frames, int period_frames,
                            uint32_t rate_hz)
{
    const int64_t period_ns = int64_t{period_frames} * kNsPerSecond / rate_hz;
    return stamp_ns + offset_frames / period_frames * period_ns +
           offset_frames % period_frames * kNsPerSecond / rate_hz;
}

// Starts a thread that takes no signal but the stop signals, whose handler
// only records them. Returns pthread_create's result.
int StartThreadWithoutSignals(pthread_t* thread, void* (*body)(void*), void* arg);

// Opens /dev/null in place of a closed standard stream, so that no output
// file can be given descriptor 0, 1 or 2.
void GuardStandardStreams();
// Whether descriptor `fd` (0 to 2) was closed before GuardStandardStreams
// put /dev/null in its place: standard output then holds no take.
bool StandardStreamWasClosed(int fd);

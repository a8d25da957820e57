// The take: plan, open the files, capture period by period, report, close.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include "capture/capture.hpp"
#include "capture/console.hpp"
#include "capture/device.hpp"
#include "capture/writer.hpp"
#include "wav/file_safety.hpp"
#include "wav/wav.hpp"

namespace {

// Real-time priority of the capture thread: well above normal threads, below
// what the system keeps for its own most urgent work.
constexpr int kCapturePriority = 40;
// The longest a source ahead of real time waits for the terminal per
// period: a terminal that takes no text slows such a take, never stops it.
constexpr int64_t kCatchUpNs = 10000000;
// The device buffer quillo asks for, in periods.
constexpr int kBufferPeriods = 8;

void ReportDeviceFailure(const char* text)
{
    // End the status line first: it has no newline of its own.
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::fprintf(stderr, "Capture device failed: %s\n", text);
}

// The capture thread alone talks to the device, meters and prints; it runs
// at real-time priority where the system allows, so that a busy machine
// delays it less than a period. Being refused changes nothing.
void RaiseCapturePriority()
{
    const int top = sched_get_priority_max(SCHED_FIFO);
    int priority = top < kCapturePriority ? top : kCapturePriority;
    rlimit limit{};
    // Without CAP_SYS_NICE the rtprio limit is the highest allowed.
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(priority) > limit.rlim_cur) {
        sched_param try_top{priority};
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &try_top) == 0)
            return;
        priority = static_cast<int>(limit.rlim_cur);
    }
    if (priority < 1)
        return;
    sched_param param{priority};
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

void LowerCapturePriority()
{
    sched_param param{0};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

// A source that runs well ahead of real time (ALSA's null device, a plugin
// that reads a file) loses nothing while the capture waits for the writer;
// a live device would overrun. No live device runs at twice real time, once
// the buffer it may hold at the start is allowed for.
bool AheadOfRealTime(int64_t frames, int64_t start_ns, uint32_t rate_hz, int period_frames)
{
    const int64_t elapsed_us = (MonotonicNs() - start_ns) / 1000;
    const int64_t elapsed_frames = elapsed_us * rate_hz / 1000000;
    return frames > 2 * elapsed_frames + int64_t{kBufferPeriods} * period_frames;
}

// Audio dropped because the writer fell a whole queue behind: its own
// line, so that nobody blames the sound card for it.
void ReportDiskLoss(int64_t periods, int period_frames, uint32_t rate_hz, const char* in_all)
{
    std::printf("\nDisk too slow: %.2f s of audio lost%s\n",
                static_cast<double>(periods) * period_frames / rate_hz, in_all);
}

// What has yet to reach the disk, for the line that says why the end of a
// take waits.
double PendingSeconds(const void* arg)
{
    return WriterPendingSeconds(static_cast<const TakeWriter*>(arg));
}

// The smallest count of whole periods that reached every file.
int64_t FramesReached(const OutputFiles* files)
{
    int64_t reached = -1;
    for (int c = 0; c < 2; ++c)
        if (files->file[c] != nullptr && (reached < 0 || files->frames_written[c] < reached))
            reached = files->frames_written[c];
    return reached < 0 ? 0 : reached;
}

} // namespace

int RECORD(char* device, uint32_t rate_hz, float duration_s, int32_t channels,
           uint32_t sample_bytes, int32_t auto_naming, char* file_list, char* scratch,
           int32_t interleave, const int32_t may_replace[2])
{
    OutputFiles files{};
    files.kept[0] = 1;
    files.kept[1] = channels == 2 ? 1 : 0;
    TakeMeter meter;
    MeterStart(&meter, rate_hz, channels, interleave);

    IgnoreTakeHazards();
    CaptureDevice capture;
    const DeviceWish wish{interleave == 1, channels == 1 && interleave == 0};
    if (SetupDevice(device, rate_hz, sample_bytes, wish, &capture) != 0) {
        ReleaseStopSignals();
        return 1;
    }
    const int period = capture.grant.period_frames;
    const bool frames_in_slot = FramesInSlot(capture.grant);
    meter.frames = frames_in_slot;

    const size_t plane_bytes = static_cast<size_t>(period) * sample_bytes;
    const uint32_t bytes_per_frame = sample_bytes * (interleave == 1 ? 2 : 1);
    // A duration of 0 records until the take is stopped.
    const bool open = duration_s == 0;
    int64_t planned = kOpenLength;
    if (!open)
        QUANTIZE(period, rate_hz, &duration_s, &planned);
    // What is reserved before the take starts: all of a planned take; one
    // period of an open one, which reserves the rest as it goes.
    const int64_t reserved = open ? period : planned;

    // From the first file to the last close, a stop signal finishes the
    // take's files instead of abandoning them.
    CatchStopSignals();
    TakeWriter writer;
    Console console;
    bool console_open = false;
    int status = 0;
    if (!open && RefuseOverlongTake(planned, period, bytes_per_frame) != 0) {
        status = 1;
    } else if (OpenOutputFiles(&files, channels, sample_bytes, auto_naming, file_list, scratch,
                               interleave, planned, rate_hz, may_replace) != 0) {
        status = 1;
    } else if (ReserveTakeSpace(&files, reserved, bytes_per_frame) != 0) {
        status = 1;
    } else if (WriterStart(&writer, &files, interleave, sample_bytes, period, rate_hz, open,
                           frames_in_slot) != 0 ||
               ConsoleOpen(&console) != 0) {
        std::printf("Not enough memory for the capture buffers\n");
        status = 1;
    } else {
        console_open = true;
    }
    // Nothing can refuse the take from here on: only now is an existing file
    // that the user agreed to replace cut. A stop signal before that point
    // leaves nothing of this run's, like a refusal; one after it ends the
    // take at its first period, sealed. (Discarding a set that was never
    // opened, or already undone, does nothing.)
    const bool stopped_before = status == 0 && StopSignal() != 0;
    if (status == 0 && !stopped_before && CommitOutputFiles(&files, reserved, bytes_per_frame) != 0)
        status = 1;
    if (status != 0 || stopped_before) {
        // A plugin's threads are gone with the device, before the streams
        // they may write to are given back.
        CloseDevice(&capture);
        if (console_open)
            ConsoleClose(&console);
        WriterFree(&writer);
        DiscardOutputFiles(&files);
        ReleaseStopSignals();
        // A stop signal is not lost to a refusal that came with it.
        if (StopSignal() != 0)
            RaiseAgain(StopSignal());
        return status;
    }

    std::printf(interleave == 1 ? "Recording in Stereo\n" : "Recording\n");
    RaiseCapturePriority();
    PrepareDevice(&capture);

    PeriodQueue* queue = &writer.queue;
    int64_t processed = 0;
    int overruns = 0;
    int failed = 0;
    int write_err = 0;
    int write_channel = 0;
    int64_t disk_lost = 0;   // periods of audio dropped for a slow disk, in all
    int64_t disk_losing = 0; // those of the loss going on
    const int64_t start_ns = MonotonicNs();
    bool said_space_low = false;
    while (open || processed < planned) {
        // A failed write in the writer ends the take at this boundary.
        write_err = QueueError(queue, &write_channel);
        if (write_err != 0)
            break;
        if (!QueueRoom(queue) && AheadOfRealTime(processed, start_ns, rate_hz, period) &&
            !QueueWaitForRoom(queue, StopSignal))
            break;
        // With every slot waiting for the disk the period is still read, on
        // time, and then dropped: a slow disk must not make the device
        // overrun, nor pass for an overrun.
        bool room = true;
        char* current = QueueHead(queue, &room);
        const int64_t left =
            open ? MaxTakeFrames(period, bytes_per_frame) - processed : planned - processed;
        const PeriodRead read = ReadPeriod(&capture, current, plane_bytes, processed, left);
        if (read.outcome == ReadOutcome::kStopped)
            break;
        if (read.outcome == ReadOutcome::kFailed) {
            ReportDeviceFailure(read.failure);
            failed = 1;
            break;
        }
        // After an overrun the silence stands for all the audio lost, so
        // what follows is at its true time in the take.
        const bool overrun = read.outcome == ReadOutcome::kOverrun;
        const int64_t repeat = overrun ? read.frames / period : 1;
        if (overrun || read.unreported_loss_frames > 0) {
            ++overruns;
            std::printf("\nRX\n");
        }
        // The meter runs one period behind: it scans the period read last.
        const char* previous = QueuePrevious(queue);
        MeterScan(&meter, period, sample_bytes, previous, previous + plane_bytes);
        QueuePublish(queue, repeat);
        // Audio the device lost without a word follows the period read.
        QueueOweSilence(queue, read.unreported_loss_frames / period);
        if (!room && !overrun && read.frames > 0) {
            disk_losing += repeat;
        } else if (room && disk_losing > 0) {
            ReportDiskLoss(disk_losing, period, rate_hz, "");
            disk_lost += disk_losing;
            disk_losing = 0;
        }
        processed += repeat * period + read.unreported_loss_frames;
        const int low = writer.space_low.load(std::memory_order_acquire);
        if (low != 0 && !said_space_low) {
            std::printf(low == EFBIG
                            ? "\nLess than a minute left below the file-size limit for %s\n"
                            : "\nLess than a minute of disk space left for %s\n",
                        ShownName(files.name[writer.space_low_channel]).c_str());
            said_space_low = true;
        }
        ShowStatus(&meter, sample_bytes, open ? processed : planned - processed, rate_hz, open);
        ConsoleFlush();
        // A source ahead of real time floods a terminal thread that gets
        // little CPU: it waits for it rather than thin the status lines.
        if (ConsoleBehind(&console) && AheadOfRealTime(processed, start_ns, rate_hz, period))
            ConsoleCatchUp(&console, kCatchUpNs);
    }
    if (disk_losing > 0) {
        ReportDiskLoss(disk_losing, period, rate_hz, "");
        disk_lost += disk_losing;
    }
    // Nothing after the last period is wanted: capture stops now, and a
    // plugin's threads end before the terminal's streams are given back.
    CloseDevice(&capture);
    LowerCapturePriority();
    // The report is the take's: the period written last, which the live
    // meter (one period behind) never scanned, is scanned before it; its
    // clip warning comes first.
    const char* last = QueuePrevious(queue);
    MeterScan(&meter, period, sample_bytes, last, last + plane_bytes);
    ConsoleFlush();

    // One way out, whatever ended the loop: the files are finished, sealed
    // and synced first; the terminal may wait. (Everything is queued before
    // the terminal thread may ask what still waits for the disk.)
    QueueOwedSilence(queue);
    ConsoleDiskWait(&console, PendingSeconds, &writer);
    WriterFinish(&writer);
    if (write_err == 0)
        write_err = QueueError(queue, &write_channel);
    failed |= write_err != 0;
    // A stop signal after the last period leaves a whole take. A take of
    // open length is sealed as it ends, whatever ends it.
    const bool early = open || processed < planned || failed;
    if (early)
        SealShortTake(&files, bytes_per_frame, period);
    const int64_t reached = FramesReached(&files);
    // "Done" promises a take that survives a power cut.
    int sync_channel = 0;
    const int sync_err = SyncOutputFiles(&files, &sync_channel);
    if (sync_err != 0 && !failed && files.error[0] == 0 && files.error[1] == 0)
        KeepFileError(&files, sync_channel, sync_err);
    CloseOutputFiles(&files);
    ConsoleDiskWaitOver(&console);
    TakeIsSafe();

    // Everything the take printed reaches the terminal first; the outcome
    // is then written directly and whole: a full queue never drops it.
    const uint64_t dropped = ConsoleClose(&console);
    if (dropped != 0)
        std::printf("\n%llu warning lines were not shown: the terminal took no text\n",
                    static_cast<unsigned long long>(dropped));
    if (write_err != 0)
        ReportWriteFailure(files.name[write_channel], write_err);
    MeterReport(&meter, sample_bytes, files.kept, interleave);
    if (overruns != 0)
        std::printf("\nRecord Overruns = %i\n", overruns);
    if (disk_lost != 0)
        ReportDiskLoss(disk_lost, period, rate_hz, " in all");
    if (open)
        std::printf("Take length: %.2f seconds\n", static_cast<double>(reached) / rate_hz);
    else if (early)
        std::printf("Take stopped after %.2f of %.2f seconds\n",
                    static_cast<double>(reached) / rate_hz, static_cast<double>(planned) / rate_hz);
    if (ReportFileErrors(&files) != 0)
        failed = 1;
    if (!failed)
        std::printf("Done\n");
    std::fflush(stdout);
    ReleaseStopSignals();
    WriterFree(&writer);

    if (StopSignal() != 0)
        RaiseAgain(StopSignal());
    return failed ? 1 : 0;
}

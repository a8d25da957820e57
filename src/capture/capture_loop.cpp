// The capture loop: a period read from the device, handed to the writer,
// metered and shown, until the take is planned to end or something ends it.
#include <cerrno>
#include <cstdio>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include "capture/take.hpp"
#include "files/series_name.hpp"
#include "files/shown_name.hpp"

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

// A source that runs well ahead of real time (ALSA's null device, a plugin
// that reads a file) loses nothing while the capture waits for the writer;
// a live device would overrun. No live device runs at twice real time, once
// the buffer it may hold at the start is allowed for.
bool AheadOfRealTime(const Take* take)
{
    const int64_t elapsed_us = (MonotonicNs() - take->start_ns) / 1000;
    const int64_t elapsed_frames = elapsed_us * take->request.rate_hz / 1000000;
    return take->captured_frames >
           2 * elapsed_frames + int64_t{kBufferPeriods} * take->period_frames;
}

// The frames the take may still hold: up to its planned end, or as many
// as a file can count.
int64_t FramesLeft(const Take* take)
{
    const int64_t end_frames = take->open_length
                                   ? MaxTakeFrames(take->period_frames, take->bytes_per_frame)
                                   : take->planned_frames;
    return end_frames - take->captured_frames;
}

// Tells the loss to a slow disk that has just ended, if any.
void TellDiskLoss(Take* take)
{
    if (take->disk_losing_periods == 0)
        return;
    ReportDiskLoss(take, take->disk_losing_periods, "");
    take->disk_lost_periods += take->disk_losing_periods;
    take->disk_losing_periods = 0;
}

// Counts what a slow disk cost: periods read on time but dropped, the queue
// being full. The loss is told once the queue has room again.
void CountDiskLoss(Take* take, bool room, bool dropped, int64_t periods)
{
    if (!room && dropped)
        take->disk_losing_periods += periods;
    else if (room)
        TellDiskLoss(take);
}

void SayIfSpaceIsLow(Take* take)
{
    const int low = take->writer.space_low.load(std::memory_order_acquire);
    if (low == 0 || take->said_space_low)
        return;
    std::printf(low == EFBIG ? "\nLess than a minute left below the file-size limit for %s\n"
                             : "\nLess than a minute of disk space left for %s\n",
                ShownName(take->writer.space_low_name.c_str()).c_str());
    take->said_space_low = true;
}

// The file of a series that the frames just captured end in, named as the
// writer will name it, for the status line: the frames from `from_frames`
// on are `lost_frames` of silence captured from `lost_stamp_ns`, then the
// periods captured from `stamp_ns`.
void FollowSeriesFile(Take* take, int64_t from_frames, int64_t lost_frames, int64_t lost_stamp_ns,
                      int64_t stamp_ns)
{
    const int64_t split = take->series.split_frames;
    if (split == 0 || take->captured_frames == 0)
        return;
    const long number = static_cast<long>((take->captured_frames - 1) / split + 1);
    if (number == take->status_file_number)
        return;
    take->status_file_number = number;
    int64_t offset = (number - 1) * split - from_frames;
    int64_t first_ns =
        FrameStampNs(lost_stamp_ns, offset, take->period_frames, take->request.rate_hz);
    if (offset >= lost_frames)
        first_ns = FrameStampNs(stamp_ns, offset - lost_frames, take->period_frames,
                                take->request.rate_hz);
    std::string name;
    const std::string& pattern = take->series.pattern[take->files.kept[0] ? 0 : 1];
    take->status_file_name =
        SeriesFileName(pattern, number, first_ns, &name) ? ShownName(name.c_str()) : "";
}

// One period: read on time into the queue's next slot (a scratch slot
// when every slot waits for the disk: a slow disk must not make the device
// overrun, nor pass for an overrun), handed to the writer, metered and
// shown. False when the take ends here.
bool CapturePeriod(Take* take)
{
    PeriodQueue* queue = &take->writer.queue;
    const int period = take->period_frames;
    bool room = true;
    char* slot = QueueHead(queue, &room);
    const PeriodRead read =
        ReadPeriod(&take->device, slot, take->plane_bytes, take->captured_frames, FramesLeft(take));
    if (read.outcome == ReadOutcome::kStopped)
        return false;
    if (read.outcome == ReadOutcome::kFailed) {
        ReportDeviceFailure(read.failure);
        take->failed = true;
        return false;
    }
    // After an overrun the silence stands for all the audio lost, so what
    // follows is at its true time in the take.
    const bool overrun = read.outcome == ReadOutcome::kOverrun;
    const int64_t repeat = overrun ? read.frames / period : 1;
    if (overrun || read.unreported_loss_frames > 0) {
        ++take->overruns;
        std::printf("\nRX\n");
    }
    // The meter runs one period behind: it scans the period read last.
    const char* previous = QueuePrevious(queue);
    MeterScan(&take->meter, period, take->request.sample_bytes, previous,
              previous + take->plane_bytes);
    // Audio the device lost without a word comes before the period read.
    const int64_t lost_stamp_ns = FrameStampNs(read.first_frame_ns, -read.unreported_loss_frames,
                                               period, take->request.rate_hz);
    QueueOweSilence(queue, read.unreported_loss_frames / period, lost_stamp_ns);
    QueuePublish(queue, repeat, read.first_frame_ns);
    CountDiskLoss(take, room, !overrun && read.frames > 0, repeat);
    const int64_t from_frames = take->captured_frames;
    take->captured_frames += repeat * period + read.unreported_loss_frames;
    FollowSeriesFile(take, from_frames, read.unreported_loss_frames, lost_stamp_ns,
                     read.first_frame_ns);
    SayIfSpaceIsLow(take);
    ShowStatus(&take->meter, take->request.sample_bytes,
               ShowsElapsed(take) ? take->captured_frames
                                  : take->planned_frames - take->captured_frames,
               take->request.rate_hz, ShowsElapsed(take), take->status_file_name);
    ConsoleFlush();
    // A source ahead of real time floods a terminal thread that gets
    // little CPU: it waits for it rather than thin the status lines.
    if (ConsoleBehind(&take->console) && AheadOfRealTime(take))
        ConsoleCatchUp(&take->console, kCatchUpNs);
    return true;
}

} // namespace

void ReportDiskLoss(const Take* take, int64_t periods, const char* in_all)
{
    std::printf("\nDisk too slow: %.2f s of audio lost%s\n",
                static_cast<double>(periods) * take->period_frames / take->request.rate_hz, in_all);
}

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

void CaptureTake(Take* take)
{
    PeriodQueue* queue = &take->writer.queue;
    while (take->open_length || take->captured_frames < take->planned_frames) {
        // A failed write in the writer ends the take at this boundary.
        take->write_err = QueueError(queue, &take->write_channel);
        if (take->write_err != 0)
            break;
        if (!QueueRoom(queue) && AheadOfRealTime(take) && !QueueWaitForRoom(queue, StopSignal))
            break;
        if (!CapturePeriod(take))
            break;
    }
    TellDiskLoss(take);
}

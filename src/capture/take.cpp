// The take: plan, open, start, capture, end.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "capture/take.hpp"

namespace {

// What a failure to set the take up says: memory, or the system's reason
// for a thread it could not start.
void ReportSetupFailure(int err)
{
    if (err == ENOMEM)
        std::printf("Not enough memory for the capture buffers\n");
    else
        std::printf("Cannot start the take's threads: %s\n", std::strerror(err));
}

} // namespace

int RECORD(char* device, uint32_t rate_hz, float duration_s, int32_t channels,
           uint32_t sample_bytes, int32_t auto_naming, char* file_list, char* scratch,
           int32_t interleave, const MayReplace may_replace[2], const AnsweredFile* pinned,
           double split_s)
{
    Take take;
    take.request = {device,    rate_hz, duration_s, channels,    sample_bytes, auto_naming,
                    file_list, scratch, interleave, may_replace, pinned,       split_s};
    if (PlanTake(&take) == 0 && OpenTake(&take) == 0) {
        StartTake(&take);
        CaptureTake(&take);
    }
    return EndTake(&take);
}

int PlanTake(Take* take)
{
    const TakeRequest& request = take->request;
    take->files.kept[0] = 1;
    take->files.kept[1] = request.channels == 2 ? 1 : 0;
    MeterStart(&take->meter, request.rate_hz, request.channels, request.interleave);

    // Before the first ALSA call: a plugin may do what only a file-size
    // limit or a closed pipe would punish.
    IgnoreTakeHazards();
    const DeviceWish wish{request.interleave == 1,
                          request.channels == 1 && request.interleave == 0};
    if (SetupDevice(request.device_name, request.rate_hz, request.sample_bytes, wish,
                    &take->device) != 0)
        return 1;
    take->period_frames = take->device.grant.period_frames;
    take->meter.frames = FramesInSlot(take->device.grant);

    take->plane_bytes = static_cast<size_t>(take->period_frames) * request.sample_bytes;
    take->bytes_per_frame = BytesPerFrame(request.sample_bytes, request.interleave);
    // A duration of 0 records until the take is stopped.
    take->open_length = request.duration_s == 0;
    if (!take->open_length) {
        float duration_s = request.duration_s;
        QUANTIZE(take->period_frames, request.rate_hz, &duration_s, &take->planned_frames);
        if (RefuseOverlongTake(take->planned_frames, take->period_frames, take->bytes_per_frame))
            return 1;
    }
    if (request.split_s > 0)
        take->series.split_frames = std::llround(request.split_s * request.rate_hz);
    // All of a planned take is reserved before it starts; an open one
    // reserves one period, and the rest as it goes.
    take->reserved_frames = take->open_length ? take->period_frames : take->planned_frames;
    return 0;
}

int OpenTake(Take* take)
{
    const TakeRequest& request = take->request;
    // From the first file to the last close, a stop signal finishes the
    // take's files instead of abandoning them.
    CatchStopSignals();
    if (take->series.split_frames > 0) {
        // The files of a series are made as the take goes on.
        StartSeries(&take->files, &take->series, request.auto_naming, request.file_list,
                    request.scratch, request.interleave, request.sample_bytes, request.rate_hz,
                    take->series.split_frames);
        if (!take->open_length &&
            CheckSeriesSpace(&take->series, take->planned_frames, take->bytes_per_frame) != 0)
            return 1;
        take->writer.series = &take->series;
    } else if (OpenOutputFiles(&take->files, request.channels, request.sample_bytes,
                               request.auto_naming, request.file_list, request.scratch,
                               request.interleave, take->planned_frames, request.rate_hz,
                               request.may_replace, request.pinned) != 0 ||
               ReserveTakeSpace(&take->files, take->reserved_frames, take->bytes_per_frame) != 0) {
        return 1;
    }
    int err =
        WriterStart(&take->writer, &take->files, request.interleave, request.sample_bytes,
                    take->period_frames, request.rate_hz, take->open_length, take->meter.frames);
    if (err == 0)
        err = ConsoleOpen(&take->console);
    if (err != 0) {
        ReportSetupFailure(err);
        return 1;
    }
    take->console_open = true;
    // Nothing can refuse the take from here on: only now is an existing file
    // that the user agreed to replace cut. A stop signal before that point
    // leaves nothing of this run's, like a refusal; one after it ends the
    // take at its first period, sealed.
    if (StopSignal() != 0)
        return 1;
    return CommitOutputFiles(&take->files, take->reserved_frames, take->bytes_per_frame);
}

void StartTake(Take* take)
{
    std::printf(take->request.interleave == 1 ? "Recording in Stereo\n" : "Recording\n");
    take->started = true;
    RaiseCapturePriority();
    PrepareDevice(&take->device);
    take->start_ns = MonotonicNs();
}

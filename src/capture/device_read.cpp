// Reading the device period by period: overruns, suspends, a device that is
// gone, and audio lost without a word from the device.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>

#include "capture/capture.hpp"
#include "capture/device.hpp"

namespace {

// A device that delivers nothing for this long has stalled: far beyond the
// 8-period buffer at every rate quillo records.
constexpr int64_t kStallNs = 5000000000;
// Waits are cut into slices so that Ctrl-C is seen within one slice even
// while the device delivers nothing.
constexpr int kWaitSliceMs = 100;

// Why the device failed, for the take's report; the capture thread's alone.
char failure_text[160];

PeriodRead Failed(const char* what, int err = 0)
{
    if (err != 0)
        std::snprintf(failure_text, sizeof failure_text, "%s%s", what, snd_strerror(err));
    else
        std::snprintf(failure_text, sizeof failure_text, "%s", what);
    PeriodRead read;
    read.outcome = ReadOutcome::kFailed;
    read.failure = failure_text;
    return read;
}

PeriodRead Stopped()
{
    PeriodRead read;
    read.outcome = ReadOutcome::kStopped;
    return read;
}

// CLOCK_REALTIME `frames` before now, in ns.
int64_t RealtimeNsBefore(int64_t frames, uint32_t rate_hz)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * kNsPerSecond + now.tv_nsec - frames * kNsPerSecond / rate_hz;
}

int64_t BufferNs(const CaptureDevice* device)
{
    return device->grant.buffer_frames * kNsPerSecond / device->rate_hz;
}

// Waits up to `ms` for a period to read: 1 when there is one (or an error
// the read will report), 0 when not yet. alsa-lib's own wait turns in a
// loop while a plugin's descriptor reads as ready before a period has come
// (the pulse plugin's stays ready from the first frame on), each turn
// taking the plugin's lock; this one sleeps for the frames still to come.
int WaitReady(const CaptureDevice* device, int ms)
{
    // As alsa-lib's wait: a stream that does not run, or that holds a
    // period, is for the read to take or report at once.
    const int period = device->grant.period_frames;
    snd_pcm_sframes_t avail = snd_pcm_avail_update(device->pcm);
    if (snd_pcm_state(device->pcm) != SND_PCM_STATE_RUNNING || avail < 0 || avail >= period)
        return 1;
    pollfd fds[8];
    const int count = snd_pcm_poll_descriptors(device->pcm, fds, 8);
    if (count <= 0)
        return snd_pcm_wait(device->pcm, ms);
    const int polled = poll(fds, static_cast<nfds_t>(count), ms);
    if (polled <= 0)
        return polled < 0 && errno != EINTR ? -errno : 0;
    unsigned short revents = 0;
    const int err = snd_pcm_poll_descriptors_revents(device->pcm, fds, count, &revents);
    if (err < 0 || (revents & (POLLIN | POLLERR | POLLNVAL)) != 0)
        return err < 0 ? err : 1;
    avail = snd_pcm_avail_update(device->pcm);
    const int64_t missing = period - int64_t{avail};
    if (avail < 0 || missing <= 0 || snd_pcm_state(device->pcm) != SND_PCM_STATE_RUNNING)
        return 1;
    int64_t sleep_ns = missing * kNsPerSecond / device->rate_hz;
    sleep_ns = std::clamp<int64_t>(sleep_ns, 1000000, int64_t{ms} * 1000000);
    const timespec pause{static_cast<time_t>(sleep_ns / kNsPerSecond),
                         static_cast<long>(sleep_ns % kNsPerSecond)};
    nanosleep(&pause, nullptr);
    return 0;
}

// Starts a stream that is only prepared (it delivers nothing to wait for
// until started); then waits until a whole period can be read, so that the
// blocking read never blocks for ever. An error state is left to the read,
// which reports it in its own words.
PeriodRead WaitForPeriod(CaptureDevice* device)
{
    if (snd_pcm_state(device->pcm) == SND_PCM_STATE_PREPARED) {
        const int err = snd_pcm_start(device->pcm);
        if (err < 0)
            return Failed("cannot start: ", err);
        device->restart_ns = MonotonicNs();
        if (device->first_start_ns == 0)
            device->first_start_ns = device->restart_ns;
    }
    const int64_t start_ns = MonotonicNs();
    for (;;) {
        if (StopSignal())
            return Stopped();
        const int ready = WaitReady(device, kWaitSliceMs);
        if (ready != 0 && ready != -EINTR)
            return PeriodRead{};
        if (StopSignal())
            return Stopped();
        if (MonotonicNs() - start_ns >= kStallNs)
            return Failed("no frames for 5 seconds");
    }
}

snd_pcm_sframes_t ReadInto(const CaptureDevice* device, char* slot, size_t plane_bytes)
{
    const auto frames = static_cast<snd_pcm_uframes_t>(device->grant.period_frames);
    if (device->grant.interleaved)
        return snd_pcm_readi(device->pcm, slot, frames);
    void* planes[2] = {slot, slot + plane_bytes};
    return snd_pcm_readn(device->pcm, planes, frames);
}

// Frames the device did not deliver are silence, never stale audio.
void SilenceFrom(const CaptureDevice* device, char* slot, size_t plane_bytes, int64_t frames)
{
    const size_t sample_bytes = plane_bytes / static_cast<size_t>(device->grant.period_frames);
    const size_t from = static_cast<size_t>(frames) * sample_bytes;
    if (from >= plane_bytes)
        return;
    if (FramesInSlot(device->grant)) {
        std::memset(slot + 2 * from, 0, 2 * (plane_bytes - from));
        return;
    }
    std::memset(slot + from, 0, plane_bytes - from);
    std::memset(slot + plane_bytes + from, 0, plane_bytes - from);
}

// An overrun (or a suspend): the silence that stands for what was lost, and
// the device restarted. A device that cannot be restarted, or that
// overruns again before its buffer could have filled, captures nothing any
// more (a sound server that died): it is lost, not overrun.
PeriodRead Overrun(CaptureDevice* device, int code, int64_t timeline_frames, int64_t frames_left)
{
    const int64_t now_ns = MonotonicNs();
    if (device->overrun_unanswered && now_ns - device->restart_ns < BufferNs(device))
        return Failed("it overruns again with no frames since the last overrun");
    const int period = device->grant.period_frames;
    PeriodRead read;
    read.outcome = ReadOutcome::kOverrun;
    read.frames = period;
    int err;
    if (code == -EPIPE) {
        // Never more silence than real time allows, whatever the device's
        // status claims.
        const int64_t room = RealTimeRoomFrames(now_ns - device->first_start_ns, device->rate_hz,
                                                timeline_frames, period);
        const int64_t left = room < frames_left ? (room > period ? room : period) : frames_left;
        read.frames = OverrunGapFrames(ReadOverrunClock(device->pcm, device->mark), period,
                                       device->rate_hz, left);
        err = snd_pcm_prepare(device->pcm);
    } else {
        err = snd_pcm_recover(device->pcm, code, 1);
    }
    if (err < 0)
        return Failed("cannot restart after an overrun: ", err);
    // From here the device may capture again; one that overruns again before
    // its buffer could fill (it never reaches a start) has captured nothing.
    device->restart_ns = MonotonicNs();
    // The silence stands for what was captured up to now.
    read.first_frame_ns = RealtimeNsBefore(read.frames, device->rate_hz);
    // The device restarts empty: the new mark.
    device->mark = MarkDevice(device->pcm);
    device->read_since_start = false;
    device->overrun_unanswered = true;
    return read;
}

} // namespace

bool FramesInSlot(const DeviceGrant& grant)
{
    return grant.interleaved && grant.channels == 2;
}

void PrepareDevice(CaptureDevice* device)
{
    snd_pcm_prepare(device->pcm);
    device->mark = MarkDevice(device->pcm);
}

PeriodRead ReadPeriod(CaptureDevice* device, char* slot, size_t plane_bytes,
                      int64_t timeline_frames, int64_t frames_left)
{
    PeriodRead read = WaitForPeriod(device);
    if (read.outcome != ReadOutcome::kPeriod)
        return read;
    snd_pcm_sframes_t got;
    do
        got = ReadInto(device, slot, plane_bytes);
    while (got == -EINTR && !StopSignal());
    // The period in progress is not written: every file holds whole periods.
    if (StopSignal())
        return Stopped();
    if (got == -EPIPE || got == -ESTRPIPE) {
        SilenceFrom(device, slot, plane_bytes, 0);
        return Overrun(device, static_cast<int>(got), timeline_frames, frames_left);
    }
    if (got < 0)
        return Failed("", static_cast<int>(got));
    SilenceFrom(device, slot, plane_bytes, got);
    read.frames = got;
    const DeviceMark before = device->mark;
    device->mark = MarkDevice(device->pcm);
    read.first_frame_ns = RealtimeNsBefore(got + device->mark.buffered_frames, device->rate_hz);
    // Only between two reads of a running stream: the first read after a
    // start may wait for a sound server to begin.
    if (device->read_since_start) {
        const int period = device->grant.period_frames;
        const int64_t lost = UnreportedLossFrames(
            before, device->mark, got, device->grant.buffer_frames, period, device->rate_hz);
        const int64_t room = RealTimeRoomFrames(device->mark.at_ns - device->first_start_ns,
                                                device->rate_hz, timeline_frames + period, period);
        const int64_t most = room < frames_left - period ? room : frames_left - period;
        read.unreported_loss_frames = lost < most ? lost : (most > 0 ? most : 0);
    }
    device->read_since_start = true;
    device->overrun_unanswered = false;
    return read;
}

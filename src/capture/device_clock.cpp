// The time stamps that tell how long a device ran unread before an overrun.
#include <ctime>

#include "capture/capture.hpp"
#include "capture/device.hpp"

namespace {

int64_t MonotonicNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

int64_t Ns(const snd_htimestamp_t& t)
{
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

} // namespace

DeviceMark MarkDevice(snd_pcm_t* pcm)
{
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
    // An error here is an overrun the next read reports; the frames it
    // swallowed are then counted by time alone.
    return DeviceMark{MonotonicNs(), avail > 0 ? static_cast<int64_t>(avail) : 0};
}

OverrunClock ReadOverrunClock(snd_pcm_t* pcm, const DeviceMark& mark)
{
    snd_pcm_status_t* status;
    snd_pcm_status_alloca(&status);
    const int err = snd_pcm_status(pcm, status);
    OverrunClock clock{mark, MonotonicNs(), 0, 0, 0};
    if (err < 0)
        return clock;
    snd_htimestamp_t now;
    snd_htimestamp_t trigger;
    snd_pcm_status_get_htstamp(status, &now);
    snd_pcm_status_get_trigger_htstamp(status, &trigger);
    clock.status_ns = Ns(now);
    clock.trigger_ns = Ns(trigger);
    clock.avail_frames = static_cast<int64_t>(snd_pcm_status_get_avail(status));
    return clock;
}

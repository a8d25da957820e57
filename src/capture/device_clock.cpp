// The time stamps that tell how long a device ran unread before an overrun.
#include <ctime>

#include "capture/capture.hpp"
#include "capture/device.hpp"

int64_t MonotonicNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * kNsPerSecond + now.tv_nsec;
}

DeviceMark MarkDevice(snd_pcm_t* pcm)
{
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
    // An error here is an overrun the next read reports; the frames it
    // swallowed are then counted by time alone.
    return DeviceMark{MonotonicNs(), avail > 0 ? static_cast<int64_t>(avail) : 0};
}

OverrunClock ReadOverrunClock(snd_pcm_t* pcm, const DeviceMark& mark)
{
    OverrunClock clock{mark, 0, 0, 0, 0};
    snd_pcm_status_t* status;
    snd_pcm_status_alloca(&status);
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_tstamp_type_t type = SND_PCM_TSTAMP_TYPE_GETTIMEOFDAY;
    if (snd_pcm_status(pcm, status) < 0 || snd_pcm_sw_params_current(pcm, sw) < 0 ||
        snd_pcm_sw_params_get_tstamp_type(sw, &type) < 0) {
        clock.now_ns = MonotonicNs();
        return clock;
    }
    // The status's own time stamp is left at 0 outside a running stream
    // unless time stamps were enabled, so the present on the device's clock
    // is read here, from the clock its time stamps use.
    const clockid_t device_clock = type == SND_PCM_TSTAMP_TYPE_MONOTONIC       ? CLOCK_MONOTONIC
                                   : type == SND_PCM_TSTAMP_TYPE_MONOTONIC_RAW ? CLOCK_MONOTONIC_RAW
                                                                               : CLOCK_REALTIME;
    timespec device_now;
    clock_gettime(device_clock, &device_now);
    clock.now_ns = MonotonicNs();
    clock.device_now_ns = int64_t{device_now.tv_sec} * kNsPerSecond + device_now.tv_nsec;
    snd_htimestamp_t trigger;
    snd_pcm_status_get_trigger_htstamp(status, &trigger);
    clock.trigger_ns = int64_t{trigger.tv_sec} * kNsPerSecond + trigger.tv_nsec;
    clock.avail_frames = static_cast<int64_t>(snd_pcm_status_get_avail(status));
    return clock;
}

// How much audio an overrun lost, from the time stamps known when it is found.
#include <algorithm>

#include "capture/capture.hpp"

namespace {

constexpr int64_t kNsPerSecond = 1000000000;

// Frames captured in `ns` at `rate_hz`; whole seconds first, so that even a
// take paused for days cannot overflow. A negative span counts as none.
int64_t FramesIn(int64_t ns, uint32_t rate_hz)
{
    if (ns <= 0)
        return 0;
    return ns / kNsPerSecond * rate_hz + ns % kNsPerSecond * rate_hz / kNsPerSecond;
}

} // namespace

int64_t OverrunGapFrames(const OverrunClock& clock, int period_frames, uint32_t rate_hz,
                         int64_t frames_left)
{
    const int64_t period = period_frames;
    const int64_t since_mark_ns = clock.now_ns - clock.mark.at_ns;
    // The mark on the device's clock: both clocks run at the same speed,
    // whatever their origins.
    const int64_t mark_on_device_ns = clock.device_now_ns - since_mark_ns;
    int64_t lost_frames;
    if (clock.trigger_ns > 0 && clock.trigger_ns > mark_on_device_ns &&
        clock.trigger_ns <= clock.device_now_ns) {
        // A trigger after the last read is the kernel stopping the stream at the
        // overrun: what the buffer held then, plus all the time it stood since.
        lost_frames =
            clock.avail_frames + FramesIn(clock.device_now_ns - clock.trigger_ns, rate_hz);
    } else {
        // Devices in user space (alsa-lib's ioplug: sound servers, plugins)
        // keep the trigger of the start through an overrun, so it tells
        // nothing. The program's own record does for every device: the next
        // frame it would have read was captured `buffered_frames` before the
        // mark, and the device restarts now.
        lost_frames = clock.mark.buffered_frames + FramesIn(since_mark_ns, rate_hz);
    }
    const int64_t periods = std::max<int64_t>(1, (lost_frames + period / 2) / period);
    // Compared in periods: the product may not be formed for a huge count.
    return std::min(periods, frames_left / period) * period;
}

int64_t RealTimeRoomFrames(int64_t elapsed_ns, uint32_t rate_hz, int64_t timeline_frames,
                           int period_frames)
{
    const int64_t room = FramesIn(elapsed_ns, rate_hz) - timeline_frames;
    return room > 0 ? room - room % period_frames : 0;
}

int64_t UnreportedLossFrames(const DeviceMark& before, const DeviceMark& after, int64_t read_frames,
                             int64_t buffer_frames, int period_frames, uint32_t rate_hz)
{
    // What the device captured for us since the last read: what it held
    // then, and everything since. Up to its buffer, it holds them all.
    const int64_t captured = before.buffered_frames + FramesIn(after.at_ns - before.at_ns, rate_hz);
    if (captured <= buffer_frames + period_frames)
        return 0;
    // Beyond that, what was neither read nor is still held is gone.
    const int64_t lost = captured - read_frames - after.buffered_frames;
    const int64_t period = period_frames;
    return lost > 0 ? (lost + period / 2) / period * period : 0;
}

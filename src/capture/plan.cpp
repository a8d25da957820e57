// Planning a take in whole periods, and the longest take a WAV header holds.
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "capture/capture.hpp"
#include "wav/wav.hpp"

void QUANTIZE(int period_frames, uint32_t rate_hz, const float* duration_s, int64_t* frames)
{
    // The 32-bit rate times the single-precision duration is exact in double.
    const double product = static_cast<double>(rate_hz) * static_cast<double>(*duration_s);
    if (!(product > 0)) {
        *frames = 0;
        return;
    }
    const double period = period_frames;
    // Far beyond 2^31 frames: no count of periods is needed to refuse it.
    if (product / period > 1e15) {
        *frames = INT64_MAX;
        return;
    }
    int64_t periods = static_cast<int64_t>(product / period);
    while (static_cast<double>(periods) * period < product)
        ++periods;
    while (periods > 1 && static_cast<double>(periods - 1) * period >= product)
        --periods;
    if (periods < 1)
        periods = 1;
    *frames = periods * period_frames;
}

int64_t MaxTakeFrames(int period_frames, uint32_t bytes_per_frame)
{
    int64_t frames = static_cast<int64_t>((kMaxRiffSize - 36) / bytes_per_frame);
    const int64_t counter_limit = (int64_t{1} << 31) - 1;
    if (frames > counter_limit)
        frames = counter_limit;
    return frames - frames % period_frames;
}

int RefuseOverlongTake(int64_t frames, int period_frames, uint32_t rate_hz,
                       uint32_t bytes_per_frame)
{
    const int64_t most = MaxTakeFrames(period_frames, bytes_per_frame);
    if (frames <= most)
        return 0;
    std::printf(
        "Improper duration request: one file of this format and channel mode holds at most %" PRId64
        " seconds\n",
        most / rate_hz);
    return 1;
}

void UpdateClock(int64_t frames_a, int64_t frames_b, uint32_t rate_hz)
{
    // Not flushed here: the meter text that follows in the same period
    // flushes the whole status line, one write per period.
    std::printf("\rrem = %.2f sec",
                static_cast<double>(frames_a + frames_b) / static_cast<double>(rate_hz));
}

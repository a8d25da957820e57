// Planning a take in whole periods, and the longest take that can be counted.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "capture/capture.hpp"
#include "meter/meter.hpp"
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
    // 2^62 frames of at least 2 bytes pass the largest file offset: no count
    // of periods is needed to refuse them, and below it whole periods never
    // overflow 64 bits.
    if (product >= 0x1p62) {
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
    // The file's size, header included, is a file offset (off_t): a signed
    // 64-bit byte count.
    const int64_t frames = (INT64_MAX - kRf64HeaderBytes) / bytes_per_frame;
    return frames - frames % period_frames;
}

int RefuseOverlongTake(int64_t frames, int period_frames, uint32_t bytes_per_frame)
{
    if (frames <= MaxTakeFrames(period_frames, bytes_per_frame))
        return 0;
    std::printf("Improper duration request: too many frames to count\n");
    return 1;
}

void UpdateClock(int64_t frames_a, int64_t frames_b, uint32_t rate_hz)
{
    // Not flushed here: the meter text that follows in the same period
    // flushes the whole status line, one write per period.
    char text[64] = "\rrem = ";
    const int room = static_cast<int>(sizeof text) - 7 - 4;
    const int len = 7 + std::min(room - 1, FormatDecimal(text + 7, static_cast<size_t>(room),
                                                         static_cast<double>(frames_a + frames_b) /
                                                             static_cast<double>(rate_hz),
                                                         2));
    std::memcpy(text + len, " sec", 4);
    std::fwrite(text, 1, static_cast<size_t>(len) + 4, stdout);
}

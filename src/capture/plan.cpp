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

int FormatClock(char* out, int room, int64_t frames, uint32_t rate_hz, bool elapsed)
{
    // "\rrem = %.2f sec", without printf's arbitrary precision every period.
    const char* start = elapsed ? "\rrec = " : "\rrem = ";
    constexpr int kStartBytes = 7; // either of them
    constexpr char kEnd[] = " sec";
    constexpr int kEndBytes = sizeof kEnd - 1;
    if (room <= kStartBytes + kEndBytes + 1)
        return 0;
    std::memcpy(out, start, kStartBytes);
    const int digits_room = room - kStartBytes - kEndBytes;
    const int digits =
        std::min(digits_room - 1,
                 FormatDecimal(out + kStartBytes, static_cast<size_t>(digits_room),
                               static_cast<double>(frames) / static_cast<double>(rate_hz), 2));
    std::memcpy(out + kStartBytes + digits, kEnd, kEndBytes + 1);
    return kStartBytes + digits + kEndBytes;
}

// The take's metering: the one-period-late scan, the bar meter with held
// peaks, and the end-of-take report of the channel peaks.
#include <cmath>
#include <cstdio>

#include "capture/capture.hpp"
#include "meter/meter.hpp"

namespace {
constexpr float kMeterRangeDb = 45.0f;
constexpr float kFallDb = 11.25f;
int quiet_take = 0;
} // namespace

void SetQuietTake(int quiet)
{
    quiet_take = quiet;
}

int QuietTake()
{
    return quiet_take;
}

void MeterStart(TakeMeter* meter, uint32_t rate_hz, int32_t channels, int32_t interleave)
{
    for (int c = 0; c < 2; ++c) {
        meter->take_peaks[c] = 0;
        meter->period_peaks[c] = 0;
        meter->held_peaks[c] = 0;
    }
    // About 3 seconds of 4096-frame periods, whatever period the device grants.
    meter->hold_window = (3 * rate_hz) >> 12;
    meter->periods_since_hold = 0;
    meter->reset = 1;
    meter->scanned = (interleave == 1 || channels == 2) ? 2 : 1;
    meter->meter_channels = interleave == 1 ? 2 : channels;
    meter->frames = false;
}

void MeterScan(TakeMeter* meter, int period_frames, uint32_t sample_bytes, const char* plane1,
               const char* plane2)
{
    if (meter->frames) {
        for (int c = 0; c < meter->scanned; ++c)
            meter->period_peaks[c] = 0;
        CheckFramePeaks(meter->scanned, period_frames, sample_bytes, meter->take_peaks, plane1,
                        meter->period_peaks);
        return;
    }
    meter->period_peaks[0] = 0;
    CheckPeak(0, period_frames, sample_bytes, meter->take_peaks, plane1, meter->period_peaks);
    if (meter->scanned == 2) {
        meter->period_peaks[1] = 0;
        CheckPeak(1, period_frames, sample_bytes, meter->take_peaks, plane2, meter->period_peaks);
    }
}

namespace {

void HoldPeaks(TakeMeter* meter)
{
    const int metered = meter->meter_channels == 2 ? 2 : 1;
    meter->periods_since_hold += 1;
    for (int c = 0; c < metered; ++c)
        if (meter->held_peaks[c] < meter->period_peaks[c])
            meter->held_peaks[c] = meter->period_peaks[c];
    if (static_cast<uint32_t>(meter->periods_since_hold) > meter->hold_window) {
        for (int c = 0; c < metered; ++c)
            meter->held_peaks[c] = meter->period_peaks[c];
        meter->periods_since_hold = 0;
    }
}

} // namespace

void MeterShow(TakeMeter* meter, uint32_t sample_bytes)
{
    if (!quiet_take)
        StereoMeter(meter->period_peaks, kMeterRangeDb, &meter->reset, kFallDb,
                    static_cast<int>(sample_bytes), meter->meter_channels, meter->held_peaks);
    HoldPeaks(meter);
}

void ShowStatus(TakeMeter* meter, uint32_t sample_bytes, int64_t frames, uint32_t rate_hz,
                bool elapsed)
{
    constexpr int kClockBytes = 64;
    char line[kClockBytes + kMeterTextBytes];
    const int columns = quiet_take ? 0 : StatusColumns();
    if (columns == 0) {
        if (!quiet_take && elapsed) {
            const int len = FormatClock(line, kClockBytes, frames, rate_hz, true);
            std::fwrite(line, 1, static_cast<size_t>(len), stdout);
        } else if (!quiet_take) {
            UpdateClock(frames, 0, rate_hz);
        }
        MeterShow(meter, sample_bytes);
        return;
    }
    int len = FormatClock(line, kClockBytes, frames, rate_hz, elapsed);
    len += FormatMeter(line + len, meter->period_peaks, kMeterRangeDb, &meter->reset, kFallDb,
                       static_cast<int>(sample_bytes), meter->meter_channels, meter->held_peaks);
    len = FitStatusLine(line, len, static_cast<int>(sizeof line), columns);
    std::fwrite(line, 1, static_cast<size_t>(len), stdout);
    std::fflush(stdout);
    HoldPeaks(meter);
}

void MeterReport(const TakeMeter* meter, uint32_t sample_bytes, const int kept[2],
                 int32_t interleave)
{
    const double full_scale = FullScale(sample_bytes);
    std::printf("\n\nInput Channel Peaks:\n");
    for (int c = 0; c < 2; ++c) {
        if (!(kept[c] || (c == 1 && interleave == 1)))
            continue;
        const float level =
            static_cast<float>(-20.0 * std::log10(full_scale / meter->take_peaks[c]));
        std::printf("\tchannel %i: %.2f dBFS\n", c + 1, static_cast<double>(level));
    }
}

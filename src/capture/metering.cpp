// The take's metering: the one-period-late scan, the bar meter with held
// peaks, and the end-of-take report of the channel peaks.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

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

void ShowStatus(TakeMeter* meter, uint32_t sample_bytes, int64_t frames, uint32_t rate_hz,
                bool elapsed, const std::string& file_name)
{
    if (!quiet_take) {
        constexpr int kClockBytes = 64;
        char line[kClockBytes + kMeterTextBytes + kStatusNameBytes];
        int len = FormatClock(line, kClockBytes, frames, rate_hz, elapsed);
        len +=
            FormatMeter(line + len, meter->period_peaks, kMeterRangeDb, &meter->reset, kFallDb,
                        static_cast<int>(sample_bytes), meter->meter_channels, meter->held_peaks);
        // 0 columns: no terminal, and no limit; but a name only where a
        // terminal shows it whole.
        const int columns = StatusColumns();
        const int name_bytes = static_cast<int>(file_name.size());
        if (columns != 0 && name_bytes > 0 && name_bytes <= kStatusNameBytes - 2 &&
            TerminalColumns(line, len) + 2 + name_bytes <= columns) {
            std::memcpy(line + len, "  ", 2);
            std::memcpy(line + len + 2, file_name.data(), file_name.size());
            len += 2 + name_bytes;
        } else if (columns != 0) {
            len = FitStatusLine(line, len, static_cast<int>(sizeof line), columns);
        }
        std::fwrite(line, 1, static_cast<size_t>(len), stdout);
    }
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

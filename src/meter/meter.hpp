// Level metering: the per-period peak detector and the text bar meter.
#pragma once

#include <cstddef>
#include <cstdint>

// Full scale, the magnitude that reads 0 dB, of a sample of `sample_bytes`.
inline double FullScale(uint32_t sample_bytes)
{
    return sample_bytes == 3 ? 8388608.0 : 32768.0;
}

// Scans `count` samples of one channel plane and raises entry `index` of the
// take peaks and the period peaks to the largest magnitude. Prints the clip
// warning at most once per call.
void CheckPeak(int index, int count, uint32_t sample_bytes, int32_t* take_peaks, const void* buffer,
               int32_t* period_peaks);

// CheckPeak for channels 1 and, with `channels` 2, 2 of `count` interleaved
// stereo frames (a device that delivers frames only): the same entries are
// raised and the same warnings printed, channel 1's first.
void CheckFramePeaks(int channels, int count, uint32_t sample_bytes, int32_t* take_peaks,
                     const void* frames, int32_t* period_peaks);

// Appends the meter text (bar over `range_db`, held peaks in dB) to the
// status line and flushes standard output. Its state lives across calls and
// is reinitialised when *reset is 1.
void StereoMeter(const int32_t* period_peaks, float range_db, int* reset, float fall_db,
                 int sample_bytes, int channels, const int32_t* held_peaks);

// How many of the 24 bar columns a displayed level of `current_db` lights.
int LitSegments(double current_db, float range_db);

// The meter text of one call, without printing it; `out` has room for
// kMeterTextBytes. Returns the length. StereoMeter prints exactly this.
inline constexpr int kMeterTextBytes = 128;
int FormatMeter(char* out, const int32_t* period_peaks, float range_db, int* reset, float fall_db,
                int sample_bytes, int channels, const int32_t* held_peaks);

// Columns that `text` takes on a terminal: a tab moves to the next multiple
// of 8, a carriage return back to column 0. The widest column reached.
int TerminalColumns(const char* text, int bytes);

// Fits a status line (the remaining time, then the meter text) into a
// terminal of `columns` columns: a line that fits is left as it is;
// otherwise the bar is narrowed, then the held peaks are left out, and at
// last only the remaining time is kept, padded with blanks to the full
// width. `line` has room for `capacity` bytes. Returns the new length.
int FitStatusLine(char* line, int bytes, int capacity, int columns);

// snprintf(out, room, "%.*f", decimals, value), byte for byte, result
// included; exact and fast for up to 3 decimals and magnitudes below 10^15,
// the C library's for others.
int FormatDecimal(char* out, size_t room, double value, int decimals);

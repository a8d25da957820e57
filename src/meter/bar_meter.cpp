// Bar meter: a 24-column bar over the meter range and the held peaks in dB.
#include <cmath>
#include <cstring>

#include "meter/meter.hpp"

namespace {

constexpr int kColumns = 24;

// State carried from call to call; one meter per process, reset per take.
double Current = 0.0;
float Last = 0.0f;
float realPeakL = 0.0f;
float realPeakR = 0.0f;

// The meter text's fixed pieces; the numbers are short enough that the
// text always fits kMeterTextBytes.
int Append(char* out, int len, const char* text)
{
    const size_t bytes = std::strlen(text);
    std::memcpy(out + len, text, bytes + 1);
    return len + static_cast<int>(bytes);
}

double LevelDb(double full_scale, int32_t amplitude)
{
    return -20.0 * std::log10(full_scale / amplitude);
}

} // namespace

int LitSegments(double current_db, float range_db)
{
    if (current_db < -range_db)
        return 0;
    const float segment_db = range_db / kColumns;
    float e = static_cast<float>((current_db + range_db) / segment_db);
    if (e > kColumns)
        e = kColumns;
    // Any positive fraction of a segment lights it.
    return e > 0 ? static_cast<int>(std::ceil(e)) : 0;
}

int FormatMeter(char* out, const int32_t* period_peaks, float range_db, int* reset, float fall_db,
                int sample_bytes, int channels, const int32_t* held_peaks)
{
    const double full_scale = FullScale(static_cast<uint32_t>(sample_bytes));
    const int32_t amplitude =
        channels == 1 ? period_peaks[0]
                      : static_cast<int32_t>(0.5 * period_peaks[0] + 0.5 * period_peaks[1]);
    const double level = LevelDb(full_scale, amplitude);

    if (*reset == 1) {
        *reset = 0;
        Current = -144.0;
        Last = -144.0f;
        realPeakL = -144.0f;
        realPeakR = -144.0f;
    }

    if (level > Last)
        Current = level;
    else
        Current = Current - fall_db;

    const int lit = LitSegments(Current, range_db);

    int len = Append(out, 0, "\t -");
    len += FormatDecimal(out + len, kMeterTextBytes - len, static_cast<double>(range_db), 0);
    len = Append(out, len, " dB [");
    for (int i = 0; i < kColumns; ++i)
        out[len++] = i < lit ? '|' : ' ';

    if (held_peaks[0] != 0)
        realPeakL = static_cast<float>(LevelDb(full_scale, held_peaks[0]));
    len = Append(out, len, "] ");
    len += FormatDecimal(out + len, kMeterTextBytes - len, static_cast<double>(realPeakL), 1);
    if (channels == 2) {
        if (held_peaks[1] != 0)
            realPeakR = static_cast<float>(LevelDb(full_scale, held_peaks[1]));
        len = Append(out, len, " / ");
        len += FormatDecimal(out + len, kMeterTextBytes - len, static_cast<double>(realPeakR), 1);
    }
    len = Append(out, len, " dB   ");
    Last = static_cast<float>(level);
    return len;
}

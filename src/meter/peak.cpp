// Peak detector: decodes one channel plane of little-endian samples.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "meter/meter.hpp"

namespace {

// The largest magnitude of a plane. Kept to one pass without a branch per
// sample: the loop is the hottest code of a take.
int32_t PlanePeak16(const unsigned char* p, int count)
{
    int32_t peak = 0;
    for (int i = 0; i < count; ++i) {
        int16_t v;
        std::memcpy(&v, p + 2 * i, 2);
        const int32_t m = std::abs(static_cast<int32_t>(v));
        peak = m > peak ? m : peak;
    }
    return peak;
}

int32_t PlanePeak24(const unsigned char* p, int count)
{
    int32_t peak = 0;
    for (int i = 0; i < count; ++i) {
        const unsigned char* s = p + 3 * i;
        // Top byte signed, the other two unsigned: two's complement of 24 bits.
        const int32_t v = static_cast<int32_t>(s[0]) | (static_cast<int32_t>(s[1]) << 8) |
                          (static_cast<int32_t>(static_cast<signed char>(s[2])) * 65536);
        const int32_t m = std::abs(v);
        peak = m > peak ? m : peak;
    }
    return peak;
}

} // namespace

void CheckPeak(int index, int count, uint32_t sample_bytes, int32_t* take_peaks,
               const void* buffer, int32_t* period_peaks)
{
    if (count < 1)
        return;
    const auto* bufferM = static_cast<const unsigned char*>(buffer);
    const int32_t sample = sample_bytes == 3 ? PlanePeak24(bufferM, count)
                                             : PlanePeak16(bufferM, count);
    if (take_peaks[index] < sample)
        take_peaks[index] = sample;
    if (period_peaks[index] < sample)
        period_peaks[index] = sample;
    // One warning per call however many samples clip: the largest magnitude
    // is above the threshold exactly when some sample is.
    const int32_t clip = sample_bytes == 3 ? 8388606 : 32766;
    if (sample > clip)
        std::printf("\nInput Channel %i is Peaking!\n", index + 1);
}

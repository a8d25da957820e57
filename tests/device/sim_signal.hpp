// Sample values produced by the simulated capture device (sim_pcm.cpp).
// Tests include this header to predict every sample a program must receive,
// so the device and its tests can never disagree about a formula.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>

// Range of a signed little-endian sample of `sample_bytes` bytes (2 or 3).
inline int32_t SimSampleMax(int sample_bytes)
{
    return static_cast<int32_t>((int64_t{1} << (8 * sample_bytes - 1)) - 1);
}
inline int32_t SimSampleMin(int sample_bytes)
{
    return static_cast<int32_t>(-(int64_t{1} << (8 * sample_bytes - 1)));
}

// Values from the configuration ("peaks" and "sine" amplitudes) are clamped,
// not wrapped, so an out-of-range value still reads as a full-scale peak.
inline int32_t SimClampSample(int64_t value, int sample_bytes)
{
    if (value > SimSampleMax(sample_bytes))
        return SimSampleMax(sample_bytes);
    if (value < SimSampleMin(sample_bytes))
        return SimSampleMin(sample_bytes);
    return static_cast<int32_t>(value);
}

// "ramp": channel 0 (left) of global frame n is u = (n * 0x010203 + 1) modulo
// 2^(8 * sample_bytes); channel 1 (right) is ~u within the same width. Both
// are read as signed samples. The odd multiplier makes u a bijection over any
// 2^16 consecutive frames (so no value repeats within a period), every byte
// changes from one frame to the next, and left + right == -1 always, so a
// swapped channel, a byte-order slip or an off-by-one frame all show up.
inline int32_t SimRampSample(int channel, uint64_t frame, int sample_bytes)
{
    const int bits = 8 * sample_bytes;
    const uint64_t mask = (uint64_t{1} << bits) - 1;
    uint64_t u = (frame * 0x010203u + 1u) & mask;
    if (channel != 0)
        u = ~u & mask;
    const uint64_t sign = uint64_t{1} << (bits - 1);
    return static_cast<int32_t>(static_cast<int64_t>(u ^ sign) - static_cast<int64_t>(sign));
}

// "sine": lround(amplitude * sin(2 * pi * freq * n / rate)), n the global
// frame. The phase is reduced modulo the rate first so that long recordings
// keep full precision.
inline int32_t SimSineSample(double amplitude, double freq, uint64_t frame, unsigned rate,
                             int sample_bytes)
{
    const double cycles = std::fmod(freq * static_cast<double>(frame), rate);
    const double x = amplitude * std::sin(2.0 * std::numbers::pi * cycles / rate);
    return SimClampSample(std::lround(x), sample_bytes);
}

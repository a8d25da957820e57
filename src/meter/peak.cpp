// Peak detector: decodes one channel plane of little-endian samples.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "meter/meter.hpp"

namespace {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
// A second build of the scans with wider vectors, chosen at load time on
// processors that have them; about five times faster there. Not in a build
// for ThreadSanitizer: the choice is made by a resolver that runs while the
// program is loaded, before that runtime has started, and crashes it.
#define WIDE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define WIDE_VECTOR_CLONES
#endif

// The largest magnitude of a plane is the larger of its largest value and
// the negated smallest: tracking both lets the compiler vectorise the scan
// (no absolute value per sample), which is the hottest code of a take.
WIDE_VECTOR_CLONES int32_t PlanePeak16(const unsigned char* p, int count)
{
    int16_t hi = 0, lo = 0;
    for (int i = 0; i < count; ++i) {
        int16_t v;
        std::memcpy(&v, p + 2 * i, 2);
        hi = v > hi ? v : hi;
        lo = v < lo ? v : lo;
    }
    return std::max<int32_t>(hi, -static_cast<int32_t>(lo));
}

// Top byte signed, the other two unsigned: two's complement of 24 bits,
// sign-extended by moving the sample to the top of a word and back.
inline int32_t Decode24(uint32_t low_bytes_first)
{
    return static_cast<int32_t>(low_bytes_first << 8) >> 8;
}

WIDE_VECTOR_CLONES int32_t PlanePeak24(const unsigned char* p, int count)
{
    int32_t hi = 0, lo = 0;
    int i = 0;
    // Eight packed samples are exactly three 64-bit words.
    for (; i + 8 <= count; i += 8) {
        uint64_t w0, w1, w2;
        std::memcpy(&w0, p + 3 * i, 8);
        std::memcpy(&w1, p + 3 * i + 8, 8);
        std::memcpy(&w2, p + 3 * i + 16, 8);
        const int32_t v[8] = {
            Decode24(static_cast<uint32_t>(w0)),
            Decode24(static_cast<uint32_t>(w0 >> 24)),
            Decode24(static_cast<uint32_t>((w0 >> 48) | (w1 << 16))),
            Decode24(static_cast<uint32_t>(w1 >> 8)),
            Decode24(static_cast<uint32_t>(w1 >> 32)),
            Decode24(static_cast<uint32_t>((w1 >> 56) | (w2 << 8))),
            Decode24(static_cast<uint32_t>(w2 >> 16)),
            Decode24(static_cast<uint32_t>(w2 >> 40)),
        };
        for (int32_t x : v) {
            hi = x > hi ? x : hi;
            lo = x < lo ? x : lo;
        }
    }
    for (; i < count; ++i) {
        const unsigned char* s = p + 3 * i;
        const int32_t x = Decode24(s[0] | (static_cast<uint32_t>(s[1]) << 8) |
                                   (static_cast<uint32_t>(s[2]) << 16));
        hi = x > hi ? x : hi;
        lo = x < lo ? x : lo;
    }
    return std::max(hi, -lo);
}

#if defined(__x86_64__) && defined(__GNUC__) && (defined(__clang__) || __GNUC__ >= 12)
using Bytes16 = unsigned char __attribute__((vector_size(16)));
using Bytes32 = unsigned char __attribute__((vector_size(32)));
using Ints8 = int32_t __attribute__((vector_size(32)));

// Eight samples per step, with AVX2 where the processor has it (chosen at
// run time, not by a load-time resolver that runs before a sanitizer
// starts): each 24-bit sample goes to the top of a 32-bit lane by one byte
// shuffle, so the lanes hold the samples times 256, in order, and the
// largest and smallest of each lane are kept without decoding. Lane k holds
// samples 8i + k: of interleaved frames, the even lanes are channel 1's.
// Returns how many samples it scanned.
__attribute__((target("avx2"))) int Lanes24Avx2(const unsigned char* p, int count, Ints8* hi,
                                                Ints8* lo)
{
    // In registers: the buffer's bytes may alias anything the pointers
    // reach, so stores through them would be made every step.
    Ints8 top = *hi, bottom = *lo;
    int i = 0;
    // Two 16-byte reads at 3i and 3i + 12 stay within the buffer.
    for (; i + 10 <= count; i += 8) {
        Bytes16 first, second;
        std::memcpy(&first, p + 3 * i, 16);
        std::memcpy(&second, p + 3 * i + 12, 16);
        const Bytes32 both = __builtin_shufflevector(first, second, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9,
                                                     10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                                     22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
        const Bytes32 zero = {};
        const Ints8 v = reinterpret_cast<Ints8>(__builtin_shufflevector(
            both, zero, 32, 0, 1, 2, 32, 3, 4, 5, 32, 6, 7, 8, 32, 9, 10, 11, 32, 16, 17, 18, 32,
            19, 20, 21, 32, 22, 23, 24, 32, 25, 26, 27));
        top = v > top ? v : top;
        bottom = v < bottom ? v : bottom;
    }
    *hi = top;
    *lo = bottom;
    return i;
}

__attribute__((target("avx2"))) int32_t PlanePeak24Avx2(const unsigned char* p, int count)
{
    Ints8 hi = {}, lo = {};
    const int i = Lanes24Avx2(p, count, &hi, &lo);
    int32_t top = 0, bottom = 0;
    for (int k = 0; k < 8; ++k) {
        top = std::max(top, hi[k] >> 8);
        bottom = std::min(bottom, lo[k] >> 8);
    }
    const int32_t rest = i < count ? PlanePeak24(p + 3 * i, count - i) : 0;
    return std::max({top, -bottom, rest});
}

int32_t PlanePeak24Fastest(const unsigned char* p, int count)
{
    return __builtin_cpu_supports("avx2") ? PlanePeak24Avx2(p, count) : PlanePeak24(p, count);
}

// Of interleaved frames: the even lanes are channel 1's, the odd ones
// channel 2's. Returns the frames scanned.
int FramesPeak24Fastest(const unsigned char* p, int count, int32_t top[2], int32_t bottom[2])
{
    if (!__builtin_cpu_supports("avx2"))
        return 0;
    Ints8 hi = {}, lo = {};
    const int samples = Lanes24Avx2(p, 2 * count, &hi, &lo);
    for (int k = 0; k < 8; ++k) {
        top[k % 2] = std::max(top[k % 2], hi[k] >> 8);
        bottom[k % 2] = std::min(bottom[k % 2], lo[k] >> 8);
    }
    return samples / 2;
}
#else
int32_t PlanePeak24Fastest(const unsigned char* p, int count)
{
    return PlanePeak24(p, count);
}

int FramesPeak24Fastest(const unsigned char*, int, int32_t[2], int32_t[2])
{
    return 0;
}
#endif

} // namespace

void CheckPeak(int index, int count, uint32_t sample_bytes, int32_t* take_peaks, const void* buffer,
               int32_t* period_peaks)
{
    if (count < 1)
        return;
    const auto* bufferM = static_cast<const unsigned char*>(buffer);
    const int32_t sample =
        sample_bytes == 3 ? PlanePeak24Fastest(bufferM, count) : PlanePeak16(bufferM, count);
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

namespace {

using Shorts8 = int16_t __attribute__((vector_size(16)));

// The largest magnitude of each channel of interleaved stereo frames, four
// frames a step in a vector of eight lanes: the even lanes are channel 1's.
void FramePeaks16(const unsigned char* p, int count, int32_t peaks[2])
{
    Shorts8 hi = {}, lo = {};
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        Shorts8 v;
        std::memcpy(&v, p + 4 * i, sizeof v);
        hi = v > hi ? v : hi;
        lo = v < lo ? v : lo;
    }
    int32_t top[2] = {0, 0}, bottom[2] = {0, 0};
    for (int k = 0; k < 8; ++k) {
        top[k % 2] = std::max<int32_t>(top[k % 2], hi[k]);
        bottom[k % 2] = std::min<int32_t>(bottom[k % 2], lo[k]);
    }
    for (; i < count; ++i) {
        int16_t v[2];
        std::memcpy(v, p + 4 * i, 4);
        for (int c = 0; c < 2; ++c) {
            top[c] = std::max<int32_t>(top[c], v[c]);
            bottom[c] = std::min<int32_t>(bottom[c], v[c]);
        }
    }
    for (int c = 0; c < 2; ++c)
        peaks[c] = std::max(top[c], -bottom[c]);
}

void FramePeaks24(const unsigned char* p, int count, int32_t peaks[2])
{
    int32_t top[2] = {0, 0}, bottom[2] = {0, 0};
    int i = FramesPeak24Fastest(p, count, top, bottom);
    for (; i < count; ++i) {
        for (int c = 0; c < 2; ++c) {
            const unsigned char* s = p + 6 * i + 3 * c;
            const int32_t x = Decode24(s[0] | (static_cast<uint32_t>(s[1]) << 8) |
                                       (static_cast<uint32_t>(s[2]) << 16));
            top[c] = x > top[c] ? x : top[c];
            bottom[c] = x < bottom[c] ? x : bottom[c];
        }
    }
    for (int c = 0; c < 2; ++c)
        peaks[c] = std::max(top[c], -bottom[c]);
}

} // namespace

void CheckFramePeaks(int channels, int count, uint32_t sample_bytes, int32_t* take_peaks,
                     const void* frames, int32_t* period_peaks)
{
    if (count < 1)
        return;
    int32_t peaks[2];
    const auto* bytes = static_cast<const unsigned char*>(frames);
    if (sample_bytes == 3)
        FramePeaks24(bytes, count, peaks);
    else
        FramePeaks16(bytes, count, peaks);
    const int32_t clip = sample_bytes == 3 ? 8388606 : 32766;
    for (int c = 0; c < channels && c < 2; ++c) {
        take_peaks[c] = std::max(take_peaks[c], peaks[c]);
        period_peaks[c] = std::max(period_peaks[c], peaks[c]);
        if (peaks[c] > clip)
            std::printf("\nInput Channel %i is Peaking!\n", c + 1);
    }
}

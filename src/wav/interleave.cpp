// Turns the two channel planes of a period into the frames of a stereo file.
#include <cstring>

#include "wav/wav.hpp"

namespace {

#if defined(__GNUC__) && (defined(__clang__) || __GNUC__ >= 12)
#define VECTOR_INTERLEAVE 1
using Bytes16 = unsigned char __attribute__((vector_size(16)));
using Words8 = unsigned short __attribute__((vector_size(16)));
#endif

#if defined(__x86_64__) && defined(VECTOR_INTERLEAVE)
// A byte shuffle of two vectors is one instruction per vector from SSSE3
// on, and a long scalar sequence without it: chosen at run time. Not with
// target_clones, whose load-time resolver runs before a sanitizer starts.
#define BYTE_SHUFFLE __attribute__((target("ssse3")))
bool HasByteShuffle()
{
    return __builtin_cpu_supports("ssse3");
}
#elif defined(VECTOR_INTERLEAVE)
#define BYTE_SHUFFLE
bool HasByteShuffle()
{
    return true;
}
#endif

void InterleaveFrames16(int from, int frames, const char* left, const char* right, char* out)
{
    for (int n = from; n < frames; ++n) {
        std::memcpy(out + 4 * n, left + 2 * n, 2);
        std::memcpy(out + 4 * n + 2, right + 2 * n, 2);
    }
}

void InterleaveFrames24(int from, int frames, const char* left, const char* right, char* out)
{
    if (from >= frames)
        return;
    // Four-byte copies are much cheaper than three-byte ones; the byte each
    // writes too many is overwritten by the next copy. The last frame copies
    // exactly, so nothing is read or written past a buffer.
    int n = from;
    for (; n + 1 < frames; ++n) {
        std::memcpy(out + 6 * n, left + 3 * n, 4);
        std::memcpy(out + 6 * n + 3, right + 3 * n, 4);
    }
    std::memcpy(out + 6 * n, left + 3 * n, 3);
    std::memcpy(out + 6 * n + 3, right + 3 * n, 3);
}

#ifdef VECTOR_INTERLEAVE
// Eight frames of 16-bit samples per step: an unpack of two vectors of words
// (plain SSE2 on x86-64).
int InterleaveVector16(int frames, const char* left, const char* right, char* out)
{
    int n = 0;
    for (; n + 8 <= frames; n += 8) {
        Words8 l, r;
        std::memcpy(&l, left + 2 * n, 16);
        std::memcpy(&r, right + 2 * n, 16);
        const Words8 lo = __builtin_shufflevector(l, r, 0, 8, 1, 9, 2, 10, 3, 11);
        const Words8 hi = __builtin_shufflevector(l, r, 4, 12, 5, 13, 6, 14, 7, 15);
        std::memcpy(out + 4 * n, &lo, 16);
        std::memcpy(out + 4 * n + 16, &hi, 16);
    }
    return n;
}

// Four frames of 24-bit samples per step, from 16 bytes of each plane (of
// which 12 are used): the 24 bytes out are two byte shuffles of the pair.
// Stops while 16 bytes can still be read without passing a plane's end.
BYTE_SHUFFLE int InterleaveVector24(int frames, const char* left, const char* right, char* out)
{
    int n = 0;
    for (; n + 6 <= frames; n += 4) {
        Bytes16 l, r;
        std::memcpy(&l, left + 3 * n, 16);
        std::memcpy(&r, right + 3 * n, 16);
        const Bytes16 first =
            __builtin_shufflevector(l, r, 0, 1, 2, 16, 17, 18, 3, 4, 5, 19, 20, 21, 6, 7, 8, 22);
        const Bytes16 rest =
            __builtin_shufflevector(l, r, 23, 24, 9, 10, 11, 25, 26, 27, 0, 0, 0, 0, 0, 0, 0, 0);
        std::memcpy(out + 6 * n, &first, 16);
        std::memcpy(out + 6 * n + 16, &rest, 8);
    }
    return n;
}
#endif

} // namespace

void Interleave(int frames, int sample_bytes, const char* left, const char* right, char* out)
{
    if (frames <= 0)
        return;
    int done = 0;
    if (sample_bytes == 2) {
#ifdef VECTOR_INTERLEAVE
        done = InterleaveVector16(frames, left, right, out);
#endif
        InterleaveFrames16(done, frames, left, right, out);
    } else if (sample_bytes == 3) {
#ifdef VECTOR_INTERLEAVE
        if (HasByteShuffle())
            done = InterleaveVector24(frames, left, right, out);
#endif
        InterleaveFrames24(done, frames, left, right, out);
    }
}

void Deinterleave(int frames, int sample_bytes, const char* in, char* left, char* right)
{
    if (frames <= 0 || (sample_bytes != 2 && sample_bytes != 3))
        return;
    const size_t size = static_cast<size_t>(sample_bytes);
    for (size_t n = 0; n < static_cast<size_t>(frames); ++n) {
        std::memcpy(left + n * size, in + 2 * n * size, size);
        if (right != nullptr)
            std::memcpy(right + n * size, in + (2 * n + 1) * size, size);
    }
}

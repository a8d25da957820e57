// Turns the two channel planes of a period into the frames of a stereo file.
#include <cstring>

#include "wav/wav.hpp"

void Interleave(int frames, int sample_bytes, const char* left, const char* right, char* out)
{
    if (sample_bytes == 2) {
        for (int n = 0; n < frames; ++n) {
            std::memcpy(out + 4 * n, left + 2 * n, 2);
            std::memcpy(out + 4 * n + 2, right + 2 * n, 2);
        }
    } else if (sample_bytes == 3 && frames > 0) {
        // Four-byte copies are much cheaper than three-byte ones; the byte
        // each writes too many is overwritten by the next copy. The last
        // frame copies exactly, so nothing is read or written past a buffer.
        int n = 0;
        for (; n + 1 < frames; ++n) {
            std::memcpy(out + 6 * n, left + 3 * n, 4);
            std::memcpy(out + 6 * n + 3, right + 3 * n, 4);
        }
        std::memcpy(out + 6 * n, left + 3 * n, 3);
        std::memcpy(out + 6 * n + 3, right + 3 * n, 3);
    }
}

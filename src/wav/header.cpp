// The 44-byte RIFF/WAVE header of a PCM take whose length is known in advance.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "wav/wav.hpp"

void Decon4(uint32_t value, unsigned char* out)
{
    out[0] = static_cast<unsigned char>(value & 0xFF);
    out[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
    out[2] = static_cast<unsigned char>((value >> 16) & 0xFF);
    out[3] = static_cast<unsigned char>((value >> 24) & 0xFF);
}

void Decon2(uint16_t value, unsigned char* out)
{
    out[0] = static_cast<unsigned char>(value % 256);
    out[1] = static_cast<unsigned char>(value / 256);
}

void BuildHeader(unsigned char out[kHeaderBytes], uint32_t rate_hz, int64_t frames,
                 uint32_t sample_bytes, int interleave)
{
    const uint16_t channels = interleave == 1 ? 2 : 1;
    const uint16_t block_align = static_cast<uint16_t>(channels * sample_bytes);
    const uint32_t byte_rate = rate_hz * block_align;
    const uint32_t data_bytes = static_cast<uint32_t>(frames * block_align);
    const uint32_t riff_bytes = data_bytes + 36;

    std::memcpy(out + 0, "RIFF", 4);
    Decon4(riff_bytes, out + 4);
    std::memcpy(out + 8, "WAVE", 4);
    std::memcpy(out + 12, "fmt ", 4);
    Decon4(16, out + 16);
    Decon2(1, out + 20); // integer PCM
    Decon2(channels, out + 22);
    Decon4(rate_hz, out + 24);
    Decon4(byte_rate, out + 28);
    Decon2(block_align, out + 32);
    Decon2(static_cast<uint16_t>(sample_bytes * 8), out + 34);
    std::memcpy(out + 36, "data", 4);
    Decon4(data_bytes, out + 40);
}

int MAKE_HEADER(const char* name, uint32_t rate_hz, int64_t frames, uint32_t sample_bytes,
                int interleave, int exclusive)
{
    unsigned char header[kHeaderBytes];
    BuildHeader(header, rate_hz, frames, sample_bytes, interleave);

    FILE* f = std::fopen(name, exclusive ? "wbx" : "wb");
    if (f == nullptr)
        return errno;
    int err = 0;
    if (std::fwrite(header, 1, kHeaderBytes, f) != kHeaderBytes)
        err = errno ? errno : EIO;
    if (std::fclose(f) != 0 && err == 0)
        err = errno;
    return -err;
}

// The files are open for appending, where Linux lets pwrite append too; the
// flag is dropped first so that the two fields are written in place.
int RewriteSizes(int fd, int64_t frames, uint32_t bytes_per_frame)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return errno;
    if ((flags & O_APPEND) && fcntl(fd, F_SETFL, flags & ~O_APPEND) < 0)
        return errno;

    const uint32_t data_bytes = static_cast<uint32_t>(frames * bytes_per_frame);
    unsigned char riff[4], data[4];
    Decon4(data_bytes + 36, riff);
    Decon4(data_bytes, data);
    int err = 0;
    if (pwrite(fd, riff, 4, 4) != 4 || pwrite(fd, data, 4, 40) != 4)
        err = errno ? errno : EIO;
    if ((flags & O_APPEND) && fcntl(fd, F_SETFL, flags) < 0 && err == 0)
        err = errno;
    return err;
}

// The header of a PCM take whose length is known in advance: 44-byte
// RIFF/WAVE while its sizes fit in 32 bits, 80-byte RF64 beyond.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "wav/header.hpp"

namespace {

// The size field of "RF64" and of its "data" chunk: the real size is in ds64.
constexpr uint32_t kSizeInDs64 = 0xFFFFFFFFu;
constexpr uint32_t kDs64ChunkBytes = 28;
// Offsets in the RF64 header.
constexpr int kDs64ValuesAt = 20;
constexpr int kRf64DataSizeAt = 76;

struct Format {
    uint16_t channels;
    uint16_t block_align;
};

Format FormatOf(uint32_t sample_bytes, int interleave)
{
    const uint16_t channels = interleave == 1 ? 2 : 1;
    return {channels, static_cast<uint16_t>(BytesPerFrame(sample_bytes, interleave))};
}

// The 24-byte "fmt " chunk, the same in both header kinds.
void BuildFmtChunk(unsigned char* out, uint32_t rate_hz, uint32_t sample_bytes, int interleave)
{
    const Format f = FormatOf(sample_bytes, interleave);
    std::memcpy(out + 0, "fmt ", 4);
    Decon4(16, out + 4);
    Decon2(1, out + 8); // integer PCM
    Decon2(f.channels, out + 10);
    Decon4(rate_hz, out + 12);
    Decon4(rate_hz * f.block_align, out + 16);
    Decon2(f.block_align, out + 20);
    Decon2(static_cast<uint16_t>(sample_bytes * 8), out + 22);
}

// Chunk ids, "RF64"/"RIFF" size, ds64 values and table length: bytes 0 to 47
// of the RF64 header, which RewriteSizes writes again in one piece.
void BuildRf64Front(unsigned char out[48], uint64_t data_bytes, int64_t frames, bool as_riff)
{
    const uint64_t riff_bytes = data_bytes + kRf64HeaderBytes - 8;
    std::memcpy(out + 0, as_riff ? "RIFF" : "RF64", 4);
    Decon4(as_riff ? static_cast<uint32_t>(riff_bytes) : kSizeInDs64, out + 4);
    std::memcpy(out + 8, "WAVE", 4);
    // A reader that knows no ds64 skips a JUNK chunk of the same length.
    std::memcpy(out + 12, as_riff ? "JUNK" : "ds64", 4);
    Decon4(kDs64ChunkBytes, out + 16);
    Decon8(riff_bytes, out + kDs64ValuesAt);
    Decon8(data_bytes, out + kDs64ValuesAt + 8);
    Decon8(static_cast<uint64_t>(frames), out + kDs64ValuesAt + 16);
    Decon4(0, out + 44); // no table of other chunk sizes
}

} // namespace

int TakeHeaderBytes(int64_t frames, uint32_t bytes_per_frame)
{
    const uint64_t data_bytes = static_cast<uint64_t>(frames) * bytes_per_frame;
    return data_bytes <= kMaxRiffSize - 36 ? kHeaderBytes : kRf64HeaderBytes;
}

void Decon8(uint64_t value, unsigned char* out)
{
    Decon4(static_cast<uint32_t>(value & 0xFFFFFFFFu), out);
    Decon4(static_cast<uint32_t>(value >> 32), out + 4);
}

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
    const uint32_t data_bytes =
        static_cast<uint32_t>(frames * BytesPerFrame(sample_bytes, interleave));
    const uint32_t riff_bytes = data_bytes + 36;

    std::memcpy(out + 0, "RIFF", 4);
    Decon4(riff_bytes, out + 4);
    std::memcpy(out + 8, "WAVE", 4);
    BuildFmtChunk(out + 12, rate_hz, sample_bytes, interleave);
    std::memcpy(out + 36, "data", 4);
    Decon4(data_bytes, out + 40);
}

void BuildRf64Header(unsigned char out[kRf64HeaderBytes], uint32_t rate_hz, int64_t frames,
                     uint32_t sample_bytes, int interleave)
{
    const uint64_t data_bytes =
        static_cast<uint64_t>(frames) * BytesPerFrame(sample_bytes, interleave);
    BuildRf64Front(out, data_bytes, frames, false);
    BuildFmtChunk(out + 48, rate_hz, sample_bytes, interleave);
    std::memcpy(out + 72, "data", 4);
    Decon4(kSizeInDs64, out + kRf64DataSizeAt);
}

void BuildOpenHeader(unsigned char out[kRf64HeaderBytes], uint32_t rate_hz, uint32_t sample_bytes,
                     int interleave)
{
    BuildRf64Front(out, 0, 0, true);
    BuildFmtChunk(out + 48, rate_hz, sample_bytes, interleave);
    std::memcpy(out + 72, "data", 4);
    Decon4(0, out + kRf64DataSizeAt);
}

void StateLongestStream(unsigned char header[kRf64HeaderBytes], uint32_t bytes_per_frame)
{
    // The RIFF size counts the 72 bytes of the header after it.
    const uint64_t room = kMaxRiffSize - (kRf64HeaderBytes - 8);
    const uint64_t data_bytes = room - room % bytes_per_frame;
    BuildRf64Front(header, data_bytes, static_cast<int64_t>(data_bytes / bytes_per_frame), true);
    Decon4(static_cast<uint32_t>(data_bytes), header + kRf64DataSizeAt);
}

int BuildTakeHeader(unsigned char out[kRf64HeaderBytes], uint32_t rate_hz, int64_t frames,
                    uint32_t sample_bytes, int interleave)
{
    const int header_bytes = TakeHeaderBytes(frames, BytesPerFrame(sample_bytes, interleave));
    if (header_bytes == kRf64HeaderBytes)
        BuildRf64Header(out, rate_hz, frames, sample_bytes, interleave);
    else
        BuildHeader(out, rate_hz, frames, sample_bytes, interleave);
    return header_bytes;
}

// The files are open for appending, where Linux lets pwrite append too; the
// flag is dropped first so that the fields are written in place.
int RewriteSizes(int fd, int64_t frames, uint32_t bytes_per_frame, int header_bytes)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return errno;
    if ((flags & O_APPEND) && fcntl(fd, F_SETFL, flags & ~O_APPEND) < 0)
        return errno;

    int err = 0;
    if (header_bytes == kRf64HeaderBytes) {
        const uint64_t data_bytes = static_cast<uint64_t>(frames) * bytes_per_frame;
        // The RIFF size counts the JUNK chunk: it is the file size - 8.
        const bool as_riff = data_bytes <= kMaxRiffSize - (kRf64HeaderBytes - 8);
        unsigned char front[48], data[4];
        BuildRf64Front(front, data_bytes, frames, as_riff);
        Decon4(as_riff ? static_cast<uint32_t>(data_bytes) : kSizeInDs64, data);
        if (pwrite(fd, front, sizeof front, 0) != sizeof front ||
            pwrite(fd, data, 4, kRf64DataSizeAt) != 4)
            err = errno ? errno : EIO;
    } else {
        const uint32_t data_bytes = static_cast<uint32_t>(frames * bytes_per_frame);
        unsigned char riff[4], data[4];
        Decon4(data_bytes + 36, riff);
        Decon4(data_bytes, data);
        if (pwrite(fd, riff, 4, 4) != 4 || pwrite(fd, data, 4, 40) != 4)
            err = errno ? errno : EIO;
    }
    if ((flags & O_APPEND) && fcntl(fd, F_SETFL, flags) < 0 && err == 0)
        err = errno;
    return err;
}

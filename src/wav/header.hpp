// The header writer: the 44-byte RIFF header or the 80-byte RF64 header of a
// PCM take, built byte by byte, and its sizes rewritten in place.
#pragma once

#include <cstdint>

inline constexpr int kHeaderBytes = 44;
// A take too long for 32-bit sizes gets an RF64 header: its ds64 chunk holds
// the sizes in 64 bits, so the audio starts at byte 80.
inline constexpr int kRf64HeaderBytes = 80;

// The largest RIFF chunk size a header can state.
inline constexpr uint64_t kMaxRiffSize = 4294967295u;

// The planned frames of a take of open length, which runs until it is
// stopped: its header states what has been written, rewritten as it grows.
inline constexpr int64_t kOpenLength = -1;

// The bytes of one frame of a file: one sample, or two in a stereo file
// (interleave 1).
inline constexpr uint32_t BytesPerFrame(uint32_t sample_bytes, int interleave)
{
    return sample_bytes * (interleave == 1 ? 2 : 1);
}

// The header size of a take of `frames` frames: 44 while its data size plus
// 36 fits in 32 bits, else 80 (RF64).
int TakeHeaderBytes(int64_t frames, uint32_t bytes_per_frame);

// Byte splitters of the header, least significant byte first.
void Decon8(uint64_t value, unsigned char* out);
void Decon4(uint32_t value, unsigned char* out);
void Decon2(uint16_t value, unsigned char* out);

// Fills `out` with the header of a take of `frames` frames. A stereo file
// (interleave 1) states 2 channels, a mono file 1. Sizes are written as
// unsigned 32-bit values; the caller keeps data size + 36 within 32 bits.
void BuildHeader(unsigned char out[kHeaderBytes], uint32_t rate_hz, int64_t frames,
                 uint32_t sample_bytes, int interleave);

// Fills `out` with the RF64 header of a take of `frames` frames: "RF64" with
// a size of 0xFFFFFFFF, a 28-byte ds64 chunk (file size - 8, data size and
// frames, 64 bits each, and an empty table), the same "fmt " chunk as the
// RIFF header, and "data" with a size of 0xFFFFFFFF.
void BuildRf64Header(unsigned char out[kRf64HeaderBytes], uint32_t rate_hz, int64_t frames,
                     uint32_t sample_bytes, int interleave);

// Fills `out` with the header of a take of open length, as it starts: 80
// bytes that state no audio yet, laid out as an RF64 header whose ds64
// chunk is a JUNK chunk (which every reader skips), so that RewriteSizes
// can state any length in place, as RIFF and, past 4 GiB, as RF64.
void BuildOpenHeader(unsigned char out[kRf64HeaderBytes], uint32_t rate_hz, uint32_t sample_bytes,
                     int interleave);

// Makes the header of a take of open length (BuildOpenHeader) state the
// longest data that whole frames fill in a RIFF header: 0xFFFFFFB7 bytes
// less the odd frame. That header is final in a stream that cannot be
// rewound (a pipe, a socket, a file open for appending), and readers of a
// stream read such a length as "until the stream ends".
void StateLongestStream(unsigned char header[kRf64HeaderBytes], uint32_t bytes_per_frame);

// Fills `out` with the header of the kind that TakeHeaderBytes chooses for a
// take of `frames` frames, and returns its length (44 or 80).
int BuildTakeHeader(unsigned char out[kRf64HeaderBytes], uint32_t rate_hz, int64_t frames,
                    uint32_t sample_bytes, int interleave);

// Rewrites the sizes of the header of the open file `fd`, whose header is
// `header_bytes` long, to state `frames` frames. A 44-byte header gets its
// two size fields (bytes 4 and 40) and nothing else. An 80-byte (RF64)
// header gets its ds64 values; when the data then fits a RIFF header, the
// file becomes a plain RIFF file instead: "RIFF" with the file size - 8, the
// ds64 chunk renamed "JUNK", and the data size; the audio stays at byte 80.
// Returns 0, or the errno of the failure.
int RewriteSizes(int fd, int64_t frames, uint32_t bytes_per_frame, int header_bytes = kHeaderBytes);

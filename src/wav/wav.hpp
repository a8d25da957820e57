// WAV output: the 44-byte header, the set of output files of a take, and the
// stereo interleaver. No ALSA here: everything is testable with plain files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr int kHeaderBytes = 44;

// The largest RIFF chunk size a header can state.
inline constexpr uint64_t kMaxRiffSize = 4294967295u;

// Byte splitters of the header, least significant byte first.
void Decon4(uint32_t value, unsigned char* out);
void Decon2(uint16_t value, unsigned char* out);

// Fills `out` with the header of a take of `frames` frames. A stereo file
// (interleave 1) states 2 channels, a mono file 1. Sizes are written as
// unsigned 32-bit values; the caller keeps data size + 36 within 32 bits.
void BuildHeader(unsigned char out[kHeaderBytes], uint32_t rate_hz, int64_t frames,
                 uint32_t sample_bytes, int interleave);

// Creates `name` (or cuts an existing file to nothing) and writes the header.
// With `exclusive` set, an existing file is left alone and EEXIST returned.
// Returns 0; the errno when the file cannot be created; minus the errno
// when the header cannot be written (a full disk, /dev/full).
int MAKE_HEADER(const char* name, uint32_t rate_hz, int64_t frames, uint32_t sample_bytes,
                int interleave, int exclusive);

// Rewrites the two size fields (bytes 4 and 40) of the header of the open
// file `fd` to state `frames` frames; writes those 8 bytes and nothing else.
// Returns 0, or the errno of the failure.
int RewriteSizes(int fd, int64_t frames, uint32_t bytes_per_frame);

// Copies one period of two channel planes into frames, left sample first.
void Interleave(int frames, int sample_bytes, const char* left, const char* right, char* out);

// Seconds since 2012-10-10 16:09:00 UTC, for made names.
long NewTime();

// The output files of one take, per hardware channel 1 and 2.
struct OutputFiles {
    int kept[2];
    FILE* file[2];
    const char* name[2]; // points into the split scratch buffer
    int created[2];      // this run made the file (it did not exist before)
    int regular[2];      // a regular file: seekable, its header can be rewritten
    int64_t frames_written[2];
};

// Settles the names, writes every header, then opens each file for
// appending. `may_replace` holds, per given name in list order, 1 for a file
// the user agreed to overwrite: only such a file is cut. Any other given name
// is created exclusively (through a dangling link, the file it names), so a
// file that exists by then is refused. Two given names of one regular file
// are refused ("Can't record both channels into the same file %s", on
// standard output) before any file is made or cut. A FIFO without a reader
// cannot be opened. On any failure prints "Can't open %s for recording" for
// each name concerned, removes what this run made, and returns 1; else 0.
int OpenOutputFiles(OutputFiles* set, int channels, uint32_t sample_bytes, int auto_naming,
                    char* file_list, char* scratch, int interleave, int64_t planned_frames,
                    uint32_t rate_hz, const int32_t may_replace[2]);

// Writes one period at frame position `write_pos` of every open file. On the
// first failure prints one line naming the file on standard error and
// returns -1; else 0.
int WritePeriod(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                int64_t write_pos, const char* plane1, const char* plane2, char* interleave_buf);

// WritePeriod without the report: returns 0, or the errno of the failure
// with the channel of the file it concerns. Safe to call from a thread that
// must not print.
int WritePeriodQuietly(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                       const char* plane1, const char* plane2, char* interleave_buf, int* channel);

// Ends the status line and prints "Can't write NAME: <error>" on standard
// error.
void ReportWriteFailure(const char* name, int err);

// After a take that ended early: cuts every file to the whole periods that
// were written to all of them (which also gives back space reserved beyond
// them) and makes its header state exactly that, so the two files of a take
// always hold the same periods. Returns 0, or -1 after printing a line.
int SealShortTake(OutputFiles* set, uint32_t bytes_per_frame, int period_frames);

// Reserves the disk space of the planned data of every regular file, without
// changing its size. Where the file system cannot reserve, its free space
// must hold the take's files on it together; one that counts no blocks
// (ramfs) is not checked. Returns 0, or 1 after printing one line on
// standard error when the file system has no room for the take.
int ReserveTakeSpace(OutputFiles* set, int64_t planned_frames, uint32_t bytes_per_frame);

// Closes every open file. Returns 0, or -1 after printing a line for a
// close that failed.
int CloseOutputFiles(OutputFiles* set);

// Closes without checks and removes the files this run made: the take did
// not start.
void DiscardOutputFiles(OutputFiles* set);

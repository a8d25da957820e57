// WAV output: the 44-byte RIFF header or the 80-byte RF64 header, the set of output files of a
// take, and the stereo interleaver. No ALSA here: everything is testable with plain files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "wav/file_safety.hpp"

inline constexpr int kHeaderBytes = 44;
// A take too long for 32-bit sizes gets an RF64 header: its ds64 chunk holds
// the sizes in 64 bits, so the audio starts at byte 80.
inline constexpr int kRf64HeaderBytes = 80;

// The largest RIFF chunk size a header can state.
inline constexpr uint64_t kMaxRiffSize = 4294967295u;

// The planned frames of a take of open length, which runs until it is
// stopped: its header states what has been written, rewritten as it grows.
inline constexpr int64_t kOpenLength = -1;

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

// Fills `out` with the header of the kind that TakeHeaderBytes chooses for a
// take of `frames` frames, and returns its length (44 or 80).
int BuildTakeHeader(unsigned char out[kRf64HeaderBytes], uint32_t rate_hz, int64_t frames,
                    uint32_t sample_bytes, int interleave);

// Creates `name` (or cuts an existing file to nothing) and writes the header
// of the kind that TakeHeaderBytes chooses.
// With `exclusive` set, an existing file is left alone and EEXIST returned.
// Returns 0; the errno when the file cannot be created; minus the errno
// when the header cannot be written (a full disk, /dev/full).
int MAKE_HEADER(const char* name, uint32_t rate_hz, int64_t frames, uint32_t sample_bytes,
                int interleave, int exclusive);

// Rewrites the sizes of the header of the open file `fd`, whose header is
// `header_bytes` long, to state `frames` frames. A 44-byte header gets its
// two size fields (bytes 4 and 40) and nothing else. An 80-byte (RF64)
// header gets its ds64 values; when the data then fits a RIFF header, the
// file becomes a plain RIFF file instead: "RIFF" with the file size - 8, the
// ds64 chunk renamed "JUNK", and the data size; the audio stays at byte 80.
// Returns 0, or the errno of the failure.
int RewriteSizes(int fd, int64_t frames, uint32_t bytes_per_frame, int header_bytes = kHeaderBytes);

// Copies one period of two channel planes into frames, left sample first.
void Interleave(int frames, int sample_bytes, const char* left, const char* right, char* out);
// The reverse, for a device that delivers frames only: channel 1's samples
// into `left` and channel 2's into `right` (left out when null).
void Deinterleave(int frames, int sample_bytes, const char* in, char* left, char* right);

// Seconds since 2012-10-10 16:09:00 UTC, for made names.
long NewTime();

// The output files of one take, per hardware channel 1 and 2.
struct OutputFiles {
    int kept[2];
    FILE* file[2];
    const char* name[2]; // points into the split scratch buffer
    int created[2];      // this run made the file (it did not exist before)
    int regular[2];      // a regular file: seekable, its header can be rewritten
    int header_bytes[2]; // where the audio starts: 44, or 80 for RF64
    int64_t frames_written[2];
    // An existing file the user agreed to replace: opened but not yet cut,
    // and without its header until CommitOutputFiles.
    int pending[2];
    MadeFile made[2]; // where a file this run created lives
    // The first failure of each file when the take was sealed, synced or
    // closed, kept for the report (ReportFileErrors); 0 for none.
    int error[2];
    // The header every file gets, built once.
    unsigned char header[kRf64HeaderBytes];
};

// Settles the names and opens every file, changing nothing that existed
// (`planned_frames` may be kOpenLength):
// a name that is absent is created (through a dangling link, the file it
// names) with its header, by identity, and locked; an existing file is
// opened without being cut, and only when the user agreed to replace it
// (`may_replace`, per given name in list order: 1 for any file, 2 only for
// a file that is not a regular file, such as a device or a FIFO). A regular
// file that another take has locked is refused ("Can't record %s: another
// take is recording it"). Two given names of one regular file are refused
// ("Can't record both channels into the same file %s") before any file is
// made. A FIFO without a reader cannot be opened. Every refusal is one line
// on standard output ("Can't open %s for recording: <reason>"), except a
// header that cannot be written ("Can't write %s: <reason>", standard
// error); then the files this run made are removed and 1 is returned; else 0.
int OpenOutputFiles(OutputFiles* set, int channels, uint32_t sample_bytes, int auto_naming,
                    char* file_list, char* scratch, int interleave, int64_t planned_frames,
                    uint32_t rate_hz, const int32_t may_replace[2]);

// Once nothing can refuse the take any more: cuts each existing file that
// was agreed to, gives it (and every device or FIFO) its header, and
// reserves a cut file's space again. Returns 0, or 1 after printing one line
// naming the file.
int CommitOutputFiles(OutputFiles* set, int64_t planned_frames, uint32_t bytes_per_frame);

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

// The most periods WritePeriodsQuietly takes at once.
inline constexpr int kMaxPeriodsPerWrite = 16;

// WritePeriodQuietly of `count` periods, period k's planes at plane1[k] and
// plane2[k], with one system call per file for all of them: for a writer
// that has fallen behind, or a source faster than real time. The stereo file
// needs room for `count` interleaved periods in `interleave_buf`, or, with
// `plane2` null, takes plane1[k] as period k's frames, already interleaved. Counts in
// frames_written the whole periods that reached each file, also on a
// failure. At most kMaxPeriodsPerWrite periods are taken.
int WritePeriodsQuietly(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                        const char* const* plane1, const char* const* plane2, int count,
                        char* interleave_buf, int* channel);

// Ends the status line and prints "Can't write NAME: <error>" on standard
// error (for kRemovedDuringTake: "the file was removed during the take").
void ReportWriteFailure(const char* name, int err);

// After a take that ended early: cuts every file to the whole periods that
// were written to all of them (which also gives back space reserved beyond
// them) and makes its header state exactly that, so the two files of a take
// always hold the same periods. Returns 0, or -1 with the failure kept in
// `error`.
int SealShortTake(OutputFiles* set, uint32_t bytes_per_frame, int period_frames);

// Reserves the disk space of the planned data of every regular file, without
// changing its size. Where the file system cannot reserve, its free space
// must hold the take's files on it together; one that counts no blocks
// (ramfs) is not checked. Returns 0, or 1 after printing one line on
// standard error when the file system has no room for the take, or when the
// file system or the file-size limit does not let the file grow that large.
int ReserveTakeSpace(OutputFiles* set, int64_t planned_frames, uint32_t bytes_per_frame);

// For a take of open length, which reserves its space as it goes: reserves
// `frames` frames from frame `from_frames` on in every regular file,
// without changing its size. Where the file system cannot reserve, its free
// space must hold them for all of the take's files on it. Returns 0, or the
// errno (ENOSPC, EDQUOT, EFBIG: the file system or the file-size limit has
// no room for them) with the channel of the file concerned.
int ReserveAhead(OutputFiles* set, int64_t from_frames, int64_t frames, uint32_t bytes_per_frame,
                 int* channel);

// Closes every open file. Returns 0, or -1 with the failure kept in `error`.
int CloseOutputFiles(OutputFiles* set);

// Closes without checks and removes the files this run made: the take did
// not start. Existing files were not touched, and are not.
void DiscardOutputFiles(OutputFiles* set);

// Makes what was written to every regular file durable, and tells a file
// that has lost its name. Returns 0, or the errno of the first failure
// (kRemovedDuringTake for a removed file) with its channel.
int SyncOutputFiles(OutputFiles* set, int* channel);
// Makes the entries of the files this run made durable. Returns 0, or the
// errno of the first failure with its channel.
int SyncMadeFolders(OutputFiles* set, int* channel);

// Keeps the first failure of the file of `channel` for the report.
void KeepFileError(OutputFiles* set, int channel, int err);
// Prints "Can't write NAME: <error>" for each file with a failure kept.
// Returns how many.
int ReportFileErrors(const OutputFiles* set);

// Not an errno: the file was unlinked while the take wrote it.
inline constexpr int kRemovedDuringTake = -1;

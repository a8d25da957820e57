// The output file set of a take: its names settled and its files opened,
// their space reserved, periods written, and the files sealed, synced and
// closed.
#pragma once

#include <cstdint>
#include <cstdio>

#include "files/file_safety.hpp"
#include "wav/header.hpp"

// Seconds since 2012-10-10 16:09:00 UTC, for made names.
long NewTime();

// The output files of one take, per hardware channel 1 and 2.
struct OutputFiles {
    int kept[2];
    FILE* file[2];
    const char* name[2]; // points into the split scratch buffer
    int created[2];      // this run made the file (it did not exist before)
    int regular[2];      // a regular file not open for appending: its header can be rewritten
    int header_bytes[2]; // where the audio starts: 44, or 80 for RF64
    int open_length;     // a take of open length: each header states what is written
    int64_t frames_written[2];
    // The frame of the take at which the files begin: 0, but for the files
    // of a series after the first.
    int64_t first_frame;
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
// (`may_replace`, per given name in list order). A file agreed to with
// `pinned` (per given name) must be the very file pinned, reached through
// no link that was not there: else "%s changed after the question".
// Standard output (IsStandardOutputName) is taken as descriptor 1 is open.
// A regular file that another take has locked is refused ("Can't record %s:
// another take is recording it"). Two given names of one regular file are
// refused ("Can't record both channels into the same file %s") before any
// file is made. A FIFO without a reader cannot be opened. Every refusal is
// one line on standard output ("Can't open %s for recording: <reason>"),
// except a header that cannot be written ("Can't write %s: <reason>",
// standard error); every name is tried, each refused one gets its line,
// then the files this run made are removed and 1 is returned; else 0.
int OpenOutputFiles(OutputFiles* set, int channels, uint32_t sample_bytes, int auto_naming,
                    char* file_list, char* scratch, int interleave, int64_t planned_frames,
                    uint32_t rate_hz, const MayReplace may_replace[2],
                    const AnsweredFile pinned[2] = nullptr);

// Once nothing can refuse the take any more: cuts each existing file that
// was agreed to, gives it (and every device or FIFO) its header (in a take
// of open length, one that cannot be rewritten states the longest stream:
// StateLongestStream), and reserves a cut file's space again. Returns 0, or
// 1 after printing one line naming the file.
int CommitOutputFiles(OutputFiles* set, int64_t planned_frames, uint32_t bytes_per_frame);

// Closes without checks and removes the files this run made: the take did
// not start. Existing files were not touched, and are not.
void DiscardOutputFiles(OutputFiles* set);

// Reserves the disk space of the planned data of every regular file, without
// changing its size. Where the file system cannot reserve, its free space
// must hold the take's files on it together; one that counts no blocks
// (ramfs) is not checked. Returns 0, or 1 after printing one line on
// standard error when the file system has no room for the take, or when the
// file system or the file-size limit does not let the file grow that large.
int ReserveTakeSpace(OutputFiles* set, int64_t planned_frames, uint32_t bytes_per_frame);
// ReserveTakeSpace of the file of `channel` alone.
int ReserveFileSpace(OutputFiles* set, int channel, int64_t planned_frames,
                     uint32_t bytes_per_frame);

// For a take of open length, which reserves its space as it goes: reserves
// `frames` frames from frame `from_frames` on in every regular file,
// without changing its size. Where the file system cannot reserve, its free
// space must hold them for all of the take's files on it. Returns 0, or the
// errno (ENOSPC, EDQUOT, EFBIG: the file system or the file-size limit has
// no room for them) with the channel of the file concerned.
int ReserveAhead(OutputFiles* set, int64_t from_frames, int64_t frames, uint32_t bytes_per_frame,
                 int* channel);

// The most periods WritePeriodsQuietly takes at once.
inline constexpr int kMaxPeriodsPerWrite = 16;

// Writes `periods` periods to every open file, period k's planes at
// plane1[k] and plane2[k], with one system call per file for all of them:
// for a writer that has fallen behind, or a source faster than real time.
// The stereo file needs room for `periods` interleaved periods in
// `interleave_buf`, or, with `plane2` null, takes plane1[k] as period k's
// frames, already interleaved. Counts in frames_written the whole periods
// that reached each file, also on a failure. At most kMaxPeriodsPerWrite
// periods are taken. Returns 0, or the errno of the failure with the
// channel of the file it concerns; prints nothing, so it is safe to call
// from a thread that must not print.
int WritePeriodsQuietly(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                        const char* const* plane1, const char* const* plane2, int periods,
                        char* interleave_buf, int* channel);

// WritePeriodsQuietly of `frames` frames from frame `from` of period 0 on,
// in the periods that they span (at most kMaxPeriodsPerWrite), counting
// whole frames: a file of a series ends, and the next begins, at an exact
// frame.
int WriteFramesQuietly(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                       const char* const* plane1, const char* const* plane2, int64_t from,
                       int64_t frames, char* interleave_buf, int* channel);

// Not an errno: the file was unlinked while the take wrote it.
inline constexpr int kRemovedDuringTake = -1;

// Ends the status line and prints "Can't write NAME: <error>" on standard
// error (for kRemovedDuringTake: "the file was removed during the take");
// for a file that could not be made (`opening`, a file of a series), "Can't
// open NAME for recording: <error>".
void ReportWriteFailure(const char* name, int err, bool opening = false);

// After a take that ended early: cuts every file to the whole periods that
// were written to all of them (which also gives back space reserved beyond
// them) and makes its header state exactly that, so the two files of a take
// always hold the same periods. Returns 0, or -1 with the failure kept in
// `error`.
int SealShortTake(OutputFiles* set, uint32_t bytes_per_frame, int period_frames);

// Makes what was written to every regular file durable, and tells a file
// that has lost its name. Returns 0, or the errno of the first failure
// (kRemovedDuringTake for a removed file) with its channel.
int SyncOutputFiles(OutputFiles* set, int* channel);
// Makes the entries of the files this run made durable. Returns 0, or the
// errno of the first failure with its channel.
int SyncMadeFolders(OutputFiles* set, int* channel);

// Closes every open file. Returns 0, or -1 with the failure kept in `error`.
int CloseOutputFiles(OutputFiles* set);

// Keeps the first failure of the file of `channel` for the report.
void KeepFileError(OutputFiles* set, int channel, int err);
// Prints "Can't write NAME: <error>" for each file with a failure kept.
// Returns how many.
int ReportFileErrors(const OutputFiles* set);

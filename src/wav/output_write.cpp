// Writing the periods of a take to its files, and the report of a write
// that failed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/uio.h>

#include "files/shown_name.hpp"
#include "wav/interleave.hpp"
#include "wav/output_files.hpp"
#include "wav/write_all.hpp"

namespace {

// The pieces of `frames` frames of one channel's planes (or of the frames
// of a stereo slot, `frame_bytes` each), from frame `from` of period 0 on.
int PiecesOf(const char* const* periods, int period_frames, size_t frame_bytes, int64_t from,
             int64_t frames, iovec* pieces)
{
    int used = 0;
    for (int k = 0; frames > 0; ++k) {
        const int64_t skip = k == 0 ? from : 0;
        const int64_t take = period_frames - skip < frames ? period_frames - skip : frames;
        pieces[used++] = {const_cast<char*>(periods[k]) + skip * frame_bytes,
                          static_cast<size_t>(take) * frame_bytes};
        frames -= take;
    }
    return used;
}

} // namespace

// No seek before a write: the files are open for appending, so every write
// lands at the end, which is the frames' place (header + frames written x
// bytes per frame) in a take that has not failed; a seek would only cost a
// system call per file and period.
int WriteFramesQuietly(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                       const char* const* plane1, const char* const* plane2, int64_t from,
                       int64_t frames, char* interleave_buf, int* channel)
{
    if (frames < 1)
        return 0;
    const int periods = static_cast<int>((from + frames + period_frames - 1) / period_frames);
    if (periods > kMaxPeriodsPerWrite)
        return EINVAL;
    iovec pieces[kMaxPeriodsPerWrite];
    for (int c = 0; c < 2; ++c) {
        FILE* f = set->file[c];
        if (!set->kept[c] || f == nullptr || (interleave == 1 && c != 0))
            continue;
        size_t frame_bytes = sample_bytes;
        int used;
        if (interleave != 1) {
            used = PiecesOf(c == 0 ? plane1 : plane2, period_frames, frame_bytes, from, frames,
                            pieces);
        } else if (plane2 == nullptr) {
            // Frames as the device delivered them: nothing to interleave.
            frame_bytes = 2 * sample_bytes;
            used = PiecesOf(plane1, period_frames, frame_bytes, from, frames, pieces);
        } else {
            frame_bytes = 2 * sample_bytes;
            const size_t period_bytes = static_cast<size_t>(period_frames) * frame_bytes;
            for (int k = 0; k < periods; ++k)
                Interleave(period_frames, static_cast<int>(sample_bytes), plane1[k], plane2[k],
                           interleave_buf + k * period_bytes);
            pieces[0] = {interleave_buf + from * frame_bytes,
                         static_cast<size_t>(frames) * frame_bytes};
            used = 1;
        }
        // The stream is unbuffered: nothing of it waits in stdio.
        size_t written_bytes = 0;
        const int err = WriteAllPieces(fileno(f), pieces, used, &written_bytes);
        set->frames_written[c] += static_cast<int64_t>(written_bytes / frame_bytes);
        if (err != 0) {
            *channel = c;
            return err;
        }
    }
    return 0;
}

int WritePeriodsQuietly(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                        const char* const* plane1, const char* const* plane2, int periods,
                        char* interleave_buf, int* channel)
{
    if (periods > kMaxPeriodsPerWrite)
        periods = kMaxPeriodsPerWrite;
    const int64_t before[2] = {set->frames_written[0], set->frames_written[1]};
    const int err =
        WriteFramesQuietly(set, interleave, sample_bytes, period_frames, plane1, plane2, 0,
                           int64_t{periods} * period_frames, interleave_buf, channel);
    // Whole periods count: a period cut short by a failure is no period.
    for (int c = 0; c < 2; ++c)
        set->frames_written[c] -= (set->frames_written[c] - before[c]) % period_frames;
    return err;
}

void ReportWriteFailure(const char* name, int err, bool opening)
{
    // The status line on standard output has no newline of its own.
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::fprintf(stderr, opening ? "Can't open %s for recording: %s\n" : "Can't write %s: %s\n",
                 ShownName(name).c_str(),
                 err == kRemovedDuringTake ? "the file was removed during the take"
                                           : std::strerror(err));
}

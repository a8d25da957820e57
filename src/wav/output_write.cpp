// Writing the periods of a take to its files, and the report of a write
// that failed.
#include <cstdio>
#include <cstring>
#include <sys/uio.h>

#include "files/shown_name.hpp"
#include "wav/interleave.hpp"
#include "wav/output_files.hpp"
#include "wav/write_all.hpp"

// No seek before a write: the files are open for appending, so every write
// lands at the end, which is the period's place (header + frames written x
// bytes per frame) in a take that has not failed; a seek would only cost a
// system call per file and period.
int WritePeriodsQuietly(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                        const char* const* plane1, const char* const* plane2, int periods,
                        char* interleave_buf, int* channel)
{
    const size_t plane_bytes = static_cast<size_t>(period_frames) * sample_bytes;
    iovec pieces[kMaxPeriodsPerWrite];
    if (periods > kMaxPeriodsPerWrite)
        periods = kMaxPeriodsPerWrite;
    for (int c = 0; c < 2; ++c) {
        FILE* f = set->file[c];
        if (!set->kept[c] || f == nullptr || periods < 1)
            continue;
        size_t period_bytes = plane_bytes;
        int used = periods;
        if (interleave == 1) {
            if (c != 0)
                continue;
            period_bytes = 2 * plane_bytes;
            if (plane2 == nullptr) {
                // Frames as the device delivered them: nothing to interleave.
                for (int k = 0; k < periods; ++k)
                    pieces[k] = {const_cast<char*>(plane1[k]), period_bytes};
            } else {
                for (int k = 0; k < periods; ++k)
                    Interleave(period_frames, static_cast<int>(sample_bytes), plane1[k], plane2[k],
                               interleave_buf + k * period_bytes);
                pieces[0] = {interleave_buf, periods * period_bytes};
                used = 1;
            }
        } else {
            for (int k = 0; k < periods; ++k)
                pieces[k] = {const_cast<char*>(c == 0 ? plane1[k] : plane2[k]), plane_bytes};
        }
        // The stream is unbuffered: nothing of it waits in stdio.
        size_t written_bytes = 0;
        const int err = WriteAllPieces(fileno(f), pieces, used, &written_bytes);
        set->frames_written[c] +=
            static_cast<int64_t>(written_bytes / period_bytes) * period_frames;
        if (err != 0) {
            *channel = c;
            return err;
        }
    }
    return 0;
}

void ReportWriteFailure(const char* name, int err)
{
    // The status line on standard output has no newline of its own.
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::fprintf(stderr, "Can't write %s: %s\n", ShownName(name).c_str(),
                 err == kRemovedDuringTake ? "the file was removed during the take"
                                           : std::strerror(err));
}

// The end of a take's files: sealed to the periods they share, made
// durable, closed, and their failures kept for one report.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "wav/output_files.hpp"

namespace {

// What of the file of channel c can stay after a take that ended early: up
// to the last whole period of the take that reached it, never more than
// reached the disk. Returns 0 with *frames set, or the errno of the failure.
int FramesToKeep(const OutputFiles* set, int c, uint32_t bytes_per_frame, int period_frames,
                 int64_t* frames)
{
    if (std::fflush(set->file[c]) != 0)
        return errno;
    struct stat st;
    if (fstat(fileno(set->file[c]), &st) != 0)
        return errno;
    const int64_t header_bytes = set->header_bytes[c];
    int64_t held = (st.st_size > header_bytes ? st.st_size - header_bytes : 0) / bytes_per_frame;
    if (set->frames_written[c] < held)
        held = set->frames_written[c];
    // The files of a series after the first begin inside a period.
    const int64_t end = (set->first_frame + held) / period_frames * period_frames;
    *frames = end > set->first_frame ? end - set->first_frame : 0;
    return 0;
}

} // namespace

int SealShortTake(OutputFiles* set, uint32_t bytes_per_frame, int period_frames)
{
    int result = 0;
    int err[2] = {0, 0};
    // The files of one take hold the same periods: a file that got one more
    // period than its partner before the other failed is cut back to it.
    int64_t common_frames = INT64_MAX;
    for (int c = 0; c < 2; ++c) {
        if (set->file[c] == nullptr)
            continue;
        // A file that cannot be cut: what it was given bounds its partner.
        int64_t frames = set->frames_written[c];
        if (set->regular[c]) {
            err[c] = FramesToKeep(set, c, bytes_per_frame, period_frames, &frames);
            if (err[c] != 0)
                continue;
        }
        if (frames < common_frames)
            common_frames = frames;
    }
    for (int c = 0; c < 2; ++c) {
        FILE* f = set->file[c];
        if (f == nullptr || !set->regular[c])
            continue;
        if (err[c] == 0) {
            const int fd = fileno(f);
            set->frames_written[c] = common_frames;
            if (ftruncate(fd, set->header_bytes[c] + common_frames * bytes_per_frame) != 0)
                err[c] = errno;
            else
                err[c] = RewriteSizes(fd, common_frames, bytes_per_frame, set->header_bytes[c]);
        }
        if (err[c] != 0) {
            KeepFileError(set, c, err[c]);
            result = -1;
        }
    }
    return result;
}

int SyncOutputFiles(OutputFiles* set, int* channel)
{
    for (int c = 0; c < 2; ++c) {
        // Pipes and devices have nothing to make durable; a file that
        // standard output appends to (`- >> f`) has, though its header
        // cannot be rewritten.
        if (set->file[c] == nullptr)
            continue;
        const int fd = fileno(set->file[c]);
        struct stat st;
        if (!set->regular[c] && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)))
            continue;
        if (fdatasync(fd) != 0) {
            *channel = c;
            return errno;
        }
        // A file whose name is gone (its folder removed by a cleanup) is
        // lost at its close, however well it was synced.
        if (RemovedDuringTake(fd)) {
            *channel = c;
            return kRemovedDuringTake;
        }
    }
    return 0;
}

int SyncMadeFolders(OutputFiles* set, int* channel)
{
    for (int c = 0; c < 2; ++c) {
        if (set->file[c] == nullptr || !set->created[c])
            continue;
        const int err = SyncMadeFolder(set->made[c], fileno(set->file[c]));
        if (err != 0) {
            *channel = c;
            return err;
        }
    }
    return 0;
}

int CloseOutputFiles(OutputFiles* set)
{
    int result = 0;
    for (int c = 0; c < 2; ++c) {
        if (set->file[c] == nullptr)
            continue;
        if (std::fclose(set->file[c]) != 0) {
            KeepFileError(set, c, errno);
            result = -1;
        }
        set->file[c] = nullptr;
        ForgetMadeFile(&set->made[c]);
    }
    return result;
}

void KeepFileError(OutputFiles* set, int channel, int err)
{
    if (set->error[channel] == 0)
        set->error[channel] = err;
}

int ReportFileErrors(const OutputFiles* set)
{
    int reported = 0;
    for (int c = 0; c < 2; ++c) {
        if (set->error[c] != 0) {
            ReportWriteFailure(set->name[c], set->error[c]);
            ++reported;
        }
    }
    return reported;
}

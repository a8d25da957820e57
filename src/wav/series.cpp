// The files of a series: each made as NAME.part when its first frame comes,
// sealed and renamed to NAME when it is full or the take ends.
#include "wav/series.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "files/folders.hpp"
#include "files/series_name.hpp"
#include "files/shown_name.hpp"
#include "wav/open_name.hpp"

namespace {

constexpr char kPartSuffix[] = ".part";

// The nearest folder on the way to `path` that exists, for its file system.
std::string ExistingFolderOf(const std::string& path)
{
    std::string folder = path;
    for (;;) {
        const size_t slash = folder.rfind('/');
        if (slash == std::string::npos)
            return ".";
        folder.erase(slash == 0 ? 1 : slash);
        struct stat st;
        if (stat(folder.c_str(), &st) == 0 || folder == "/")
            return folder;
    }
}

// Removes a file of the series that holds nothing.
void RemoveEmpty(OutputFiles* set, int c)
{
    std::fclose(set->file[c]);
    set->file[c] = nullptr;
    RemoveMadeFile(&set->made[c]);
    set->created[c] = 0;
}

// Cuts, states and syncs the file of channel c at `frames`.
int SealOne(OutputFiles* set, int c, int64_t frames, uint32_t bytes_per_frame)
{
    const int fd = fileno(set->file[c]);
    if (ftruncate(fd, set->header_bytes[c] + frames * bytes_per_frame) != 0)
        return errno;
    const int err = RewriteSizes(fd, frames, bytes_per_frame, set->header_bytes[c]);
    if (err != 0)
        return err;
    return fdatasync(fd) == 0 ? 0 : errno;
}

// NAME.part becomes NAME, never over a file that appeared meanwhile, and
// the rename is made durable in the folder.
int RenameFinal(MadeFile* made, int fd)
{
    const size_t part_bytes = sizeof kPartSuffix - 1;
    const std::string final_leaf = made->leaf.substr(0, made->leaf.size() - part_bytes);
    if (renameat2(made->folder_fd, made->leaf.c_str(), made->folder_fd, final_leaf.c_str(),
                  RENAME_NOREPLACE) != 0)
        return errno;
    made->leaf = final_leaf;
    return SyncMadeFolder(*made, fd);
}

} // namespace

void StartSeries(OutputFiles* set, Series* series, int auto_naming, char* file_list, char* scratch,
                 int interleave, uint32_t sample_bytes, uint32_t rate_hz, int64_t split_frames)
{
    StartSet(set, sample_bytes, interleave, kOpenLength, rate_hz);
    series->split_frames = split_frames;
    const char* names[2] = {nullptr, nullptr};
    int count = 0;
    if (auto_naming != 1) {
        std::strcpy(scratch, file_list);
        count = SplitNames(scratch, names);
    }
    const long now = NewTime();
    for (int c = 0, next = 0; c < 2; ++c) {
        if (!set->kept[c])
            continue;
        series->pattern[c] =
            next < count ? SeriesPattern(names[next++]) : MadeSeriesPattern(c + 1, now);
    }
}

int CheckSeriesSpace(const Series* series, int64_t planned_frames, uint32_t bytes_per_frame)
{
    std::string first;
    int channels = 0;
    for (int c = 0; c < 2; ++c) {
        if (series->pattern[c].empty())
            continue;
        ++channels;
        if (first.empty())
            SeriesFileName(series->pattern[c], 1, 0, &first);
    }
    const uint64_t file_bytes = static_cast<uint64_t>(kRf64HeaderBytes) +
                                static_cast<uint64_t>(series->split_frames) * bytes_per_frame;
    const uint64_t files =
        static_cast<uint64_t>((planned_frames + series->split_frames - 1) / series->split_frames);
    const uint64_t need = files * channels * file_bytes;
    int err = 0;
    struct rlimit limit;
    struct statvfs vfs;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        file_bytes > limit.rlim_cur)
        err = EFBIG;
    else if (statvfs(ExistingFolderOf(first).c_str(), &vfs) == 0 && vfs.f_blocks != 0 &&
             static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize < need)
        err = ENOSPC;
    if (err == 0)
        return 0;
    std::fprintf(stderr, "Can't reserve %" PRIu64 " bytes for %s: %s\n", need,
                 ShownName(first.c_str()).c_str(), std::strerror(err));
    return 1;
}

int OpenSeriesFiles(OutputFiles* set, Series* series, int64_t first_frame, int64_t first_frame_ns,
                    int* channel)
{
    ++series->number;
    set->first_frame = first_frame;
    for (int c = 0; c < 2; ++c) {
        if (!set->kept[c])
            continue;
        *channel = c;
        set->frames_written[c] = 0;
        const bool named =
            SeriesFileName(series->pattern[c], series->number, first_frame_ns, &series->name[c]);
        if (!named)
            series->name[c] = series->pattern[c];
        // Messages name the file by its final name.
        set->name[c] = series->name[c].c_str();
        if (!named)
            return ENAMETOOLONG;
        int err = CreateFoldersFor(set->name[c]);
        // The final name is never replaced, not even by the rename.
        struct stat st;
        if (err == 0 && lstat(set->name[c], &st) == 0)
            err = EEXIST;
        if (err != 0)
            return err;
        const std::string part = series->name[c] + kPartSuffix;
        const Opened opened = CreateMadeFile(part.c_str(), set, c);
        if (opened.fd < 0)
            return opened.err;
        set->file[c] = fdopen(opened.fd, "ab");
        if (set->file[c] == nullptr) {
            err = errno;
            close(opened.fd);
            return err;
        }
        std::setvbuf(set->file[c], nullptr, _IONBF, 0);
        set->regular[c] = 1;
        err = SyncMadeFolder(set->made[c], opened.fd);
        if (err != 0)
            return err;
    }
    series->in_progress = true;
    return 0;
}

int SealSeriesFiles(OutputFiles* set, Series* series, int64_t frames, uint32_t bytes_per_frame,
                    int* channel)
{
    int first_err = 0;
    for (int c = 0; c < 2; ++c) {
        if (set->file[c] == nullptr)
            continue;
        if (frames == 0) {
            RemoveEmpty(set, c);
            continue;
        }
        int err = SealOne(set, c, frames, bytes_per_frame);
        if (err == 0)
            err = RenameFinal(&set->made[c], fileno(set->file[c]));
        if (std::fclose(set->file[c]) != 0 && err == 0)
            err = errno;
        set->file[c] = nullptr;
        ForgetMadeFile(&set->made[c]);
        if (err == 0) {
            ++series->files_done;
            series->sealed_frames = set->first_frame + frames;
        } else if (first_err == 0) {
            first_err = err;
            *channel = c;
        }
    }
    series->in_progress = false;
    return first_err;
}

// Reserving the disk space of a take's files before the audio needs it, so
// that a full disk refuses the take rather than cut it short.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "files/shown_name.hpp"
#include "wav/output_files.hpp"

namespace {

// Reserves `need_bytes` of channel c's file from byte `from_bytes` on,
// without changing its size: 0, or ENOSPC, EDQUOT or EFBIG where the file
// system or the file-size limit cannot hold them (a file system whose files
// cannot grow that large, FAT's 4 GiB - 1, says EFBIG). A file system that
// cannot reserve is asked for free space instead, the next best promise:
// enough for this file and those before it on the same file system,
// counting the blocks that files about to be cut give back; one that counts
// no blocks at all (ramfs) sets no limit.
int ReserveInFile(const OutputFiles* set, int c, uint64_t from_bytes, uint64_t need_bytes)
{
    if (need_bytes == 0)
        return 0;
    // A file-size limit would otherwise only show mid-take, as a failed write.
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        from_bytes + need_bytes > limit.rlim_cur)
        return EFBIG;
    const int fd = fileno(set->file[c]);
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from_bytes),
                  static_cast<off_t>(need_bytes)) == 0)
        return 0;
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)
        return errno;
    struct statvfs vfs;
    struct stat st;
    if (fstatvfs(fd, &vfs) != 0 || vfs.f_blocks == 0 || fstat(fd, &st) != 0)
        return 0;
    uint64_t wanted_bytes = 0;
    uint64_t freed_bytes = 0;
    for (int k = 0; k <= c; ++k) {
        struct stat other;
        if (set->file[k] == nullptr || !set->regular[k] ||
            fstat(fileno(set->file[k]), &other) != 0 || other.st_dev != st.st_dev)
            continue;
        wanted_bytes += need_bytes;
        if (set->pending[k])
            freed_bytes += static_cast<uint64_t>(other.st_blocks) * 512;
    }
    const uint64_t free_bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    return free_bytes + freed_bytes < wanted_bytes ? ENOSPC : 0;
}

} // namespace

int ReserveFileSpace(OutputFiles* set, int channel, int64_t planned_frames,
                     uint32_t bytes_per_frame)
{
    const uint64_t need_bytes = static_cast<uint64_t>(planned_frames) * bytes_per_frame;
    const int err =
        ReserveInFile(set, channel, static_cast<uint64_t>(set->header_bytes[channel]), need_bytes);
    if (err == 0)
        return 0;
    std::fprintf(stderr, "Can't reserve %" PRIu64 " bytes for %s: %s\n", need_bytes,
                 ShownName(set->name[channel]).c_str(), std::strerror(err));
    return 1;
}

int ReserveTakeSpace(OutputFiles* set, int64_t planned_frames, uint32_t bytes_per_frame)
{
    for (int c = 0; c < 2; ++c) {
        if (set->file[c] == nullptr || !set->regular[c])
            continue;
        if (ReserveFileSpace(set, c, planned_frames, bytes_per_frame) != 0)
            return 1;
    }
    return 0;
}

int ReserveAhead(OutputFiles* set, int64_t from_frames, int64_t frames, uint32_t bytes_per_frame,
                 int* channel)
{
    const uint64_t need_bytes = static_cast<uint64_t>(frames) * bytes_per_frame;
    for (int c = 0; c < 2; ++c) {
        if (set->file[c] == nullptr || !set->regular[c])
            continue;
        *channel = c;
        const uint64_t from_bytes = static_cast<uint64_t>(set->header_bytes[c]) +
                                    static_cast<uint64_t>(from_frames) * bytes_per_frame;
        const int err = ReserveInFile(set, c, from_bytes, need_bytes);
        if (err != 0)
            return err;
    }
    return 0;
}

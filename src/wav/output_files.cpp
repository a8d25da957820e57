// The output files of a take, from naming to closing.
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include "wav/wav.hpp"

namespace {

// Writes every byte of `pieces` to `fd`, through short writes. Returns 0 or
// the errno of the failure; *written gets the bytes that went out.
int WriteAllPieces(int fd, iovec* pieces, int count, size_t* written)
{
    *written = 0;
    while (count > 0) {
        const ssize_t n = writev(fd, pieces, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        *written += static_cast<size_t>(n);
        size_t left = static_cast<size_t>(n);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return 0;
}

// Made names are "rec_chan_%li_%li.wav": at most 26 characters.
constexpr int kMadeNameBytes = 64;

// Splits the scratch copy of the file list in place; a run of newlines counts
// as one separator, so no name is ever empty.
int SplitNames(char* scratch, const char* names[2])
{
    int count = 0;
    char* p = scratch;
    while (*p != '\0' && count < 2) {
        while (*p == '\n')
            ++p;
        if (*p == '\0')
            break;
        names[count++] = p;
        while (*p != '\0' && *p != '\n')
            ++p;
        if (*p == '\n')
            *p++ = '\0';
    }
    return count;
}

// Follows a chain of symbolic links that ends in a missing file and gives
// that file's path: O_EXCL refuses to create through any symbolic link, so
// the missing file is created by its own path. Returns 1 and fills `out` for
// a dangling link; 0 for anything else (an absent name, an existing file, a
// loop, a path too long).
int DanglingLinkTarget(const char* name, char* out, size_t out_bytes)
{
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s", name) >= static_cast<int>(sizeof path))
        return 0;
    bool through_link = false;
    // Linux itself gives up after 40 links.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path, &st) != 0) {
            if (!through_link || errno != ENOENT)
                return 0;
            return std::snprintf(out, out_bytes, "%s", path) < static_cast<int>(out_bytes);
        }
        if (!S_ISLNK(st.st_mode))
            return 0;
        char target[PATH_MAX];
        const ssize_t len = readlink(path, target, sizeof target - 1);
        if (len < 0)
            return 0;
        target[len] = '\0';
        // A relative target is relative to the folder that holds the link.
        char next[PATH_MAX];
        const char* slash = std::strrchr(path, '/');
        const int n = target[0] == '/' || slash == nullptr
                          ? std::snprintf(next, sizeof next, "%s", target)
                          : std::snprintf(next, sizeof next, "%.*s/%s",
                                          static_cast<int>(slash - path), path, target);
        if (n >= static_cast<int>(sizeof next))
            return 0;
        std::memcpy(path, next, static_cast<size_t>(n) + 1);
        through_link = true;
    }
    return 0;
}

// Only a file the user agreed to overwrite may be cut; any other name is
// created exclusively, so a file that appeared after the existence check
// (another take started with the same name) is refused, never destroyed.
// Knowing whether this run made the file decides whether a refused take may
// remove it.
int HeaderForGivenName(const char* name, int may_replace, uint32_t rate_hz, int64_t frames,
                       uint32_t sample_bytes, int interleave, int* created)
{
    int err = MAKE_HEADER(name, rate_hz, frames, sample_bytes, interleave, 1);
    *created = err <= 0;
    if (err != EEXIST)
        return err;
    if (may_replace)
        return MAKE_HEADER(name, rate_hz, frames, sample_bytes, interleave, 0);
    // A dangling link did not name an existing file: its target is made.
    char target[PATH_MAX];
    if (DanglingLinkTarget(name, target, sizeof target)) {
        err = MAKE_HEADER(target, rate_hz, frames, sample_bytes, interleave, 1);
        *created = err <= 0;
    }
    return err;
}

// Removes a file this run made: through a symbolic link, the file it names,
// and the link (which was there before) stays.
void RemoveMadeFile(const char* name)
{
    struct stat st;
    char target[PATH_MAX];
    if (lstat(name, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (realpath(name, target) != nullptr)
            std::remove(target);
        return;
    }
    std::remove(name);
}

// The folder part of a path and its last component, for telling whether two
// names of files that do not exist yet would name the same file.
bool SameFolderAndLeaf(const char* a, const char* b)
{
    const char* leaf_a = std::strrchr(a, '/');
    const char* leaf_b = std::strrchr(b, '/');
    leaf_a = leaf_a == nullptr ? a : leaf_a + 1;
    leaf_b = leaf_b == nullptr ? b : leaf_b + 1;
    if (std::strcmp(leaf_a, leaf_b) != 0)
        return false;
    const std::string folder_a(a, static_cast<size_t>(leaf_a - a));
    const std::string folder_b(b, static_cast<size_t>(leaf_b - b));
    struct stat sa, sb;
    return stat(folder_a.empty() ? "." : folder_a.c_str(), &sa) == 0 &&
           stat(folder_b.empty() ? "." : folder_b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Two names of one regular file (the same name twice, a hard or symbolic
// link), decided from the names alone, before any file is made or cut.
// Devices such as /dev/null may take both channels.
bool NameTheSameFile(const char* a, const char* b)
{
    struct stat sa, sb;
    const bool a_exists = stat(a, &sa) == 0;
    const bool b_exists = stat(b, &sb) == 0;
    if (a_exists && b_exists)
        return S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (a_exists || b_exists)
        return false;
    char target_a[PATH_MAX], target_b[PATH_MAX];
    if (!DanglingLinkTarget(a, target_a, sizeof target_a))
        std::snprintf(target_a, sizeof target_a, "%s", a);
    if (!DanglingLinkTarget(b, target_b, sizeof target_b))
        std::snprintf(target_b, sizeof target_b, "%s", b);
    return std::strcmp(target_a, target_b) == 0 || SameFolderAndLeaf(target_a, target_b);
}

// A refused take leaves no file of its own behind; a file that existed
// before keeps a valid, empty recording rather than a header that promises
// data it does not hold.
void Undo(OutputFiles* set)
{
    for (int c = 0; c < 2; ++c) {
        if (set->file[c] != nullptr) {
            if (!set->created[c] && set->regular[c]) {
                const int fd = fileno(set->file[c]);
                if (ftruncate(fd, set->header_bytes[c]) == 0)
                    RewriteSizes(fd, 0, 1, set->header_bytes[c]);
            }
            std::fclose(set->file[c]);
            set->file[c] = nullptr;
        }
        if (set->created[c] && set->name[c] != nullptr)
            RemoveMadeFile(set->name[c]);
        set->created[c] = 0;
    }
}

} // namespace

void ReportWriteFailure(const char* name, int err)
{
    // The status line on standard output has no newline of its own.
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::fprintf(stderr, "Can't write %s: %s\n", name, std::strerror(err));
}

long NewTime()
{
    return static_cast<long>(std::time(nullptr) - 1349885340);
}

int OpenOutputFiles(OutputFiles* set, int channels, uint32_t sample_bytes, int auto_naming,
                    char* file_list, char* scratch, int interleave, int64_t planned_frames,
                    uint32_t rate_hz, const int32_t may_replace[2])
{
    int header_err[2] = {0, 0};
    // A FIFO held open for writing from before its header until it is open
    // for appending: its reader sees one stream, not an end after the header.
    int fifo_hold[2] = {-1, -1};
    const int header_bytes =
        TakeHeaderBytes(planned_frames, sample_bytes * (interleave == 1 ? 2 : 1));
    for (int c = 0; c < 2; ++c) {
        set->header_bytes[c] = header_bytes;
        set->file[c] = nullptr;
        set->name[c] = nullptr;
        set->created[c] = 0;
        set->regular[c] = 0;
        set->frames_written[c] = 0;
    }

    if (auto_naming == 1) {
        file_list[0] = '\0';
        size_t list_len = 0;
        for (int c = 0; c < 2; ++c) {
            if (!set->kept[c])
                continue;
            char name[kMadeNameBytes];
            int err;
            // A made name never replaces a file: when it is taken, the next
            // number is tried.
            for (long t = NewTime();; ++t) {
                std::snprintf(name, sizeof name, "rec_chan_%li_%li.wav", static_cast<long>(c + 1),
                              t);
                err = MAKE_HEADER(name, rate_hz, planned_frames, sample_bytes, interleave, 1);
                if (err != EEXIST)
                    break;
            }
            header_err[c] = err;
            set->created[c] = err <= 0;
            const size_t len = std::strlen(name);
            std::memcpy(file_list + list_len, name, len);
            file_list[list_len + len] = '\n';
            list_len += len + 1;
            file_list[list_len] = '\0';
        }
    } else {
        std::strcpy(scratch, file_list);
        const char* names[2] = {nullptr, nullptr};
        const int count = SplitNames(scratch, names);
        if (channels == 2 && set->kept[0] && set->kept[1] && count == 2 &&
            NameTheSameFile(names[0], names[1])) {
            std::printf("Can't record both channels into the same file %s\n", names[1]);
            return 1;
        }
        int next = 0;
        for (int c = 0; c < 2; ++c) {
            if (!set->kept[c] || next >= count || (c == 1 && channels == 1))
                continue;
            const char* name = names[next];
            struct stat st;
            if (stat(name, &st) == 0 && S_ISFIFO(st.st_mode)) {
                // Without a reader, a FIFO would keep the take waiting for
                // ever; such a FIFO cannot be opened for recording.
                fifo_hold[c] = open(name, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fifo_hold[c] < 0) {
                    header_err[c] = errno;
                    ++next;
                    continue;
                }
            }
            header_err[c] = HeaderForGivenName(name, may_replace[next], rate_hz, planned_frames,
                                               sample_bytes, interleave, &set->created[c]);
            ++next;
        }
    }

    // The names now live in the scratch buffer for the rest of the take.
    std::strcpy(scratch, file_list);
    const char* names[2] = {nullptr, nullptr};
    const int count = SplitNames(scratch, names);
    int failed = 0;
    for (int c = 0; c < count; ++c) {
        if (!set->kept[c])
            continue;
        set->name[c] = names[c];
        if (header_err[c] < 0) {
            std::fprintf(stderr, "Can't write %s: %s\n", names[c], std::strerror(-header_err[c]));
            failed = 1;
            continue;
        }
        FILE* f = header_err[c] == 0 ? std::fopen(names[c], "ab") : nullptr;
        if (f == nullptr) {
            std::printf("Can't open %s for recording\n", names[c]);
            failed = 1;
            continue;
        }
        // Each period is one large write: a stdio buffer would only split it
        // in two system calls, and delay a write error past the period.
        std::setvbuf(f, nullptr, _IONBF, 0);
        set->file[c] = f;
        struct stat st;
        set->regular[c] = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    }
    for (int c = count; c < 2; ++c) {
        if (set->kept[c]) {
            // Only a caller that broke the file list's promise gets here.
            std::printf("Can't open %s for recording\n", "(no name)");
            failed = 1;
        }
    }
    for (int c = 0; c < 2; ++c) {
        if (fifo_hold[c] >= 0)
            close(fifo_hold[c]);
    }
    // Two channels appended to one file would mix their periods into a file
    // whose header describes neither.
    if (!failed && set->file[0] != nullptr && set->file[1] != nullptr && set->regular[0] &&
        set->regular[1]) {
        struct stat st0, st1;
        if (fstat(fileno(set->file[0]), &st0) == 0 && fstat(fileno(set->file[1]), &st1) == 0 &&
            st0.st_dev == st1.st_dev && st0.st_ino == st1.st_ino) {
            std::printf("Can't record both channels into the same file %s\n", set->name[1]);
            // The second name reached the file only through the first one.
            set->created[1] = 0;
            failed = 1;
        }
    }
    if (failed) {
        Undo(set);
        return 1;
    }
    return 0;
}

// No seek before a write: the files are open for appending, so every write
// lands at the end, which is the period's place (header + write_pos x bytes
// per frame) in a take that has not failed; a seek would only cost a system
// call per file and period.
int WritePeriodsQuietly(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                        const char* const* plane1, const char* const* plane2, int count,
                        char* interleave_buf, int* channel)
{
    const size_t plane_bytes = static_cast<size_t>(period_frames) * sample_bytes;
    iovec pieces[kMaxPeriodsPerWrite];
    if (count > kMaxPeriodsPerWrite)
        count = kMaxPeriodsPerWrite;
    for (int c = 0; c < 2; ++c) {
        FILE* f = set->file[c];
        if (!set->kept[c] || f == nullptr || count < 1)
            continue;
        size_t period_bytes = plane_bytes;
        int used = count;
        if (interleave == 1) {
            if (c != 0)
                continue;
            period_bytes = 2 * plane_bytes;
            for (int k = 0; k < count; ++k)
                Interleave(period_frames, static_cast<int>(sample_bytes), plane1[k], plane2[k],
                           interleave_buf + k * period_bytes);
            pieces[0] = {interleave_buf, count * period_bytes};
            used = 1;
        } else {
            for (int k = 0; k < count; ++k)
                pieces[k] = {const_cast<char*>(c == 0 ? plane1[k] : plane2[k]), plane_bytes};
        }
        // The stream is unbuffered: nothing of it waits in stdio.
        size_t written = 0;
        const int err = WriteAllPieces(fileno(f), pieces, used, &written);
        set->frames_written[c] += static_cast<int64_t>(written / period_bytes) * period_frames;
        if (err != 0) {
            *channel = c;
            return err;
        }
    }
    return 0;
}

int WritePeriodQuietly(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                       const char* plane1, const char* plane2, char* interleave_buf, int* channel)
{
    return WritePeriodsQuietly(set, interleave, sample_bytes, period_frames, &plane1, &plane2, 1,
                               interleave_buf, channel);
}

int WritePeriod(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                [[maybe_unused]] int64_t write_pos, const char* plane1, const char* plane2,
                char* interleave_buf)
{
    int channel = 0;
    const int err = WritePeriodQuietly(set, interleave, sample_bytes, period_frames, plane1, plane2,
                                       interleave_buf, &channel);
    if (err != 0) {
        ReportWriteFailure(set->name[channel], err);
        return -1;
    }
    return 0;
}

int SealShortTake(OutputFiles* set, uint32_t bytes_per_frame, int period_frames)
{
    int result = 0;
    int err[2] = {0, 0};
    // The files of one take hold the same periods: a file that got one more
    // period than its partner before the other failed is cut back to it.
    int64_t common_frames = INT64_MAX;
    for (int c = 0; c < 2; ++c) {
        FILE* f = set->file[c];
        if (f == nullptr)
            continue;
        if (!set->regular[c]) {
            // Cannot be cut; what it was given bounds its partner.
            if (set->frames_written[c] < common_frames)
                common_frames = set->frames_written[c];
            continue;
        }
        err[c] = std::fflush(f) == 0 ? 0 : errno;
        struct stat st;
        if (err[c] == 0 && fstat(fileno(f), &st) != 0)
            err[c] = errno;
        if (err[c] != 0)
            continue;
        // Whole periods only, and never more than reached the disk.
        const int64_t period_bytes = static_cast<int64_t>(period_frames) * bytes_per_frame;
        const int64_t header_bytes = set->header_bytes[c];
        int64_t on_disk = st.st_size > header_bytes ? st.st_size - header_bytes : 0;
        on_disk -= on_disk % period_bytes;
        int64_t frames = on_disk / bytes_per_frame;
        if (set->frames_written[c] < frames)
            frames = set->frames_written[c];
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
            ReportWriteFailure(set->name[c], err[c]);
            result = -1;
        }
    }
    return result;
}

int ReserveTakeSpace(OutputFiles* set, int64_t planned_frames, uint32_t bytes_per_frame)
{
    const uint64_t need = static_cast<uint64_t>(planned_frames) * bytes_per_frame;
    if (need == 0)
        return 0;
    // Where the file system cannot reserve, the files counted so far on each
    // file system, which its free space must hold together.
    dev_t counted_dev[2] = {0, 0};
    uint64_t counted_bytes[2] = {0, 0};
    int counted = 0;
    for (int c = 0; c < 2; ++c) {
        FILE* f = set->file[c];
        if (f == nullptr || !set->regular[c])
            continue;
        const int fd = fileno(f);
        const int header_bytes = set->header_bytes[c];
        // A file-size limit would otherwise only show mid-take, as a failed
        // write; checked first, it refuses the take like a full disk.
        struct rlimit limit;
        int err = 0;
        if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            need + static_cast<uint64_t>(header_bytes) > limit.rlim_cur)
            err = EFBIG;
        // A file system whose files cannot grow that large (FAT's 4 GiB - 1)
        // refuses the reservation with EFBIG.
        if (err == 0 &&
            fallocate(fd, FALLOC_FL_KEEP_SIZE, header_bytes, static_cast<off_t>(need)) != 0) {
            err = errno;
            if (err != ENOSPC && err != EDQUOT && err != EFBIG) {
                // The file system cannot reserve; its free space is the
                // next best promise. One that counts no blocks at all
                // (ramfs) sets no limit.
                struct statvfs vfs;
                struct stat st;
                err = 0;
                if (fstatvfs(fd, &vfs) == 0 && vfs.f_blocks != 0 && fstat(fd, &st) == 0) {
                    int i = 0;
                    while (i < counted && counted_dev[i] != st.st_dev)
                        ++i;
                    if (i == counted) {
                        counted_dev[counted++] = st.st_dev;
                        counted_bytes[i] = 0;
                    }
                    counted_bytes[i] += need;
                    if (static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize < counted_bytes[i])
                        err = ENOSPC;
                }
            }
        }
        if (err != 0) {
            std::fprintf(stderr, "Can't reserve %" PRIu64 " bytes for %s: %s\n", need, set->name[c],
                         std::strerror(err));
            return 1;
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
            ReportWriteFailure(set->name[c], errno);
            result = -1;
        }
        set->file[c] = nullptr;
    }
    return result;
}

void DiscardOutputFiles(OutputFiles* set)
{
    Undo(set);
}

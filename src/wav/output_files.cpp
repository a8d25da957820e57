// The output files of a take, from naming to closing.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "wav/wav.hpp"

namespace {

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

// A given name may be a file the user agreed to overwrite; knowing whether
// this run made it decides whether a refused take may remove it.
int HeaderForGivenName(const char* name, uint32_t rate_hz, int64_t frames, uint32_t sample_bytes,
                       int interleave, int* created)
{
    int err = MAKE_HEADER(name, rate_hz, frames, sample_bytes, interleave, 1);
    *created = err <= 0;
    if (err == EEXIST)
        err = MAKE_HEADER(name, rate_hz, frames, sample_bytes, interleave, 0);
    return err;
}

void ReportWriteFailure(const char* name, int err)
{
    // The status line on standard output has no newline of its own.
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::fprintf(stderr, "Can't write %s: %s\n", name, std::strerror(err));
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
            std::remove(set->name[c]);
        set->created[c] = 0;
    }
}

} // namespace

long NewTime()
{
    return static_cast<long>(std::time(nullptr) - 1349885340);
}

int OpenOutputFiles(OutputFiles* set, int channels, uint32_t sample_bytes, int auto_naming,
                    char* file_list, char* scratch, int interleave, int64_t planned_frames,
                    uint32_t rate_hz)
{
    int header_err[2] = {0, 0};
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
        int next = 0;
        if (set->kept[0] && next < count) {
            header_err[0] = HeaderForGivenName(names[next], rate_hz, planned_frames, sample_bytes,
                                               interleave, &set->created[0]);
            ++next;
        }
        if (channels != 1 && set->kept[1] && next < count)
            header_err[1] = HeaderForGivenName(names[next], rate_hz, planned_frames, sample_bytes,
                                               interleave, &set->created[1]);
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
int WritePeriod(OutputFiles* set, int interleave, uint32_t sample_bytes, int period_frames,
                [[maybe_unused]] int64_t write_pos, const char* plane1, const char* plane2,
                char* interleave_buf)
{
    const size_t plane_bytes = static_cast<size_t>(period_frames) * sample_bytes;
    for (int c = 0; c < 2; ++c) {
        FILE* f = set->file[c];
        if (!set->kept[c] || f == nullptr)
            continue;
        const char* data = c == 0 ? plane1 : plane2;
        size_t bytes = plane_bytes;
        if (interleave == 1) {
            if (c != 0)
                continue;
            Interleave(period_frames, static_cast<int>(sample_bytes), plane1, plane2,
                       interleave_buf);
            data = interleave_buf;
            bytes = 2 * plane_bytes;
        }
        if (std::fwrite(data, 1, bytes, f) != bytes) {
            ReportWriteFailure(set->name[c], errno ? errno : EIO);
            return -1;
        }
        set->frames_written[c] += period_frames;
    }
    return 0;
}

int SealShortTake(OutputFiles* set, uint32_t bytes_per_frame, int period_frames)
{
    int result = 0;
    for (int c = 0; c < 2; ++c) {
        FILE* f = set->file[c];
        if (f == nullptr || !set->regular[c])
            continue;
        int err = std::fflush(f) == 0 ? 0 : errno;
        const int fd = fileno(f);
        struct stat st;
        if (err == 0 && fstat(fd, &st) != 0)
            err = errno;
        if (err == 0) {
            // Whole periods only, and never more than reached the disk.
            const int64_t period_bytes = static_cast<int64_t>(period_frames) * bytes_per_frame;
            const int header_bytes = set->header_bytes[c];
            int64_t on_disk = st.st_size > header_bytes ? st.st_size - header_bytes : 0;
            on_disk -= on_disk % period_bytes;
            int64_t frames = on_disk / bytes_per_frame;
            if (set->frames_written[c] < frames)
                frames = set->frames_written[c];
            set->frames_written[c] = frames;
            if (ftruncate(fd, header_bytes + frames * bytes_per_frame) != 0)
                err = errno;
            else
                err = RewriteSizes(fd, frames, bytes_per_frame, header_bytes);
        }
        if (err != 0) {
            ReportWriteFailure(set->name[c], err);
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
                // next best promise.
                struct statvfs vfs;
                err = 0;
                if (fstatvfs(fd, &vfs) == 0 &&
                    static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize < need)
                    err = ENOSPC;
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

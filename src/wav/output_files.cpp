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

#include "wav/file_safety.hpp"
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

// What opening one name came to: 0, or the refusal's errno, and where it
// is to be reported.
enum class Refusal { kNone, kOpen, kLocked, kHeader };

struct Opened {
    int fd = -1;
    Refusal refusal = Refusal::kNone;
    int err = 0;
};

Opened Refuse(Refusal refusal, int err, int fd = -1)
{
    if (fd >= 0)
        close(fd);
    return Opened{-1, refusal, err};
}

// Writes all of `bytes` at the file's end (its start, for a new or cut file).
int WriteAllBytes(int fd, const unsigned char* bytes, size_t count)
{
    if (count == 0)
        return 0;
    iovec piece{const_cast<unsigned char*>(bytes), count};
    size_t written = 0;
    return WriteAllPieces(fd, &piece, 1, &written);
}

// Reserves `need` bytes of channel c's file from byte `from` on, without
// changing its size: 0, or ENOSPC, EDQUOT or EFBIG where the file system or
// the file-size limit cannot hold them (a file system whose files cannot grow
// that large, FAT's 4 GiB - 1, says EFBIG). A file system that cannot reserve
// is asked for free space instead, the next best promise: enough for this
// file and those before it on the same file system, counting the blocks that
// files about to be cut give back; one that counts no blocks at all (ramfs)
// sets no limit.
int ReserveInFile(const OutputFiles* set, int c, uint64_t from, uint64_t need)
{
    if (need == 0)
        return 0;
    // A file-size limit would otherwise only show mid-take, as a failed write.
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        from + need > limit.rlim_cur)
        return EFBIG;
    const int fd = fileno(set->file[c]);
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from), static_cast<off_t>(need)) == 0)
        return 0;
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)
        return errno;
    struct statvfs vfs;
    struct stat st;
    if (fstatvfs(fd, &vfs) != 0 || vfs.f_blocks == 0 || fstat(fd, &st) != 0)
        return 0;
    uint64_t wanted = 0;
    uint64_t freed = 0;
    for (int k = 0; k <= c; ++k) {
        struct stat other;
        if (set->file[k] == nullptr || !set->regular[k] ||
            fstat(fileno(set->file[k]), &other) != 0 || other.st_dev != st.st_dev)
            continue;
        wanted += need;
        if (set->pending[k])
            freed += static_cast<uint64_t>(other.st_blocks) * 512;
    }
    return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize + freed < wanted ? ENOSPC : 0;
}

// The refusal of a take whose space cannot be reserved.
int RefuseReservation(const OutputFiles* set, int c, uint64_t need, int err)
{
    std::fprintf(stderr, "Can't reserve %" PRIu64 " bytes for %s: %s\n", need,
                 ShownName(set->name[c]).c_str(), std::strerror(err));
    return 1;
}

// Creates `path` by identity in its folder, locks it, and gives it its
// header. The folder is opened first, so that a shortage of descriptors
// refuses the take here rather than skip the folder's sync later.
Opened CreateMadeFile(const char* path, OutputFiles* set, int c)
{
    std::string leaf;
    const int folder = OpenFolderOf(path, &leaf);
    if (folder < 0)
        return Refuse(Refusal::kOpen, -folder);
    const int fd = CreateInFolder(folder, leaf, &set->made[c]);
    if (fd < 0) {
        ForgetMadeFile(&set->made[c]);
        return Refuse(Refusal::kOpen, -fd);
    }
    set->created[c] = 1;
    const int locked = LockForTake(fd);
    if (locked != 0) {
        // Another process opened and locked the new file within moments of
        // its making: it is theirs now, and stays.
        set->created[c] = 0;
        ForgetMadeFile(&set->made[c]);
        return Refuse(locked == EWOULDBLOCK ? Refusal::kLocked : Refusal::kOpen, locked, fd);
    }
    const int err = WriteAllBytes(fd, set->header, static_cast<size_t>(set->header_bytes[c]));
    if (err != 0)
        return Refuse(Refusal::kHeader, err, fd);
    return Opened{fd};
}

// Opens an existing file the user agreed to replace, without cutting it.
// A FIFO is opened without waiting: one without a reader would keep the
// take waiting for ever.
Opened OpenAgreedFile(const char* name, int may_replace)
{
    const int fd = open(name, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Refuse(Refusal::kOpen, errno);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return Refuse(Refusal::kOpen, errno, fd);
    // Agreed to without a question only because it held no take: a regular
    // file there now is another matter.
    if (may_replace == 2 && S_ISREG(st.st_mode))
        return Refuse(Refusal::kOpen, EEXIST, fd);
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (S_ISREG(st.st_mode)) {
        const int locked = LockForTake(fd);
        if (locked != 0)
            return Refuse(locked == EWOULDBLOCK ? Refusal::kLocked : Refusal::kOpen, locked, fd);
    }
    return Opened{fd};
}

// Only a file the user agreed to replace may be opened as it is; any other
// name is created exclusively, so a file that appeared after the existence
// check (another take started with the same name) is refused, never
// destroyed.
Opened OpenGivenName(const char* name, int may_replace, OutputFiles* set, int c)
{
    Opened opened = CreateMadeFile(name, set, c);
    if (opened.refusal != Refusal::kOpen || opened.err != EEXIST)
        return opened;
    if (may_replace) {
        opened = OpenAgreedFile(name, may_replace);
        set->pending[c] = opened.fd >= 0;
        return opened;
    }
    // A dangling link did not name an existing file: its target is made.
    char target[PATH_MAX];
    if (DanglingLinkTarget(name, target, sizeof target))
        return CreateMadeFile(target, set, c);
    return opened;
}

void PrintRefusal(const Opened& opened, const char* name)
{
    const std::string shown = ShownName(name);
    switch (opened.refusal) {
    case Refusal::kNone:
        break;
    case Refusal::kOpen:
        std::printf("Can't open %s for recording: %s\n", shown.c_str(), std::strerror(opened.err));
        break;
    case Refusal::kLocked:
        std::printf("Can't record %s: another take is recording it\n", shown.c_str());
        break;
    case Refusal::kHeader:
        std::fprintf(stderr, "Can't write %s: %s\n", shown.c_str(), std::strerror(opened.err));
        break;
    }
}

// A refused take leaves no file of its own behind, and every file that
// existed before as it was: none has been cut yet.
void Undo(OutputFiles* set)
{
    for (int c = 0; c < 2; ++c) {
        if (set->file[c] != nullptr) {
            std::fclose(set->file[c]);
            set->file[c] = nullptr;
        }
        if (set->created[c])
            RemoveMadeFile(&set->made[c]);
        else
            ForgetMadeFile(&set->made[c]);
        set->created[c] = 0;
        set->pending[c] = 0;
    }
}

} // namespace

void ReportWriteFailure(const char* name, int err)
{
    // The status line on standard output has no newline of its own.
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::fprintf(stderr, "Can't write %s: %s\n", ShownName(name).c_str(),
                 err == kRemovedDuringTake ? "the file was removed during the take"
                                           : std::strerror(err));
}

long NewTime()
{
    return static_cast<long>(std::time(nullptr) - 1349885340);
}

int OpenOutputFiles(OutputFiles* set, int channels, uint32_t sample_bytes, int auto_naming,
                    char* file_list, char* scratch, int interleave, int64_t planned_frames,
                    uint32_t rate_hz, const int32_t may_replace[2])
{
    int header_bytes = kRf64HeaderBytes;
    if (planned_frames == kOpenLength)
        BuildOpenHeader(set->header, rate_hz, sample_bytes, interleave);
    else
        header_bytes =
            BuildTakeHeader(set->header, rate_hz, planned_frames, sample_bytes, interleave);
    int fds[2] = {-1, -1};
    for (int c = 0; c < 2; ++c) {
        set->header_bytes[c] = header_bytes;
        set->file[c] = nullptr;
        set->name[c] = nullptr;
        set->created[c] = 0;
        set->regular[c] = 0;
        set->pending[c] = 0;
        set->frames_written[c] = 0;
        set->error[c] = 0;
        set->made[c] = MadeFile{};
    }

    int failed = 0;
    if (auto_naming == 1) {
        file_list[0] = '\0';
        size_t list_len = 0;
        for (int c = 0; c < 2; ++c) {
            if (!set->kept[c])
                continue;
            char name[kMadeNameBytes];
            Opened opened;
            // A made name never replaces a file: when it is taken, the next
            // number is tried.
            for (long t = NewTime();; ++t) {
                std::snprintf(name, sizeof name, "rec_chan_%li_%li.wav", static_cast<long>(c + 1),
                              t);
                opened = CreateMadeFile(name, set, c);
                if (opened.refusal != Refusal::kOpen || opened.err != EEXIST)
                    break;
            }
            fds[c] = opened.fd;
            if (opened.fd < 0) {
                PrintRefusal(opened, name);
                failed = 1;
            }
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
            std::printf("Can't record both channels into the same file %s\n",
                        ShownName(names[1]).c_str());
            return 1;
        }
        int next = 0;
        for (int c = 0; c < 2 && !failed; ++c) {
            if (!set->kept[c] || next >= count || (c == 1 && channels == 1))
                continue;
            const Opened opened = OpenGivenName(names[next], may_replace[next], set, c);
            fds[c] = opened.fd;
            if (opened.fd < 0) {
                PrintRefusal(opened, names[next]);
                failed = 1;
            }
            ++next;
        }
    }

    // The names now live in the scratch buffer for the rest of the take.
    std::strcpy(scratch, file_list);
    const char* names[2] = {nullptr, nullptr};
    const int count = SplitNames(scratch, names);
    for (int c = 0; c < count; ++c) {
        if (!set->kept[c])
            continue;
        set->name[c] = names[c];
        if (fds[c] < 0)
            continue;
        struct stat st;
        set->regular[c] = fstat(fds[c], &st) == 0 && S_ISREG(st.st_mode);
        // Appending: every period lands at the end, which is its place.
        const int flags = fcntl(fds[c], F_GETFL);
        if (set->regular[c] && !set->pending[c] && flags >= 0)
            fcntl(fds[c], F_SETFL, flags | O_APPEND);
        FILE* f = fdopen(fds[c], "ab");
        if (f == nullptr) {
            PrintRefusal(Opened{-1, Refusal::kOpen, errno}, names[c]);
            close(fds[c]);
            failed = 1;
            continue;
        }
        // Each period is one large write: a stdio buffer would only split it
        // in two system calls, and delay a write error past the period.
        std::setvbuf(f, nullptr, _IONBF, 0);
        set->file[c] = f;
    }
    for (int c = count; c < 2; ++c) {
        if (set->kept[c] && fds[c] < 0 && !failed) {
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
            std::printf("Can't record both channels into the same file %s\n",
                        ShownName(set->name[1]).c_str());
            failed = 1;
        }
    }
    if (failed) {
        Undo(set);
        return 1;
    }
    return 0;
}

int CommitOutputFiles(OutputFiles* set, int64_t planned_frames, uint32_t bytes_per_frame)
{
    for (int c = 0; c < 2; ++c) {
        FILE* f = set->file[c];
        if (f == nullptr || set->created[c])
            continue;
        const int fd = fileno(f);
        int err = 0;
        if (set->pending[c] && set->regular[c]) {
            if (ftruncate(fd, 0) != 0)
                err = errno;
            const int flags = fcntl(fd, F_GETFL);
            if (err == 0 && flags >= 0)
                fcntl(fd, F_SETFL, flags | O_APPEND);
        }
        if (err == 0)
            err = WriteAllBytes(fd, set->header, static_cast<size_t>(set->header_bytes[c]));
        set->pending[c] = 0;
        if (err != 0) {
            std::fprintf(stderr, "Can't write %s: %s\n", ShownName(set->name[c]).c_str(),
                         std::strerror(err));
            return 1;
        }
        // Cutting the file gave back the space reserved in it; taken again,
        // it is what the other files' reservations stand on too.
        const uint64_t need = static_cast<uint64_t>(planned_frames) * bytes_per_frame;
        if (set->regular[c] && (err = ReserveInFile(set, c, set->header_bytes[c], need)) != 0)
            return RefuseReservation(set, c, need, err);
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
            if (plane2 == nullptr) {
                // Frames as the device delivered them: nothing to interleave.
                for (int k = 0; k < count; ++k)
                    pieces[k] = {const_cast<char*>(plane1[k]), period_bytes};
            } else {
                for (int k = 0; k < count; ++k)
                    Interleave(period_frames, static_cast<int>(sample_bytes), plane1[k], plane2[k],
                               interleave_buf + k * period_bytes);
                pieces[0] = {interleave_buf, count * period_bytes};
                used = 1;
            }
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
            KeepFileError(set, c, err[c]);
            result = -1;
        }
    }
    return result;
}

int ReserveTakeSpace(OutputFiles* set, int64_t planned_frames, uint32_t bytes_per_frame)
{
    const uint64_t need = static_cast<uint64_t>(planned_frames) * bytes_per_frame;
    for (int c = 0; c < 2; ++c) {
        if (set->file[c] == nullptr || !set->regular[c])
            continue;
        const int err = ReserveInFile(set, c, static_cast<uint64_t>(set->header_bytes[c]), need);
        if (err != 0)
            return RefuseReservation(set, c, need, err);
    }
    return 0;
}

int ReserveAhead(OutputFiles* set, int64_t from_frames, int64_t frames, uint32_t bytes_per_frame,
                 int* channel)
{
    const uint64_t need = static_cast<uint64_t>(frames) * bytes_per_frame;
    for (int c = 0; c < 2; ++c) {
        if (set->file[c] == nullptr || !set->regular[c])
            continue;
        *channel = c;
        const uint64_t from = static_cast<uint64_t>(set->header_bytes[c]) +
                              static_cast<uint64_t>(from_frames) * bytes_per_frame;
        const int err = ReserveInFile(set, c, from, need);
        if (err != 0)
            return err;
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

void DiscardOutputFiles(OutputFiles* set)
{
    Undo(set);
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

int SyncOutputFiles(OutputFiles* set, int* channel)
{
    for (int c = 0; c < 2; ++c) {
        // Pipes and devices have nothing to make durable.
        if (set->file[c] == nullptr || !set->regular[c])
            continue;
        const int fd = fileno(set->file[c]);
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

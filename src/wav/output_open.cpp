// The output file set of a take, from its names to files ready for the
// audio: names made or taken from the list, every file opened (nothing that
// existed changed), then, once nothing can refuse the take, committed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/output_stream.hpp"
#include "files/shown_name.hpp"
#include "wav/open_name.hpp"
#include "wav/output_files.hpp"
#include "wav/write_all.hpp"

namespace {

// Made names are "rec_chan_%li_%li.wav": at most 26 characters.
constexpr int kMadeNameBytes = 64;

void RefuseSameFile(const char* name)
{
    std::printf("Can't record both channels into the same file %s\n", ShownName(name).c_str());
}

// Makes a name and a file for every kept channel, and writes the names to
// the file list. Returns 1 when any was refused, else 0.
int OpenMadeNames(OutputFiles* set, char* file_list, int fds[2])
{
    int failed = 0;
    file_list[0] = '\0';
    size_t list_bytes = 0;
    for (int c = 0; c < 2; ++c) {
        if (!set->kept[c])
            continue;
        char name[kMadeNameBytes];
        Opened opened;
        // A made name never replaces a file: when it is taken, the next
        // number is tried.
        for (long t = NewTime();; ++t) {
            std::snprintf(name, sizeof name, "rec_chan_%li_%li.wav", static_cast<long>(c + 1), t);
            opened = CreateMadeFile(name, set, c);
            if (opened.refusal != Refusal::kOpen || opened.err != EEXIST)
                break;
        }
        fds[c] = opened.fd;
        if (opened.fd < 0) {
            PrintRefusal(opened, name);
            failed = 1;
        }
        const size_t name_bytes = std::strlen(name);
        std::memcpy(file_list + list_bytes, name, name_bytes);
        file_list[list_bytes + name_bytes] = '\n';
        list_bytes += name_bytes + 1;
        file_list[list_bytes] = '\0';
    }
    return failed;
}

// Opens the `count` given names, in list order, for the kept channels.
// Every name that cannot be opened is named, not just the first. Returns 1
// when any was refused, else 0.
int OpenGivenNames(OutputFiles* set, int channels, const char* const names[2], int count,
                   const MayReplace may_replace[2], const AnsweredFile pinned[2], int fds[2])
{
    int failed = 0;
    int next = 0;
    for (int c = 0; c < 2; ++c) {
        if (!set->kept[c] || next >= count || (c == 1 && channels == 1))
            continue;
        const Opened opened = OpenGivenName(names[next], may_replace[next],
                                            pinned != nullptr ? &pinned[next] : nullptr, set, c);
        fds[c] = opened.fd;
        if (opened.fd < 0) {
            PrintRefusal(opened, names[next]);
            failed = 1;
        }
        ++next;
    }
    return failed;
}

// Gives the set its names, which live in the scratch buffer for the rest of
// the take, and a stream for every descriptor opened. Returns 1 when a
// stream cannot be had or a kept channel has no name, else `failed`.
int AdoptDescriptors(OutputFiles* set, const char* file_list, char* scratch, const int fds[2],
                     int failed)
{
    std::strcpy(scratch, file_list);
    const char* names[2] = {nullptr, nullptr};
    const int count = SplitNames(scratch, names);
    for (int c = 0; c < count; ++c) {
        if (!set->kept[c])
            continue;
        set->name[c] = names[c];
        if (fds[c] < 0)
            continue;
        set->regular[c] = Rewindable(fds[c]);
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
    return failed;
}

// Two channels appended to one file would mix their periods into a file
// whose header describes neither.
bool OneFileTwice(const OutputFiles* set)
{
    if (set->file[0] == nullptr || set->file[1] == nullptr || !set->regular[0] || !set->regular[1])
        return false;
    struct stat st0, st1;
    return fstat(fileno(set->file[0]), &st0) == 0 && fstat(fileno(set->file[1]), &st1) == 0 &&
           st0.st_dev == st1.st_dev && st0.st_ino == st1.st_ino;
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

void StartSet(OutputFiles* set, uint32_t sample_bytes, int interleave, int64_t planned_frames,
              uint32_t rate_hz)
{
    int header_bytes = kRf64HeaderBytes;
    if (planned_frames == kOpenLength)
        BuildOpenHeader(set->header, rate_hz, sample_bytes, interleave);
    else
        header_bytes =
            BuildTakeHeader(set->header, rate_hz, planned_frames, sample_bytes, interleave);
    set->open_length = planned_frames == kOpenLength;
    for (int c = 0; c < 2; ++c) {
        set->header_bytes[c] = header_bytes;
        set->file[c] = nullptr;
        set->name[c] = nullptr;
        set->created[c] = 0;
        set->regular[c] = 0;
        set->pending[c] = 0;
        set->frames_written[c] = 0;
        set->first_frame = 0;
        set->error[c] = 0;
        set->made[c] = MadeFile{};
    }
}

long NewTime()
{
    return static_cast<long>(std::time(nullptr) - 1349885340);
}

int OpenOutputFiles(OutputFiles* set, int channels, uint32_t sample_bytes, int auto_naming,
                    char* file_list, char* scratch, int interleave, int64_t planned_frames,
                    uint32_t rate_hz, const MayReplace may_replace[2], const AnsweredFile pinned[2])
{
    StartSet(set, sample_bytes, interleave, planned_frames, rate_hz);
    int fds[2] = {-1, -1};
    int failed = 0;
    if (auto_naming == 1) {
        failed = OpenMadeNames(set, file_list, fds);
    } else {
        std::strcpy(scratch, file_list);
        const char* names[2] = {nullptr, nullptr};
        const int count = SplitNames(scratch, names);
        if (channels == 2 && set->kept[0] && set->kept[1] && count == 2 &&
            NameTheSameFile(names[0], names[1])) {
            RefuseSameFile(names[1]);
            return 1;
        }
        failed = OpenGivenNames(set, channels, names, count, may_replace, pinned, fds);
    }
    failed = AdoptDescriptors(set, file_list, scratch, fds, failed);
    if (!failed && OneFileTwice(set)) {
        RefuseSameFile(set->name[1]);
        failed = 1;
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
        // A header that can never be rewritten states from the start all
        // that a take of open length may bring.
        unsigned char header[kRf64HeaderBytes];
        std::memcpy(header, set->header, sizeof header);
        if (set->open_length && !set->regular[c])
            StateLongestStream(header, bytes_per_frame);
        if (err == 0)
            err = WriteAllBytes(fd, header, static_cast<size_t>(set->header_bytes[c]));
        set->pending[c] = 0;
        if (err != 0) {
            std::fprintf(stderr, "Can't write %s: %s\n", ShownName(set->name[c]).c_str(),
                         std::strerror(err));
            return 1;
        }
        // Cutting the file gave back the space reserved in it; taken again,
        // it is what the other files' reservations stand on too.
        if (set->regular[c] && ReserveFileSpace(set, c, planned_frames, bytes_per_frame) != 0)
            return 1;
    }
    return 0;
}

void DiscardOutputFiles(OutputFiles* set)
{
    Undo(set);
}

// Opening one output name of a take without harming a file it does not own.
#include "wav/open_name.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "files/output_stream.hpp"
#include "files/shown_name.hpp"
#include "wav/write_all.hpp"

namespace {

Opened Refuse(Refusal refusal, int err, int fd = -1)
{
    if (fd >= 0)
        close(fd);
    return Opened{-1, refusal, err};
}

// A regular file is locked for the take from the moment it is opened.
Opened LockedIfRegular(int fd, const struct stat& st)
{
    if (S_ISREG(st.st_mode)) {
        const int locked = LockForTake(fd);
        if (locked != 0)
            return Refuse(locked == EWOULDBLOCK ? Refusal::kLocked : Refusal::kOpen, locked, fd);
    }
    return Opened{fd};
}

// Opens an existing file the user agreed to replace, without cutting it:
// the very file answered for (`pin`), when it was asked about. A FIFO is
// opened without waiting: one without a reader would keep the take
// waiting for ever.
Opened OpenAgreedFile(const char* name, MayReplace may_replace, const AnsweredFile* pin)
{
    int fd = -1;
    const int err =
        OpenAnsweredFile(name, may_replace == MayReplace::kAnyFile ? pin : nullptr, &fd);
    if (err != 0)
        return Refuse(err == kChangedSinceAsked ? Refusal::kChanged : Refusal::kOpen, err);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return Refuse(Refusal::kOpen, errno, fd);
    // Agreed to without a question only because it held no take: a regular
    // file there now is another matter.
    if (may_replace == MayReplace::kNoRegularFile && S_ISREG(st.st_mode))
        return Refuse(Refusal::kOpen, EEXIST, fd);
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return LockedIfRegular(fd, st);
}

// Standard output as descriptor 1 is open: a file that `>` opened is cut
// when the take is committed, like any file agreed to, and its header kept
// right; a pipe, a socket or a file that `>>` opened takes the stream as it
// comes, after what it holds.
Opened OpenStandardOutputForTake(OutputFiles* set, int c)
{
    const int fd = OpenStandardOutput();
    if (fd < 0)
        return Refuse(Refusal::kOpen, -fd);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return Refuse(Refusal::kOpen, errno, fd);
    set->pending[c] = Rewindable(fd);
    return LockedIfRegular(fd, st);
}

} // namespace

// The folder is opened first, so that a shortage of descriptors refuses the
// take here rather than skip the folder's sync later.
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

// Only a file the user agreed to replace may be opened as it is; any other
// name is created exclusively, so a file that appeared after the existence
// check (another take started with the same name) is refused, never
// destroyed.
Opened OpenGivenName(const char* name, MayReplace may_replace, const AnsweredFile* pin,
                     OutputFiles* set, int c)
{
    if (IsStandardOutputName(name))
        return OpenStandardOutputForTake(set, c);
    Opened opened = CreateMadeFile(name, set, c);
    if (opened.refusal != Refusal::kOpen || opened.err != EEXIST)
        return opened;
    if (may_replace != MayReplace::kNothing) {
        opened = OpenAgreedFile(name, may_replace, pin);
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
    case Refusal::kChanged:
        std::printf("%s changed after the question\n", shown.c_str());
        break;
    }
}

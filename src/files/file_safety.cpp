// File safety: identity, locks and durable folders.
#include "files/file_safety.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

AnsweredFile PinAnsweredFile(const char* name)
{
    AnsweredFile pin;
    pin.pinned = true;
    struct stat st;
    pin.was_link = lstat(name, &st) == 0 && S_ISLNK(st.st_mode);
    if (stat(name, &st) == 0) {
        pin.type = st.st_mode & S_IFMT;
        pin.dev = st.st_dev;
        pin.ino = st.st_ino;
    }
    return pin;
}

int OpenAnsweredFile(const char* name, const AnsweredFile* pin, int* fd)
{
    const bool pinned = pin != nullptr && pin->pinned;
    // A link put in the name's place since is never followed to its target.
    const int nofollow = pinned && !pin->was_link ? O_NOFOLLOW : 0;
    *fd = open(name, O_WRONLY | O_NONBLOCK | O_CLOEXEC | nofollow);
    if (*fd < 0)
        return errno == ELOOP && nofollow != 0 ? kChangedSinceAsked : errno;
    struct stat st;
    int err = fstat(*fd, &st) == 0 ? 0 : errno;
    if (err == 0 && pinned &&
        ((st.st_mode & S_IFMT) != pin->type || st.st_dev != pin->dev || st.st_ino != pin->ino))
        err = kChangedSinceAsked;
    if (err != 0) {
        close(*fd);
        *fd = -1;
    }
    return err;
}

int OpenFolderOf(const char* path, std::string* leaf)
{
    const char* slash = std::strrchr(path, '/');
    *leaf = slash == nullptr ? path : slash + 1;
    const std::string folder =
        slash == nullptr ? "." : std::string(path, slash == path ? 1 : slash - path);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A drop folder (write and search, no read) still takes new files.
    if (fd < 0 && errno == EACCES)
        fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

int CreateInFolder(int folder_fd, const std::string& leaf, MadeFile* made)
{
    made->folder_fd = folder_fd;
    made->leaf = leaf;
    const int fd = openat(folder_fd, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return -errno;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        close(fd);
        return -err;
    }
    made->dev = st.st_dev;
    made->ino = st.st_ino;
    return fd;
}

void RemoveMadeFile(MadeFile* made)
{
    if (made->folder_fd < 0)
        return;
    struct stat st;
    // The entry is looked up in the folder it was made in, and not followed:
    // whatever a link or a re-pointed folder names now is not ours.
    if (fstatat(made->folder_fd, made->leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_dev == made->dev && st.st_ino == made->ino)
        unlinkat(made->folder_fd, made->leaf.c_str(), 0);
    ForgetMadeFile(made);
}

void ForgetMadeFile(MadeFile* made)
{
    if (made->folder_fd >= 0)
        close(made->folder_fd);
    made->folder_fd = -1;
}

int LockForTake(int fd)
{
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

int SyncMadeFolder(const MadeFile& made, int file_fd)
{
    const int flags = fcntl(made.folder_fd, F_GETFL);
    int result;
    if (flags >= 0 && (flags & O_PATH) != 0)
        result = syncfs(file_fd);
    else
        result = fsync(made.folder_fd);
    if (result == 0)
        return 0;
    // Some file systems cannot sync a folder at all: nothing more can be
    // done there, and the file's own sync still stands.
    if (errno == EINVAL || errno == ENOTSUP || errno == ENOSYS)
        return 0;
    return errno;
}

bool RemovedDuringTake(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0;
}

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

namespace {

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

} // namespace

bool NameTheSameFile(const char* a, const char* b)
{
    struct stat sa, sb;
    const bool a_exists = stat(a, &sa) == 0;
    const bool b_exists = stat(b, &sb) == 0;
    if (a_exists && b_exists)
        return !S_ISCHR(sa.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (a_exists || b_exists)
        return false;
    char target_a[PATH_MAX], target_b[PATH_MAX];
    if (!DanglingLinkTarget(a, target_a, sizeof target_a))
        std::snprintf(target_a, sizeof target_a, "%s", a);
    if (!DanglingLinkTarget(b, target_b, sizeof target_b))
        std::snprintf(target_b, sizeof target_b, "%s", b);
    return std::strcmp(target_a, target_b) == 0 || SameFolderAndLeaf(target_a, target_b);
}

// Standard output as an output file, and outputs whose header cannot be
// rewritten.
#include "files/output_stream.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

bool IsStandardOutputName(const char* name)
{
    for (const char* same : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"})
        if (std::strcmp(name, same) == 0)
            return true;
    return false;
}

bool Rewindable(int fd)
{
    struct stat st;
    const int flags = fcntl(fd, F_GETFL);
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flags >= 0 && (flags & O_APPEND) == 0;
}

int OpenStandardOutput()
{
    struct stat st;
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0 || fstat(STDOUT_FILENO, &st) != 0)
        return -errno;
    if (!S_ISSOCK(st.st_mode)) {
        // A description of its own: its offset, and the blocking writes
        // that the take needs, whatever the shell's descriptor was set to.
        const int fd =
            open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC | (flags & O_APPEND));
        if (fd >= 0) {
            fcntl(fd, F_SETFL, flags & O_APPEND);
            return fd;
        }
        // Without /proc, descriptor 1 itself is all there is.
        if (errno != ENOENT)
            return -errno;
    }
    const int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    return fd < 0 ? -errno : fd;
}

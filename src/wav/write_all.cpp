// Writing every byte to a descriptor, through short writes.
#include "wav/write_all.hpp"

#include <cerrno>
#include <unistd.h>

int WriteAllPieces(int fd, iovec* pieces, int count, size_t* written_bytes)
{
    *written_bytes = 0;
    while (count > 0) {
        const ssize_t n = writev(fd, pieces, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        *written_bytes += static_cast<size_t>(n);
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

int WriteAllBytes(int fd, const unsigned char* bytes, size_t count_bytes)
{
    if (count_bytes == 0)
        return 0;
    iovec piece{const_cast<unsigned char*>(bytes), count_bytes};
    size_t written_bytes = 0;
    return WriteAllPieces(fd, &piece, 1, &written_bytes);
}

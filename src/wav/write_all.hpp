// Writing every byte to a descriptor, through short writes: the audio of a
// take and the headers of its files.
#pragma once

#include <cstddef>
#include <sys/uio.h>

// Writes every byte of `pieces` to `fd`, through short writes. Returns 0 or
// the errno of the failure; *written_bytes gets the bytes that went out.
// `pieces` is used up on the way.
int WriteAllPieces(int fd, iovec* pieces, int count, size_t* written_bytes);

// Writes all `count_bytes` of `bytes` at the file's end (its start, for a
// new or cut file). Returns 0 or the errno of the failure.
int WriteAllBytes(int fd, const unsigned char* bytes, size_t count_bytes);

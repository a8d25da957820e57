// Standard output as an output file, and outputs whose header cannot be
// rewritten.
#pragma once

// Whether `name` is standard output itself: /dev/stdout (what "-" stands
// for), /dev/fd/1 or /proc/self/fd/1. Such a name is opened as descriptor 1
// is open, never as a file of that name.
bool IsStandardOutputName(const char* name);

// Whether the header of the open file `fd` can be rewritten in place: a
// regular file that is not open for appending. Anything else (a pipe, a
// FIFO, a socket, a device, a file opened with `>>`) takes the WAV stream as
// it comes, and the header it was given first is final.
bool Rewindable(int fd);

// Opens what descriptor 1 is open on, as a descriptor of the take's own: a
// file or a pipe is opened again (appending when descriptor 1 appends, and
// without waiting for a reader: a pipe nobody reads gives ENXIO); a socket,
// which cannot be opened again, is duplicated. Returns the descriptor, or
// minus the errno.
int OpenStandardOutput();

// The rules that keep a take from harming files it does not own: names
// resolved once, files made and removed by identity, one take per file,
// folders made durable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

// A made file as this run knows it: the folder its entry was made in (held
// open, so that a folder moved or re-pointed meanwhile changes nothing),
// its name there, and the inode it was given.
struct MadeFile {
    int folder_fd = -1;
    std::string leaf;
    dev_t dev = 0;
    ino_t ino = 0;
};

// The file that a name led to when the user agreed to replace it (answered
// 'o', or -y): only that very file may be opened as it is for the take.
struct AnsweredFile {
    bool pinned = false;
    bool was_link = false; // the name itself was a symbolic link
    mode_t type = 0;       // S_IFREG for a regular file; 0: the name led nowhere
    dev_t dev = 0;
    ino_t ino = 0;
};

// Which existing file at a given output name the take may open as it is
// (and cut) rather than create afresh.
enum class MayReplace : int32_t {
    // None: the name is created exclusively, and a file there by then is
    // refused.
    kNothing = 0,
    // Any file: the user agreed to replace it (answered 'o', or -y), or it is
    // the empty regular file that standard output was opened on.
    kAnyFile = 1,
    // Only a file that is no regular file (a device, a FIFO or pipe): it held
    // no take when it was checked, so no question was asked.
    kNoRegularFile = 2,
};

// Identifies the file `name` leads to now; a name that leads nowhere is
// pinned to no file, which nothing matches.
AnsweredFile PinAnsweredFile(const char* name);

// Not an errno: the name no longer leads to the file the user agreed to.
inline constexpr int kChangedSinceAsked = -2;

// Opens the existing file `name` for writing into *fd, without cutting it
// and without waiting (a FIFO without a reader gives ENXIO). With `pin`
// pinned, a link that was not there when it was pinned is not followed,
// and the file opened must be the very one pinned. Returns 0, the errno,
// or kChangedSinceAsked (nothing was changed).
int OpenAnsweredFile(const char* name, const AnsweredFile* pin, int* fd);

// Opens the folder that would hold `path` and sets `leaf` to the last
// component. Returns the folder's descriptor, or minus the errno. A folder
// that may be written but not read is held by path only (O_PATH).
int OpenFolderOf(const char* path, std::string* leaf);

// Creates `leaf` in `folder_fd`, exclusively and for writing, and records
// its identity in `made` (which takes over `folder_fd`). Returns the file's
// descriptor, or minus the errno (EEXIST: something is there already).
int CreateInFolder(int folder_fd, const std::string& leaf, MadeFile* made);

// Removes the file this run made, only while its entry still names that very
// regular file; anything else (a file put there since, a device node, a
// folder) is left alone. Closes the folder.
void RemoveMadeFile(MadeFile* made);
// Closes the folder of a made file that is kept.
void ForgetMadeFile(MadeFile* made);

// Takes the advisory lock that says a take is recording the file `fd`.
// Returns 0, or the errno (EWOULDBLOCK: another take holds it).
int LockForTake(int fd);

// Makes the entry of a made file durable: its folder synced, or where the
// folder cannot be opened for that, the whole file system of `file_fd`.
// Returns 0 or the errno; a file system that cannot sync folders at all is
// no failure.
int SyncMadeFolder(const MadeFile& made, int file_fd);

// True when the open file `fd` has no name left: it was removed during the
// take, and everything written to it is lost when it is closed.
bool RemovedDuringTake(int fd);

// Follows a chain of symbolic links that ends in a missing file and gives
// that file's path: an exclusive creation refuses to follow any link, so
// the missing file is created by its own path. Returns 1 and fills `out`
// for a dangling link; 0 for anything else (an absent name, an existing
// file, a loop, a path too long).
int DanglingLinkTarget(const char* name, char* out, size_t out_bytes);

// Two names of one file (the same name twice, a hard or symbolic link, one
// FIFO or standard output twice), decided from the names alone, before any
// file is made or cut. Devices such as /dev/null may take both channels.
bool NameTheSameFile(const char* a, const char* b);

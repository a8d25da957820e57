// Making the folders that a file's path names. Tried from the deepest
// folder up, so that the usual case (the folders are there) costs one mkdir.
#include "files/folders.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "files/file_safety.hpp"

namespace {

// Syncs a folder that was just made, and its parent: the parent's entry is
// what makes the new folder survive a power cut. A parent that may be
// written but not read is synced with its whole file system.
int SyncNewFolder(const std::string& folder)
{
    MadeFile self;
    self.folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (self.folder_fd < 0)
        return errno;
    std::string leaf;
    MadeFile parent;
    parent.folder_fd = OpenFolderOf(folder.c_str(), &leaf);
    int err = SyncMadeFolder(self, self.folder_fd);
    if (err == 0)
        err = parent.folder_fd < 0 ? -parent.folder_fd : SyncMadeFolder(parent, self.folder_fd);
    if (parent.folder_fd >= 0)
        close(parent.folder_fd);
    close(self.folder_fd);
    return err;
}

// Makes `folder`; 0 when it was made (and synced) or is there already,
// else the errno. A folder removed again before it was synced gives
// ENOENT, as a missing parent does: the search makes it once more.
int MakeFolder(const std::string& folder)
{
    if (mkdir(folder.c_str(), 0777) == 0)
        return SyncNewFolder(folder);
    return errno == EEXIST ? 0 : errno;
}

} // namespace

int CreateFoldersFor(const char* path)
{
    // Each folder on the way, shallowest first: the path up to each '/'
    // that ends a component ("a//b/f" has "a" and "a//b").
    const std::string whole = path;
    std::vector<std::string> folders;
    for (size_t i = 1; i < whole.size(); ++i)
        if (whole[i] == '/' && whole[i - 1] != '/')
            folders.push_back(whole.substr(0, i));
    // The deepest folder that is there or can be made: each missing one
    // (ENOENT) sends the search one folder up.
    size_t next = folders.size();
    while (next > 0) {
        const int err = MakeFolder(folders[next - 1]);
        if (err == 0)
            break;
        if (err != ENOENT)
            return err;
        --next;
    }
    if (next == 0 && !folders.empty())
        return ENOENT;
    for (size_t i = next; i < folders.size(); ++i) {
        if (const int err = MakeFolder(folders[i]); err != 0)
            return err;
    }
    return 0;
}

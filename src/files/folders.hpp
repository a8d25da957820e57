// Folders made on the way to a file, as durable as the file will be.
#pragma once

// Creates the missing folders on the way to `path` (its last component is
// the file, which is not made), mode 0777 before the umask, and makes each
// new folder durable: the folder itself synced, then its parent, so that a
// power cut cannot take the folder away from under a file synced into it.
// A folder that appears meanwhile (another process made it) is no failure.
// Returns 0, or the errno of the first failure.
int CreateFoldersFor(const char* path);

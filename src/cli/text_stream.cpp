// Keeping quillo's text out of a recording that goes to standard output.
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli.hpp"

int NamesOpenFile(const char* name, int fd)
{
    struct stat named, open_file;
    if (stat(name, &named) != 0 || fstat(fd, &open_file) != 0)
        return 0;
    // A terminal or /dev/null holds no stream that text could spoil, and a
    // user who silenced standard output expects silence.
    return named.st_dev == open_file.st_dev && named.st_ino == open_file.st_ino &&
           !S_ISCHR(open_file.st_mode);
}

void KeepTextOutOfRecording(int argc, char* argv[])
{
    // The names that the command line will use.
    const OutputNameArgs names = FindOutputNames(argc, argv);
    bool to_stdout = false;
    for (int i = 0; i < names.given && !to_stdout; ++i)
        to_stdout = NamesOpenFile(OutputName(argv[names.first + i]), STDOUT_FILENO);
    if (!to_stdout)
        return;

    // Descriptor 1 stays as it is: the recording opens it by name.
    const int fd = dup(STDERR_FILENO);
    FILE* text = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (text == nullptr) {
        if (fd >= 0)
            close(fd);
        // Without a stream of its own, the text still leaves the recording.
        text = stderr;
    } else {
        // Line by line, so that it keeps its order with what is written to
        // standard error directly.
        std::setvbuf(text, nullptr, _IOLBF, BUFSIZ);
    }
    stdout = text;
}

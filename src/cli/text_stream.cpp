// Keeping quillo's text out of a recording that goes to standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    // The names that the command line will use: the fifth argument, and the
    // sixth only in channel mode 2.
    const int given = argc - 1;
    bool to_stdout = given >= 5 && NamesOpenFile(OutputName(argv[5]), STDOUT_FILENO);
    if (!to_stdout && given >= 6 && std::strcmp(argv[4], "s") != 0 &&
        std::strtol(argv[4], nullptr, 10) == 2)
        to_stdout = NamesOpenFile(OutputName(argv[6]), STDOUT_FILENO);
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

// Outputs that cannot hold a take. No line of quillo's text may ever enter
// a recording, and no recording is written to a terminal.
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture/capture.hpp"
#include "cli/cli.hpp"
#include "files/output_stream.hpp"
#include "files/shown_name.hpp"

int RefuseUnfitOutput(const char* name)
{
    const bool to_stdout = IsStandardOutputName(name);
    const char* reason = nullptr;
    if (to_stdout && StandardStreamWasClosed(STDOUT_FILENO))
        reason = "it was closed when quillo started";
    else if (to_stdout && isatty(STDOUT_FILENO))
        reason = "it is a terminal; redirect it to a file or a pipe";
    else if (NamesOpenFile(name, STDERR_FILENO) && to_stdout)
        reason = "standard error goes there too; send standard error elsewhere "
                 "(such as 2>/dev/null or 2>log) or redirect standard output";
    else if (NamesOpenFile(name, STDERR_FILENO))
        reason = "standard error goes there too; send standard error elsewhere "
                 "(such as 2>/dev/null or 2>log)";
    if (reason == nullptr)
        return 0;
    // Never into the recording's stream: standard error holds the text of
    // a take into standard output.
    std::fprintf(stderr, "Can't record %s: %s\n",
                 to_stdout ? "standard output" : ShownName(name).c_str(), reason);
    return 1;
}

MayReplace StandardOutputHoldsNoTake()
{
    struct stat st;
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0 || fstat(STDOUT_FILENO, &st) != 0)
        return MayReplace::kNothing;
    if (!S_ISREG(st.st_mode) || (flags & O_APPEND) != 0)
        return MayReplace::kNoRegularFile;
    return st.st_size == 0 ? MayReplace::kAnyFile : MayReplace::kNothing;
}

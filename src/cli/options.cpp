// Options given before the format code. A format code never starts with '-',
// so a first argument without one leaves the command line as it always was.
#include <cstdio>
#include <cstring>

#include "capture/capture.hpp"
#include "cli/cli.hpp"

namespace {

bool Is(const char* arg, const char* short_name, const char* long_name)
{
    return std::strcmp(arg, short_name) == 0 || std::strcmp(arg, long_name) == 0;
}

} // namespace

int ReadLeadingOptions(int argc, char* argv[], int* first)
{
    int at = 1;
    while (at < argc && argv[at][0] == '-') {
        const char* arg = argv[at];
        if (Is(arg, "-h", "--help")) {
            Help();
            return 0;
        }
        if (Is(arg, "-V", "--version")) {
            std::printf("quillo %s\n", kQuilloVersion);
            return 0;
        }
        if (Is(arg, "-L", "--list-devices"))
            return ListCaptureDevices();
        if (!Is(arg, "-q", "--quiet")) {
            std::printf("Unknown option '%s'; see quillo --help\n", arg);
            return 1;
        }
        SetQuietTake(1);
        ++at;
    }
    *first = at;
    return -1;
}

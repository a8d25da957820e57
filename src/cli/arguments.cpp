// The positional command line: what each argument after the leading options
// stands for.
#include <cstdlib>
#include <cstring>

#include "cli/cli.hpp"

const char* OutputName(const char* arg)
{
    return std::strcmp(arg, "-") == 0 ? "/dev/stdout" : arg;
}

int ReadChannelMode(const char* arg)
{
    if (std::strcmp(arg, "s") == 0)
        return 's';
    const long mode = std::strtol(arg, nullptr, 10);
    return mode == 1 || mode == 2 ? static_cast<int>(mode) : 0;
}

OutputNameArgs FindOutputNames(int argc, char* argv[])
{
    OutputNameArgs names;
    if (argc > kChannelModeArg && ReadChannelMode(argv[kChannelModeArg]) == 2)
        names.wanted = 2;
    const int given = argc - names.first;
    names.given = given < 0 ? 0 : given > names.wanted ? names.wanted : given;
    return names;
}

// Options given before the format code. A format code never starts with '-',
// so a first argument without one leaves the command line as it always was.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "capture/capture.hpp"
#include "cli/cli.hpp"
#include "files/shown_name.hpp"

namespace {

// getopt_long's code of --split, which has no short form.
constexpr int kSplitOption = 256;

// Each file of a series costs a creation, syncs and a rename: files shorter
// than this would be more work than audio.
constexpr double kShortestSplitSeconds = 0.1;

// Reads the length of the files of a series into *split_s; false after the
// refusal. `text` is null when --split came without a value.
bool ReadSplit(const char* text, double* split_s)
{
    double seconds = 0;
    if (text == nullptr || ParseDuration(text, &seconds) != 0 || !std::isfinite(seconds) ||
        !(seconds >= kShortestSplitSeconds)) {
        std::printf("Improper split request\n");
        return false;
    }
    *split_s = seconds;
    return true;
}

int RefuseOption(const char* arg)
{
    std::printf("Unknown option '%s'; see quillo --help\n", ShownName(arg).c_str());
    return 1;
}

} // namespace

int ReadLeadingOptions(int argc, char* argv[], LeadingOptions* options)
{
    static const option kLongOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"list-devices", no_argument, nullptr, 'L'},
        {"quiet", no_argument, nullptr, 'q'},
        {"overwrite", no_argument, nullptr, 'y'},
        {"no-overwrite", no_argument, nullptr, 'n'},
        {"split", required_argument, nullptr, kSplitOption},
        {nullptr, 0, nullptr, 0},
    };
    *options = LeadingOptions{};
    // The refusal is quillo's own line; 0 also starts getopt afresh (glibc).
    opterr = 0;
    optind = 0;
    for (;;) {
        const int at = optind == 0 ? 1 : optind;
        // '+': the first argument that is no option ends them, so the
        // positional arguments are never reordered or read as options.
        // ':': an option without its value is told from an unknown one.
        const int c = getopt_long(argc, argv, "+:hVLqyn", kLongOptions, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case 'h':
            Help();
            HelpOptions();
            return 0;
        case 'V':
            std::printf("quillo %s\n", kQuilloVersion);
            return 0;
        case 'L':
            return ListCaptureDevices();
        case 'q':
            SetQuietTake(1);
            break;
        case 'y':
            options->answer = 'o';
            break;
        case 'n':
            options->answer = 'x';
            break;
        case kSplitOption:
        case ':':
            if (!ReadSplit(c == ':' ? nullptr : optarg, &options->split_s))
                return 1;
            break;
        default:
            // A long option is shown as given, a short one alone, even
            // when it came in a group (-qZ).
            if (std::strncmp(argv[at], "--", 2) == 0)
                return RefuseOption(argv[at]);
            const char short_option[3] = {'-', static_cast<char>(optopt), '\0'};
            return RefuseOption(short_option);
        }
    }
    // A lone "-" names standard output as a file, never a format code.
    if (optind < argc && std::strcmp(argv[optind], "-") == 0)
        return RefuseOption(argv[optind]);
    options->first = optind;
    return -1;
}

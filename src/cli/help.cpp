// The usage text.
#include <cstdio>

#include "cli/cli.hpp"

void Help()
{
    std::printf("\nQuillo " QUILLO_VERSION " (2f) by Tolvane\n"
                "\n"
                "This is a 1 or 2 channel recording program.\n"
                "You must add at least two command line arguments:\n"
                "\t1.  The recording format\n\t2.  The recording duration in seconds.\n"
                "\n"
                "The possible formats are as follows:\n"
                "Format\tBits\tSample rate\n");
    for (const FormatInfo& f : kFormats)
        std::printf("%s\t%i\t%u\n", f.code, f.bits, f.rate_hz);
    std::printf("\n"
                "Example:  quillo 1644 60\n"
                "This will record for 60 seconds at 16 bits and 44,100 Hz\n"
                "\n"
                "If no file name is specified, the program will create one.\n"
                "\n"
                "The complete list of arguments is as follows:\n"
                "\n"
                "<format>  <duration>  <device>  <channels>  <filename 1>  <filename 2>\n"
                "\n"
                "You may enter just d for the default system recording device.\n"
                "plughw:0,0 is often used for the device name.\n"
                "\n"
                "To create an interleaved stereo file, use s instead of 1 or 2 for\n"
                "the number of channels.  Only one filename is needed or created.\n");
}

void HelpOptions()
{
    std::printf("\n"
                "Options, given before the format:\n"
                "  -q, --quiet          print no status line during the take\n"
                "  -y, --overwrite      overwrite existing files without asking\n"
                "  -n, --no-overwrite   never overwrite: exit if a named file exists\n"
                "      --split DURATION record on across files of that length (0.1 s or more)\n"
                "  -L, --list-devices   list the capture devices\n"
                "  -V, --version        print the version\n"
                "  -h, --help           print this text\n"
                "\n"
                "The duration is in decimal seconds (90, 2.5), or has one unit (90s, 5m,\n"
                "1.5h), or is [[h:]m:]s (1:30, 1:00:00). A duration of 0 records until the\n"
                "take is stopped (Ctrl-C, a signal, a full disk); the header is kept right\n"
                "as the take grows, so a power cut leaves a valid file. Into a pipe, its\n"
                "header states the longest length, which readers take as \"until the end\".\n"
                "A file name of - is standard output, which may be neither a terminal nor\n"
                "where standard error goes. Devices (/dev/null), FIFOs, pipes and\n"
                "standard output are written without asking.\n");
    // No format: the patterns' '%' are printed as they are.
    std::fputs("\n"
               "With --split, the take goes on across files of that length, without a gap.\n"
               "The names are patterns: strftime conversions (%Y%m%d-%H%M%S, %Y/%m/%d/...)\n"
               "take the local time of each file's first frame, %v is the file's number and\n"
               "%03v pads it to 3 digits; a name with neither gets -%v before its extension.\n"
               "Missing folders are made. The file being written is NAME.part until it is\n"
               "complete. No file is ever overwritten: -y and -n do not apply.\n",
               stdout);
}

// Command-line front end: the format table, the recording request, the usage
// text and the overwrite prompt.
#pragma once

#include <cstdint>
#include <vector>

#include "files/file_safety.hpp"

struct FormatInfo {
    const char* code;
    int bits;
    uint32_t rate_hz;
    uint32_t sample_bytes;
};

// Read by the argument check and printed by the usage text, in this order.
inline constexpr FormatInfo kFormats[] = {
    {"1644", 16, 44100, 2}, {"1648", 16, 48000, 2}, {"2444", 24, 44100, 3}, {"2448", 24, 48000, 3},
    {"1688", 16, 88200, 2}, {"1696", 16, 96000, 2}, {"2488", 24, 88200, 3}, {"2496", 24, 96000, 3},
};

// What main hands to RECORD. The three text buffers are NUL-terminated and
// sized to fit what was given; the file list has room for two made names.
struct RecordingRequest {
    std::vector<char> device;
    uint32_t rate_hz = 0;
    float duration_s = 0;
    int32_t channels = 1;
    uint32_t sample_bytes = 0;
    int32_t auto_naming = 1;
    std::vector<char> file_list;
    std::vector<char> scratch;
    int32_t interleave = 0;
    // Per given name, in list order: which existing file the take may cut
    // (kAnyFile when the user answered 'o'). Any other given name is created
    // afresh, and refused if it exists by then.
    MayReplace may_replace[2] = {MayReplace::kNothing, MayReplace::kNothing};
    // Per given name, where may_replace is kAnyFile: the file the name led to
    // when the user was asked; the take opens that file or none.
    AnsweredFile pinned[2];
    // With a length in seconds, the take goes on across a series of files
    // of that length, and the names in the file list are patterns of their
    // names (SeriesPattern); 0: one file per channel.
    double split_s = 0;
};

// What the leading options leave for the rest of the run.
struct LeadingOptions {
    int first = 1;      // index of the format code in argv
    int answer = 0;     // to every overwrite question: 0 (ask), 'o' (-y) or 'x' (-n)
    double split_s = 0; // --split: the length of each file of a series, seconds; 0: none
};

// Checks the arguments in order and fills the request. Prints the refusal
// (or the usage text) on standard output and returns the exit status 1;
// returns -1 when RECORD is to be called. `answer` and `split_s` as in
// LeadingOptions; with a split the names are patterns, and no question is
// asked.
int AssembleRequest(int argc, char* argv[], RecordingRequest* request, int answer = 0,
                    double split_s = 0);

// Reads the options before the format code, from argv[1] on, with
// getopt_long (stopping at the first argument that is no option). Returns
// the exit status when one of them ends the program (help, version, device
// list, an unknown option); otherwise -1, with the options filled in.
int ReadLeadingOptions(int argc, char* argv[], LeadingOptions* options);

// Reads a duration in seconds: a decimal number ("2.5", "60s"), a number
// with one unit s, m or h ("5m", "1.5h"), or [[h:]m:]s ("1:30", "1:00:00"),
// after leading white space. Returns 0 with *seconds set (which may be 0,
// -0, negative or not finite: the caller decides), or -1 when the text is
// no duration: also a hexadecimal number, and one that is not 0 but too
// small to tell from 0.
int ParseDuration(const char* text, double* seconds);

// The file name that an output argument stands for: "-" is standard output.
const char* OutputName(const char* arg);

// The command line after the leading options, as RECORD's request reads it.
inline constexpr int kFormatArg = 1;
inline constexpr int kDurationArg = 2;
inline constexpr int kDeviceArg = 3;
inline constexpr int kChannelModeArg = 4;

// The channel mode argument: 1 or 2 (mono files, one per channel), 's' (one
// stereo file), or 0 for anything else.
int ReadChannelMode(const char* arg);

// Which arguments are the output names: from argv[first] on, one name, or
// two in channel mode 2; any after those are extra, and not recorded.
struct OutputNameArgs {
    int first = kChannelModeArg + 1;
    int wanted = 1; // the names the channel mode uses
    int given = 0;  // how many of them the command line holds: 0 to wanted
};
OutputNameArgs FindOutputNames(int argc, char* argv[]);

// The project's version, set once in CMake.
inline constexpr const char kQuilloVersion[] = QUILLO_VERSION;

// Prints the usage text.
void Help();
// Prints what --help adds below the usage text: the leading options and the
// forms of the duration.
void HelpOptions();

// What CheckFileName found.
enum class FileCheck { kAbsent = 1, kExists = 2 };

// kAbsent when the file is absent (or cannot be read), kExists when it
// exists. Never opens the file, so it never waits (a FIFO).
FileCheck CheckFileName(const char* name);

// Whether an existing name holds no take, so that writing it needs no
// question: kNoRegularFile when it is no regular file (a character device
// such as /dev/null, a FIFO or pipe, standard output on a pipe or socket) or
// it is standard output open for appending, kAnyFile when it is the empty
// regular file that standard output was opened on (`> take.wav`), kNothing
// otherwise.
MayReplace HoldsNoTake(const char* name);

// Refuses an output that cannot hold a take, with one line on standard
// error and 1: standard output (IsStandardOutputName) that was closed when
// quillo started, that is a terminal, or that standard error writes to
// too; any other name that standard error writes to. Else 0.
int RefuseUnfitOutput(const char* name);

// HoldsNoTake for standard output, as descriptor 1 is open: kNoRegularFile
// for anything but a regular file, and for a file open for appending (`>> f`:
// the take follows what it holds); kAnyFile for an empty regular file;
// kNothing otherwise.
MayReplace StandardOutputHoldsNoTake();

// Asks about an existing file; 1: exit, 2: overwrite. Any other word asks
// again. End of input is exit, and so is a word longer than a line (4096
// bytes).
int CheckOverwrite(const char* name);

// When an output name (FindOutputNames) is standard output (the WAV stream
// goes there), points `stdout` at a copy of standard error, so that every
// line of text stays out of the recording. Takes the arguments after the
// leading options (argv[1] the format code); call before anything of the
// take is printed.
void KeepTextOutOfRecording(int argc, char* argv[]);

// 1 when `name` is the file that descriptor `fd` has open (same device and
// inode), and that file is no character device; else 0.
int NamesOpenFile(const char* name, int fd);

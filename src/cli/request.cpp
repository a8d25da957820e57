// Reading the command line into a recording request.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/capture.hpp"
#include "cli/cli.hpp"
#include "files/file_safety.hpp"
#include "files/output_stream.hpp"
#include "files/series_name.hpp"
#include "files/shown_name.hpp"
#include "wav/header.hpp"

namespace {

// Room that RECORD needs in the file list for the names it makes itself.
constexpr size_t kListBytes = 4096;
constexpr size_t kDeviceBytes = 64;

void SetText(std::vector<char>* buffer, const char* text, size_t at_least)
{
    const size_t len = std::strlen(text);
    buffer->assign(len + 1 > at_least ? len + 1 : at_least, '\0');
    std::memcpy(buffer->data(), text, len);
}

// An empty name, or one with a newline, cannot travel in the file list.
bool ProperFileName(const char* name)
{
    return name[0] != '\0' && std::strchr(name, '\n') == nullptr;
}

int RefuseFileName()
{
    std::printf("Improper file name request\n");
    return 1;
}

// What the check of a given name found, before any question is asked.
struct NameCheck {
    FileCheck exists;
    MayReplace no_take; // HoldsNoTake
    AnsweredFile file;  // what the name leads to as the user is asked
};

NameCheck CheckName(const char* name)
{
    return {CheckFileName(name), HoldsNoTake(name), PinAnsweredFile(name)};
}

// Names after those the mode uses are not recorded; the user is told.
void WarnOfExtraNames(int argc, char* argv[], int first_extra)
{
    for (int i = first_extra; i < argc; ++i)
        std::fprintf(stderr, "quillo: ignoring extra name %s\n", ShownName(argv[i]).c_str());
}

// The output names the mode uses, checked before any question: each must
// be a proper name and an output that can hold a take, and the two of mode
// 2 distinct. Returns 0 with `names` filled, or 1 after the refusal.
int CheckOutputNames(int argc, char* argv[], const OutputNameArgs& args, const char* names[2])
{
    for (int i = 0; i < args.given; ++i) {
        if (!ProperFileName(argv[args.first + i]))
            return RefuseFileName();
        names[i] = OutputName(argv[args.first + i]);
        if (RefuseUnfitOutput(names[i]) != 0)
            return 1;
    }
    if (args.given == 2 && NameTheSameFile(names[0], names[1])) {
        std::printf("Can't record both channels into the same file %s\n",
                    ShownName(names[1]).c_str());
        return 1;
    }
    WarnOfExtraNames(argc, argv, args.first + args.wanted);
    return 0;
}

// The output names of a series, which are patterns: nothing is there to
// ask about yet, since each file is created exclusively when its turn
// comes. Each must be a proper name, the two of mode 2 must not make the
// same names, and none may be standard output, which cannot hold a series.
// Returns 0, or 1 after the refusal.
int CheckSeriesPatterns(int argc, char* argv[], const OutputNameArgs& args)
{
    for (int i = 0; i < args.given; ++i)
        if (!ProperFileName(argv[args.first + i]))
            return RefuseFileName();
    if (args.given == 2 && NameTheSameFile(SeriesPattern(argv[args.first]).c_str(),
                                           SeriesPattern(argv[args.first + 1]).c_str())) {
        std::printf("Can't record both channels into the same file %s\n",
                    ShownName(argv[args.first + 1]).c_str());
        return 1;
    }
    for (int i = 0; i < args.given; ++i) {
        if (IsStandardOutputName(OutputName(argv[args.first + i]))) {
            std::fprintf(stderr, "Can't record standard output: a take across files "
                                 "(--split) needs file names\n");
            return 1;
        }
    }
    WarnOfExtraNames(argc, argv, args.first + args.wanted);
    return 0;
}

// Asks about a checked name where a question is due, or takes the answer
// given in advance. Returns false when the answer is x; else true, with
// what the take may replace at the name.
bool Decide(const char* name, const NameCheck& check, int answer, MayReplace* replace)
{
    *replace = check.no_take;
    if (check.no_take != MayReplace::kNothing || check.exists != FileCheck::kExists)
        return true;
    if (answer == 'x') {
        std::printf("File %s already exists!\n", ShownName(name).c_str());
        return false;
    }
    if (answer != 'o' && CheckOverwrite(name) != 2)
        return false;
    *replace = MayReplace::kAnyFile;
    return true;
}

// Asks about each checked name in turn where a question is due, and lists
// the names. Returns 0, or 1 after the refusal.
int DecideOutputNames(const OutputNameArgs& args, const char* names[2], RecordingRequest* request,
                      int answer, std::string* list)
{
    // Both names are checked before the first question.
    NameCheck checks[2];
    for (int i = 0; i < args.given; ++i)
        checks[i] = CheckName(names[i]);
    for (int i = 0; i < args.given; ++i) {
        if (!Decide(names[i], checks[i], answer, &request->may_replace[i]))
            return 1;
        if (request->may_replace[i] == MayReplace::kAnyFile)
            request->pinned[i] = checks[i].file;
        *list += std::string(names[i]) + "\n";
    }
    return 0;
}

// Takes the output names given, if any: checks them all, then (but for a
// series, whose names are patterns) asks about each in turn where a
// question is due, and makes the file list. Returns 0, or 1 after the
// refusal.
int TakeOutputNames(int argc, char* argv[], RecordingRequest* request, int answer)
{
    const OutputNameArgs args = FindOutputNames(argc, argv);
    if (args.given == 0)
        return 0;
    std::string list;
    if (request->split_s > 0) {
        if (CheckSeriesPatterns(argc, argv, args) != 0)
            return 1;
        for (int i = 0; i < args.given; ++i)
            list += std::string(argv[args.first + i]) + "\n";
    } else {
        const char* names[2] = {nullptr, nullptr};
        if (CheckOutputNames(argc, argv, args, names) != 0 ||
            DecideOutputNames(args, names, request, answer, &list) != 0)
            return 1;
    }
    if (args.given < args.wanted) {
        std::printf("2 channels were requested, but on1y 1 filename was entered!\n");
        return 1;
    }
    SetText(&request->file_list, list.c_str(), kListBytes);
    request->scratch.assign(request->file_list.size(), '\0');
    request->auto_naming = 0;
    return 0;
}

// Reads the format code and the duration. Returns 0, or 1 after the
// refusal.
int ReadFormatAndDuration(char* argv[], RecordingRequest* request)
{
    const FormatInfo* format = nullptr;
    for (const FormatInfo& f : kFormats) {
        if (std::strcmp(argv[kFormatArg], f.code) == 0) {
            format = &f;
            break;
        }
    }
    if (format == nullptr) {
        std::printf("Improper format request\n");
        return 1;
    }
    request->rate_hz = format->rate_hz;
    request->sample_bytes = format->sample_bytes;

    // Beyond single precision is infinite; not a number and infinity are
    // no durations.
    double seconds = 0;
    const bool is_duration = ParseDuration(argv[kDurationArg], &seconds) == 0;
    const float duration = std::isfinite(seconds) && std::fabs(seconds) <= FLT_MAX
                               ? static_cast<float>(seconds)
                               : static_cast<float>(INFINITY);
    // Exactly 0 is a take of open length, until it is stopped; a duration
    // too small to count is no such request.
    const bool until_stopped = is_duration && seconds == 0 && !std::signbit(seconds);
    if (!is_duration || !(duration > 0 || until_stopped) || !std::isfinite(duration)) {
        std::printf("Improper duration request\n");
        return 1;
    }
    request->duration_s = until_stopped ? 0.0f : duration;
    return 0;
}

} // namespace

int AssembleRequest(int argc, char* argv[], RecordingRequest* request, int answer, double split_s)
{
    request->split_s = split_s;
    SetText(&request->device, "default", kDeviceBytes);
    request->file_list.assign(kListBytes, '\0');
    request->scratch.assign(kListBytes, '\0');
    request->auto_naming = 1;
    request->channels = 1;
    request->interleave = 0;
    for (int i = 0; i < 2; ++i) {
        request->may_replace[i] = MayReplace::kNothing;
        request->pinned[i] = AnsweredFile{};
    }

    if (argc <= kDurationArg) {
        Help();
        return 1;
    }
    if (ReadFormatAndDuration(argv, request) != 0)
        return 1;
    if (argc > kDeviceArg)
        SetText(&request->device, argv[kDeviceArg], kDeviceBytes);
    if (argc > kChannelModeArg) {
        const int mode = ReadChannelMode(argv[kChannelModeArg]);
        if (mode == 0) {
            std::printf("Improper channel number request\n");
            return 1;
        }
        request->channels = mode == 's' ? 1 : mode;
        request->interleave = mode == 's' ? 1 : 0;
    }

    // A take too long to count is refused before any question is asked;
    // the device's own period is checked again later.
    int64_t frames = 0;
    QUANTIZE(kRequestedPeriodFrames, request->rate_hz, &request->duration_s, &frames);
    const uint32_t bytes_per_frame = BytesPerFrame(request->sample_bytes, request->interleave);
    if (RefuseOverlongTake(frames, kRequestedPeriodFrames, bytes_per_frame))
        return 1;
    // The frames of each file of a series must be countable too.
    if (request->split_s * request->rate_hz >
        static_cast<double>(MaxTakeFrames(kRequestedPeriodFrames, bytes_per_frame))) {
        std::printf("Improper split request\n");
        return 1;
    }
    if (TakeOutputNames(argc, argv, request, answer) != 0)
        return 1;

    if (std::strcmp(request->device.data(), "d") == 0)
        SetText(&request->device, "default", kDeviceBytes);
    return -1;
}

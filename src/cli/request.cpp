// Reading the command line into a recording request.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture/capture.hpp"
#include "cli/cli.hpp"
#include "wav/file_safety.hpp"

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
    int exists;  // CheckFileName
    int no_take; // HoldsNoTake
};

NameCheck CheckName(const char* name)
{
    return {CheckFileName(name), HoldsNoTake(name)};
}

// Asks about a checked name where a question is due, or takes the answer
// given in advance. Gives its may_replace value, or -1 when the answer is x.
int Decide(const char* name, NameCheck check, int answer)
{
    if (check.no_take != 0)
        return check.no_take;
    if (check.exists != 2)
        return 0;
    if (answer == 'o')
        return 1;
    if (answer == 'x') {
        std::printf("File %s already exists!\n", ShownName(name).c_str());
        return -1;
    }
    return CheckOverwrite(name) == 2 ? 1 : -1;
}

} // namespace

const char* OutputName(const char* arg)
{
    return std::strcmp(arg, "-") == 0 ? "/dev/stdout" : arg;
}

int AssembleRequest(int argc, char* argv[], RecordingRequest* request, int answer)
{
    const int given = argc - 1;
    SetText(&request->device, "default", kDeviceBytes);
    request->file_list.assign(kListBytes, '\0');
    request->scratch.assign(kListBytes, '\0');
    request->auto_naming = 1;
    request->channels = 1;
    request->interleave = 0;
    request->may_replace[0] = 0;
    request->may_replace[1] = 0;

    if (given < 2) {
        Help();
        return 1;
    }

    const FormatInfo* format = nullptr;
    for (const FormatInfo& f : kFormats) {
        if (std::strcmp(argv[1], f.code) == 0) {
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
    const bool is_duration = ParseDuration(argv[2], &seconds) == 0;
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

    if (given >= 3)
        SetText(&request->device, argv[3], kDeviceBytes);

    if (given >= 4) {
        if (std::strcmp(argv[4], "s") == 0) {
            request->channels = 1;
            request->interleave = 1;
        } else {
            const long mode = std::strtol(argv[4], nullptr, 10);
            if (mode != 1 && mode != 2) {
                std::printf("Improper channel number request\n");
                return 1;
            }
            request->channels = static_cast<int32_t>(mode);
        }
    }

    // A take too long to count is refused before any question is asked;
    // the device's own period is checked again later.
    int64_t frames = 0;
    QUANTIZE(kRequestedPeriodFrames, request->rate_hz, &request->duration_s, &frames);
    const uint32_t bytes_per_frame = request->sample_bytes * (request->interleave ? 2 : 1);
    if (RefuseOverlongTake(frames, kRequestedPeriodFrames, bytes_per_frame))
        return 1;

    if (given >= 5) {
        if (!ProperFileName(argv[5]))
            return RefuseFileName();
        const char* name1 = OutputName(argv[5]);
        std::string list;
        if (request->channels != 2) {
            const int replace = Decide(name1, CheckName(name1), answer);
            if (replace < 0)
                return 1;
            request->may_replace[0] = replace;
            list = std::string(name1) + "\n";
        } else if (given == 5) {
            if (Decide(name1, CheckName(name1), answer) < 0)
                return 1;
            std::printf("2 channels were requested, but on1y 1 filename was entered!\n");
            return 1;
        } else {
            const NameCheck check1 = CheckName(name1);
            if (!ProperFileName(argv[6]))
                return RefuseFileName();
            const char* name2 = OutputName(argv[6]);
            // Both names are checked before the first question.
            const NameCheck check2 = CheckName(name2);
            const int replace1 = Decide(name1, check1, answer);
            if (replace1 < 0)
                return 1;
            const int replace2 = Decide(name2, check2, answer);
            if (replace2 < 0)
                return 1;
            request->may_replace[0] = replace1;
            request->may_replace[1] = replace2;
            list = std::string(name1) + "\n" + name2 + "\n";
        }
        SetText(&request->file_list, list.c_str(), kListBytes);
        request->scratch.assign(request->file_list.size(), '\0');
        request->auto_naming = 0;
    }

    if (std::strcmp(request->device.data(), "d") == 0)
        SetText(&request->device, "default", kDeviceBytes);
    return -1;
}

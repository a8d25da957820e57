// quillo: records the two channels of an ALSA capture device into WAV files
// of exactly the planned length.
#include "capture/capture.hpp"
#include "cli/cli.hpp"

int main(int argc, char* argv[])
{
    GuardStandardStreams();
    KeepTextOutOfRecording(argc, argv);

    int first = 1;
    const int ended = ReadLeadingOptions(argc, argv, &first);
    if (ended >= 0)
        return ended;
    // The arguments after the options, as if they were all there was.
    argv[first - 1] = argv[0];

    RecordingRequest request;
    const int refused = AssembleRequest(argc - (first - 1), argv + (first - 1), &request);
    if (refused >= 0)
        return refused;

    return RECORD(request.device.data(), request.rate_hz, request.duration_s, request.channels,
                  request.sample_bytes, request.auto_naming, request.file_list.data(),
                  request.scratch.data(), request.interleave, request.may_replace);
}

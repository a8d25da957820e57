// quillo: records the two channels of an ALSA capture device into WAV files
// of exactly the planned length.
#include "capture/capture.hpp"
#include "cli/cli.hpp"

int main(int argc, char* argv[])
{
    GuardStandardStreams();
    KeepTextOutOfRecording(argc, argv);

    RecordingRequest request;
    const int refused = AssembleRequest(argc, argv, &request);
    if (refused >= 0)
        return refused;

    return RECORD(request.device.data(), request.rate_hz, request.duration_s, request.channels,
                  request.sample_bytes, request.auto_naming, request.file_list.data(),
                  request.scratch.data(), request.interleave, request.may_replace);
}

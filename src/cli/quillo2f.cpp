// quillo: records the two channels of an ALSA capture device into WAV files
// of exactly the planned length.
#include "capture/capture.hpp"
#include "cli/cli.hpp"

int main(int argc, char* argv[])
{
    GuardStandardStreams();

    LeadingOptions options;
    const int ended = ReadLeadingOptions(argc, argv, &options);
    if (ended >= 0)
        return ended;
    // The arguments after the options, as if they were all there was.
    const int skipped = options.first - 1;
    argv[skipped] = argv[0];
    argc -= skipped;
    argv += skipped;

    // Before anything of the take is printed: the output names are known now.
    KeepTextOutOfRecording(argc, argv);

    RecordingRequest request;
    const int refused = AssembleRequest(argc, argv, &request, options.answer, options.split_s);
    if (refused >= 0)
        return refused;

    return RECORD(request.device.data(), request.rate_hz, request.duration_s, request.channels,
                  request.sample_bytes, request.auto_naming, request.file_list.data(),
                  request.scratch.data(), request.interleave, request.may_replace, request.pinned,
                  request.split_s);
}

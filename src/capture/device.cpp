// Capture device set-up: open, hardware parameters, and the values granted.
#include <cstdio>
#include <string>

#include "capture/capture.hpp"
#include "capture/device.hpp"
#include "wav/file_safety.hpp"

namespace {
constexpr snd_pcm_uframes_t kRequestedBufferFrames = 8 * kRequestedPeriodFrames;
constexpr unsigned kCaptureChannels = 2;

// The formats left in `params`, by ALSA's names, blank-separated.
std::string OfferedFormats(const snd_pcm_hw_params_t* params)
{
    snd_pcm_format_mask_t* mask;
    snd_pcm_format_mask_alloca(&mask);
    snd_pcm_hw_params_get_format_mask(const_cast<snd_pcm_hw_params_t*>(params), mask);
    std::string names;
    for (int f = 0; f <= SND_PCM_FORMAT_LAST; ++f) {
        const auto format = static_cast<snd_pcm_format_t>(f);
        const char* name = snd_pcm_format_name(format);
        if (name == nullptr || !snd_pcm_format_mask_test(mask, format))
            continue;
        if (!names.empty())
            names += ' ';
        names += name;
    }
    return names.empty() ? "none" : names;
}

// "N" or "N to M", from a range that a getter pair reports.
std::string Range(unsigned low, unsigned high)
{
    return low == high ? std::to_string(low) : std::to_string(low) + " to " + std::to_string(high);
}

} // namespace

int SetupDevice(const char* name, uint32_t rate_hz, uint32_t sample_bytes, snd_pcm_t** pcm,
                int* period_frames)
{
    int err = snd_pcm_open(pcm, name, SND_PCM_STREAM_CAPTURE, 0);
    if (err < 0) {
        std::fprintf(stderr, "unable to open pcm record device: %s: %s\n", ShownName(name).c_str(),
                     snd_strerror(err));
        return 1;
    }

    snd_pcm_hw_params_t* params;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(*pcm, params);

    // Many cards offer interleaved access only; without this test every read
    // would fail and the take would "record" silence.
    err = snd_pcm_hw_params_set_access(*pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
    if (err < 0) {
        std::fprintf(stderr,
                     "Problem setting recording access: %s (the device offers interleaved "
                     "access only; plughw: gives the same card with conversion)\n",
                     snd_strerror(err));
        snd_pcm_close(*pcm);
        return 1;
    }
    if (sample_bytes == 2 || sample_bytes == 3) {
        const snd_pcm_format_t format =
            sample_bytes == 2 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_S24_3LE;
        err = snd_pcm_hw_params_set_format(*pcm, params, format);
        if (err < 0) {
            // A refused setter leaves the parameters as they were: what the
            // device offers with the access already set.
            std::fprintf(stderr,
                         "Problem setting recording format: %s (%s requested, the device "
                         "offers %s)\n",
                         snd_strerror(err), snd_pcm_format_name(format),
                         OfferedFormats(params).c_str());
            snd_pcm_close(*pcm);
            return 1;
        }
    }
    // A one-channel device would leave the second file silent and still
    // report a good take.
    err = snd_pcm_hw_params_set_channels(*pcm, params, kCaptureChannels);
    if (err < 0) {
        unsigned low = 0, high = 0;
        snd_pcm_hw_params_get_channels_min(params, &low);
        snd_pcm_hw_params_get_channels_max(params, &high);
        std::fprintf(stderr,
                     "Problem setting recording channels: %s (%u requested, the device offers "
                     "%s)\n",
                     snd_strerror(err), kCaptureChannels, Range(low, high).c_str());
        snd_pcm_close(*pcm);
        return 1;
    }
    // The rates the device could give, for the refusal of a rate it lacks.
    unsigned rate_low = 0, rate_high = 0;
    snd_pcm_hw_params_get_rate_min(params, &rate_low, nullptr);
    snd_pcm_hw_params_get_rate_max(params, &rate_high, nullptr);
    unsigned int rate = rate_hz;
    snd_pcm_hw_params_set_rate_near(*pcm, params, &rate, nullptr);
    snd_pcm_uframes_t period = kRequestedPeriodFrames;
    snd_pcm_hw_params_set_period_size_near(*pcm, params, &period, nullptr);
    snd_pcm_uframes_t buffer = kRequestedBufferFrames;
    snd_pcm_hw_params_set_buffer_size_near(*pcm, params, &buffer);
    const int commit = snd_pcm_hw_params(*pcm, params);

    // A getter that cannot report leaves its zero for the report.
    snd_pcm_uframes_t reported_buffer = 0;
    snd_pcm_uframes_t reported_period = 0;
    unsigned int reported_channels = 0;
    unsigned int reported_rate = 0;
    snd_pcm_hw_params_get_buffer_size(params, &reported_buffer);
    snd_pcm_hw_params_get_period_size(params, &reported_period, nullptr);
    snd_pcm_hw_params_get_channels(params, &reported_channels);
    snd_pcm_hw_params_get_rate(params, &reported_rate, nullptr);

    // A period of no frames could never fill a take.
    if (commit < 0 || period == 0 || period > 1u << 20) {
        std::printf("Could not set record hardware parameters:\n");
        std::printf("Returned Driver Parameters:\n");
        std::printf("\tBuf 1\tBuf 2\tRate\tChannels\n");
        std::printf("Record\t%i\t%i\t%i\t%i\n", static_cast<int>(reported_period),
                    static_cast<int>(reported_buffer), static_cast<int>(reported_rate),
                    static_cast<int>(reported_channels));
        std::printf("-------------------------\n");
        snd_pcm_close(*pcm);
        return 1;
    }
    // A file labelled with a rate the device does not run at plays at the
    // wrong speed.
    if (reported_rate != rate_hz) {
        const std::string range =
            rate_low == rate_high ? "" : " (its range: " + Range(rate_low, rate_high) + " Hz)";
        std::fprintf(stderr,
                     "Problem setting recording rate: %u Hz requested, the device offers %u "
                     "Hz%s\n",
                     rate_hz, reported_rate, range.c_str());
        snd_pcm_close(*pcm);
        return 1;
    }
    *period_frames = static_cast<int>(period);
    return 0;
}

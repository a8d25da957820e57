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

// Most cards' hw: devices and the sound servers' plugins deliver frames
// only; some devices deliver planes only. Either is read as it comes.
int SetAccess(CaptureDevice* device, snd_pcm_hw_params_t* params, const DeviceWish& wish)
{
    snd_pcm_t* pcm = device->pcm;
    const bool planes =
        snd_pcm_hw_params_test_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED) == 0;
    const bool frames =
        snd_pcm_hw_params_test_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) == 0;
    device->grant.interleaved = frames && (!planes || wish.prefer_interleaved);
    const int err =
        snd_pcm_hw_params_set_access(pcm, params,
                                     device->grant.interleaved ? SND_PCM_ACCESS_RW_INTERLEAVED
                                                               : SND_PCM_ACCESS_RW_NONINTERLEAVED);
    if (err < 0)
        std::fprintf(stderr,
                     "Problem setting recording access: %s (the device offers no read access; "
                     "plughw: gives the same card with conversion)\n",
                     snd_strerror(err));
    return err < 0 ? 1 : 0;
}

int SetFormat(CaptureDevice* device, snd_pcm_hw_params_t* params, uint32_t sample_bytes)
{
    if (sample_bytes != 2 && sample_bytes != 3)
        return 0;
    const snd_pcm_format_t format =
        sample_bytes == 2 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_S24_3LE;
    const int err = snd_pcm_hw_params_set_format(device->pcm, params, format);
    if (err < 0) {
        // A refused setter leaves the parameters as they were: what the
        // device offers with the access already set.
        std::fprintf(stderr,
                     "Problem setting recording format: %s (%s requested, the device offers "
                     "%s)\n",
                     snd_strerror(err), snd_pcm_format_name(format),
                     OfferedFormats(params).c_str());
        return 1;
    }
    return 0;
}

// Two channels; a one-channel device (a USB microphone) only where the
// take records channel 1 alone. A second file of silence, or a stereo file
// with one silent side, reported as a good take would be worse than none.
int SetChannels(CaptureDevice* device, snd_pcm_hw_params_t* params, const DeviceWish& wish)
{
    int err = snd_pcm_hw_params_set_channels(device->pcm, params, kCaptureChannels);
    if (err == 0)
        return 0;
    unsigned low = 0, high = 0;
    snd_pcm_hw_params_get_channels_min(params, &low);
    snd_pcm_hw_params_get_channels_max(params, &high);
    if (high == 1 && wish.one_channel_will_do) {
        err = snd_pcm_hw_params_set_channels(device->pcm, params, 1);
        device->grant.channels = 1;
        if (err == 0)
            return 0;
    }
    if (high == 1)
        std::fprintf(stderr,
                     "Problem setting recording channels: %s (%u requested, the device has one "
                     "channel: channel mode 1 records it)\n",
                     snd_strerror(err), kCaptureChannels);
    else
        std::fprintf(stderr,
                     "Problem setting recording channels: %s (%u requested, the device offers "
                     "%s)\n",
                     snd_strerror(err), kCaptureChannels, Range(low, high).c_str());
    return 1;
}

// The five-line report of a commit the device refused.
void ReportRefusedCommit(const snd_pcm_hw_params_t* params)
{
    // A getter that cannot report leaves its zero for the report.
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t period = 0;
    unsigned int channels = 0;
    unsigned int rate = 0;
    snd_pcm_hw_params_get_buffer_size(params, &buffer);
    snd_pcm_hw_params_get_period_size(params, &period, nullptr);
    snd_pcm_hw_params_get_channels(params, &channels);
    snd_pcm_hw_params_get_rate(params, &rate, nullptr);
    std::printf("Could not set record hardware parameters:\n");
    std::printf("Returned Driver Parameters:\n");
    std::printf("\tBuf 1\tBuf 2\tRate\tChannels\n");
    std::printf("Record\t%i\t%i\t%i\t%i\n", static_cast<int>(period), static_cast<int>(buffer),
                static_cast<int>(rate), static_cast<int>(channels));
    std::printf("-------------------------\n");
}

// Rate, period and buffer as near as the device allows, then the commit.
int CommitTiming(CaptureDevice* device, snd_pcm_hw_params_t* params, uint32_t rate_hz)
{
    snd_pcm_t* pcm = device->pcm;
    // The rates the device could give, for the refusal of a rate it lacks.
    unsigned rate_low = 0, rate_high = 0;
    snd_pcm_hw_params_get_rate_min(params, &rate_low, nullptr);
    snd_pcm_hw_params_get_rate_max(params, &rate_high, nullptr);
    unsigned int rate = rate_hz;
    snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
    snd_pcm_uframes_t period = kRequestedPeriodFrames;
    snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
    snd_pcm_uframes_t buffer = kRequestedBufferFrames;
    snd_pcm_hw_params_set_buffer_size_near(pcm, params, &buffer);
    // A period of no frames could never fill a take.
    if (snd_pcm_hw_params(pcm, params) < 0 || period == 0 || period > 1u << 20) {
        ReportRefusedCommit(params);
        return 1;
    }
    unsigned int granted_rate = 0;
    snd_pcm_hw_params_get_rate(params, &granted_rate, nullptr);
    // A file labelled with a rate the device does not run at plays at the
    // wrong speed.
    if (granted_rate != rate_hz) {
        const std::string range =
            rate_low == rate_high ? "" : " (its range: " + Range(rate_low, rate_high) + " Hz)";
        std::fprintf(stderr,
                     "Problem setting recording rate: %u Hz requested, the device offers %u "
                     "Hz%s\n",
                     rate_hz, granted_rate, range.c_str());
        return 1;
    }
    snd_pcm_uframes_t granted_buffer = 0;
    snd_pcm_hw_params_get_buffer_size(params, &granted_buffer);
    device->grant.period_frames = static_cast<int>(period);
    device->grant.buffer_frames = static_cast<int64_t>(granted_buffer);
    return 0;
}

} // namespace

int SetupDevice(const char* name, uint32_t rate_hz, uint32_t sample_bytes, const DeviceWish& wish,
                CaptureDevice* device)
{
    *device = CaptureDevice{};
    device->rate_hz = rate_hz;
    const int err = snd_pcm_open(&device->pcm, name, SND_PCM_STREAM_CAPTURE, 0);
    if (err < 0) {
        std::fprintf(stderr, "unable to open pcm record device: %s: %s\n", ShownName(name).c_str(),
                     snd_strerror(err));
        device->pcm = nullptr;
        return 1;
    }
    snd_pcm_hw_params_t* params;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(device->pcm, params);
    if (SetAccess(device, params, wish) != 0 || SetFormat(device, params, sample_bytes) != 0 ||
        SetChannels(device, params, wish) != 0 || CommitTiming(device, params, rate_hz) != 0) {
        CloseDevice(device);
        return 1;
    }
    return 0;
}

void CloseDevice(CaptureDevice* device)
{
    if (device->pcm == nullptr)
        return;
    snd_pcm_drop(device->pcm);
    snd_pcm_close(device->pcm);
    device->pcm = nullptr;
}

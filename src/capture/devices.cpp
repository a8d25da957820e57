// The capture devices that alsa-lib's name hints know of.
#include <alsa/asoundlib.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture/capture.hpp"

int ListCaptureDevices()
{
    void** hints = nullptr;
    const int err = snd_device_name_hint(-1, "pcm", &hints);
    if (err < 0) {
        std::fprintf(stderr, "Cannot list the ALSA devices: %s\n", snd_strerror(err));
        return 1;
    }
    for (void** hint = hints; *hint != nullptr; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* desc = snd_device_name_get_hint(*hint, "DESC");
        char* ioid = snd_device_name_get_hint(*hint, "IOID");
        // No IOID means the device goes both ways.
        if (name != nullptr && (ioid == nullptr || std::strcmp(ioid, "Input") == 0)) {
            const char* text = desc != nullptr ? desc : "";
            const size_t first_line = std::strcspn(text, "\n");
            std::printf("%s\t%.*s\n", name, static_cast<int>(first_line), text);
        }
        std::free(name);
        std::free(desc);
        std::free(ioid);
    }
    snd_device_name_free_hint(hints);
    std::fflush(stdout);
    return 0;
}

// Opening and configuring the capture device.
#pragma once

#include <alsa/asoundlib.h>
#include <cstdint>

#include "capture/capture.hpp"

// Opens `name` for capture and fixes two non-interleaved channels, the
// format of `sample_bytes`, the rate and a period near 4096 frames with a
// buffer near 8 periods. On success gives the handle and the granted period
// and returns 0; otherwise reports the failure, closes the device and
// returns 1.
int SetupDevice(const char* name, uint32_t rate_hz, uint32_t sample_bytes, snd_pcm_t** pcm,
                int* period_frames);

// The program's mark: now, and the frames the device holds unread. Taken
// after every read, and after a restart (when the device holds none).
DeviceMark MarkDevice(snd_pcm_t* pcm);

// Reads the device's status at an overrun, before the restart, with the
// mark of the last read.
OverrunClock ReadOverrunClock(snd_pcm_t* pcm, const DeviceMark& mark);

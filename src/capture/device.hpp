// The capture device: opening and configuring it, and reading it period by
// period with every way a device can fail or lose audio told apart.
#pragma once

#include <alsa/asoundlib.h>
#include <cstdint>

#include "capture/capture.hpp"

// What the take asks of the device beyond its format and rate.
struct DeviceWish {
    // Frames as they come suit a stereo file (no interleaving pass); one
    // plane per channel suits mono files. Used where the device offers both.
    bool prefer_interleaved;
    // Mode 1 records channel 1 only, so a one-channel device will do.
    bool one_channel_will_do;
};

// What the device granted, for the reads of a take.
struct DeviceGrant {
    int period_frames = 0;
    int64_t buffer_frames = 0;
    int channels = 2; // 1 only for a one-channel device in mode 1
    // A period is read as frames (channel 1's sample, then channel 2's) into
    // a slot of two planes' size; otherwise as one plane per channel.
    bool interleaved = false;
};

// Whether a slot holds a period as frames rather than as two planes.
bool FramesInSlot(const DeviceGrant& grant);

// The device of a take, from its opening to its close. The capture thread
// alone uses it.
struct CaptureDevice {
    snd_pcm_t* pcm = nullptr;
    DeviceGrant grant;
    uint32_t rate_hz = 0;
    DeviceMark mark{0, 0};
    // When the device was first started (CLOCK_MONOTONIC, ns; 0: not yet),
    // and last restarted after an overrun: a device cannot deliver more
    // than it captured since, nor overrun again before its buffer filled.
    int64_t first_start_ns = 0;
    int64_t restart_ns = 0;
    bool read_since_start = false;   // a period read since the last (re)start
    bool overrun_unanswered = false; // the last read was an overrun
};

// Opens `name` for capture and fixes the format of `sample_bytes`, two
// channels (or one, where the device has one and `wish` allows it), the
// access it offers (as `wish` prefers, where it offers both), the rate and a
// period near 4096 frames with a buffer near 8 periods. On success fills
// `device` and returns 0; otherwise reports the failure with ALSA's reason,
// closes the device and returns 1.
int SetupDevice(const char* name, uint32_t rate_hz, uint32_t sample_bytes, const DeviceWish& wish,
                CaptureDevice* device);
// Stops capture (nothing after the last period is wanted, so nothing is
// drained) and closes the device. Any plugin thread is gone afterwards.
void CloseDevice(CaptureDevice* device);

// Prepares the device for the first read.
void PrepareDevice(CaptureDevice* device);

enum class ReadOutcome {
    kPeriod,  // a period, maybe short (the rest of the slot is silence)
    kOverrun, // audio was lost: the slot is silence, `frames` long
    kStopped, // a stop signal came first: nothing was read
    kFailed,  // the device is lost, stalled or broken: `failure` says why
};

struct PeriodRead {
    ReadOutcome outcome = ReadOutcome::kPeriod;
    // kPeriod: frames delivered. kOverrun: frames of silence standing for
    // the audio lost, whole periods.
    int64_t frames = 0;
    // kPeriod: audio the device lost without reporting it (the program was
    // stopped or starved for longer than the device's buffer holds): frames
    // of silence, whole periods, to come before this period. A device that
    // keeps its newest audio when full, or that got none while the program
    // was stopped, delivers this period from after the loss; one that keeps
    // its oldest delivers up to a buffer from before it, which the silence
    // then comes before too: what follows the loss keeps its place in time
    // within one buffer either way.
    int64_t unreported_loss_frames = 0;
    // When the first frame of the period (or of the silence) was captured,
    // CLOCK_REALTIME in ns: the time in a series' names.
    int64_t first_frame_ns = 0;
    const char* failure = nullptr;
};

// Reads the next period into `slot` (two planes' size, as the grant says),
// waiting for it in slices so that a stop signal is seen. `timeline_frames`
// is what the take holds so far; `frames_left` what it may still take (a
// positive multiple of the period), which no silence passes.
PeriodRead ReadPeriod(CaptureDevice* device, char* slot, size_t plane_bytes,
                      int64_t timeline_frames, int64_t frames_left);

// The program's mark: now, and the frames the device holds unread. Taken
// after every read, and after a restart (when the device holds none).
DeviceMark MarkDevice(snd_pcm_t* pcm);

// Reads the device's status at an overrun, before the restart, with the
// mark of the last read.
OverrunClock ReadOverrunClock(snd_pcm_t* pcm, const DeviceMark& mark);

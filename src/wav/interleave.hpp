// The stereo interleaver: the two channel planes of a period as the frames
// of a stereo file, and back.
#pragma once

// Copies one period of two channel planes into frames, left sample first.
void Interleave(int frames, int sample_bytes, const char* left, const char* right, char* out);
// The reverse, for a device that delivers frames only: channel 1's samples
// into `left` and channel 2's into `right` (left out when null).
void Deinterleave(int frames, int sample_bytes, const char* in, char* left, char* right);

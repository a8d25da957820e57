// The names of the files of a take across files: a pattern with strftime
// conversions and a file number, expanded once per file.
#pragma once

#include <cstdint>
#include <string>

// The pattern a series' files are named by: `given` itself when it has a
// conversion (a strftime one such as %H, or %v), else `given` with "-%v"
// before its extension ("take.wav" gives "take-%v.wav"; a name without an
// extension gets it at the end; the extension is after the last '.' of the
// last path component, where that '.' is not the component's first byte, so
// that ".take" gives ".take-%v"). "%%" is a percent sign, no conversion.
std::string SeriesPattern(const char* given);

// The pattern of a made name, when no name is given: the made name of
// channel `channel` at `seconds` (as NewTime gives) with its number:
// "rec_chan_<channel>_<seconds>-%v.wav".
std::string MadeSeriesPattern(int channel, long seconds);

// The name of file `number` (1, 2, ...) of a series whose first frame was
// captured at `first_frame_ns` (CLOCK_REALTIME, ns since the epoch):
// strftime conversions in local time, %v the number, %0Nv the number
// zero-padded to N digits, %% a percent sign. False when the name comes
// out empty or longer than PATH_MAX.
bool SeriesFileName(const std::string& pattern, long number, int64_t first_frame_ns,
                    std::string* name);

// WAV output: the header writer, the set of output files of a take, and the
// stereo interleaver. No ALSA here: everything is testable with plain files.
#pragma once

#include "wav/header.hpp"
#include "wav/interleave.hpp"
#include "wav/output_files.hpp"

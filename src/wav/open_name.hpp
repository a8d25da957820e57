// Opening one output name of a take without harming a file it does not own:
// a new file made by identity, an existing one only as the user agreed, and
// standard output as descriptor 1 is open. For the output file set alone.
#pragma once

#include "files/file_safety.hpp"
#include "wav/output_files.hpp"

// What opening one name came to: 0, or the refusal's errno, and where it
// is to be reported.
enum class Refusal { kNone, kOpen, kLocked, kHeader, kChanged };

struct Opened {
    int fd = -1;
    Refusal refusal = Refusal::kNone;
    int err = 0;
};

// Creates `path` by identity in its folder as channel c's file, locks it,
// and gives it the set's header. EEXIST (Refusal::kOpen) when something is
// there already.
Opened CreateMadeFile(const char* path, OutputFiles* set, int c);

// Opens a name given on the command line as channel c's file: created
// exclusively, unless the user agreed to replace what is there
// (`may_replace`, and `pin`, the very file agreed to).
Opened OpenGivenName(const char* name, MayReplace may_replace, const AnsweredFile* pin,
                     OutputFiles* set, int c);

// Prints the line of a refused name: on standard output, or for a header
// that cannot be written, on standard error.
void PrintRefusal(const Opened& opened, const char* name);

// Splits the scratch copy of the file list in place; a run of newlines counts
// as one separator, so no name is ever empty. Returns the names found, two
// at most.
int SplitNames(char* scratch, const char* names[2]);

// Empties the set and builds the header that every file gets: one that
// states `planned_frames`, or for kOpenLength one that states no audio yet.
void StartSet(OutputFiles* set, uint32_t sample_bytes, int interleave, int64_t planned_frames,
              uint32_t rate_hz);

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

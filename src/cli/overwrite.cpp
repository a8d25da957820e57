// The existing-file check and the overwrite prompt.
#include <cctype>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli.hpp"
#include "files/output_stream.hpp"
#include "files/shown_name.hpp"

// Asks whether the name could be opened for reading, without opening it: an
// open would wait for ever on a FIFO that has no writer. A file that may not
// be read still counts as absent; it is then created exclusively, so it is
// refused rather than replaced without a question.
FileCheck CheckFileName(const char* name)
{
    return access(name, R_OK) == 0 ? FileCheck::kExists : FileCheck::kAbsent;
}

MayReplace HoldsNoTake(const char* name)
{
    if (IsStandardOutputName(name))
        return StandardOutputHoldsNoTake();
    // stat never opens, so a FIFO without a writer does not hold it up.
    struct stat st;
    if (stat(name, &st) != 0)
        return MayReplace::kNothing;
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))
        return MayReplace::kNoRegularFile;
    // Standard output on a file that `>` has just emptied; one opened with
    // `>>` on an earlier take still holds it.
    return S_ISREG(st.st_mode) && st.st_size == 0 && NamesOpenFile(name, STDOUT_FILENO)
               ? MayReplace::kAnyFile
               : MayReplace::kNothing;
}

namespace {

// No typed answer is longer than a line; a word beyond this is a stream
// that never ends one (/dev/zero), and reading on would spin for ever.
constexpr int kLongestWordBytes = 4096;

// Reads one whitespace-delimited word and tells whether it is exactly "x" or
// "o": 'x', 'o', 0 for any other word, EOF at end of input or at a word
// longer than kLongestWordBytes. Nothing is stored, and no word is split in
// pieces.
int ReadAnswer()
{
    int c;
    do
        c = std::getchar();
    while (c != EOF && std::isspace(c));
    if (c == EOF)
        return EOF;
    const int first = c;
    int length = 0;
    while (c != EOF && !std::isspace(c)) {
        if (++length > kLongestWordBytes)
            return EOF;
        c = std::getchar();
    }
    // The white space that ended the word stays unread for the next prompt.
    if (c != EOF)
        std::ungetc(c, stdin);
    if (length == 1 && (first == 'x' || first == 'o'))
        return first;
    return 0;
}

} // namespace

int CheckOverwrite(const char* name)
{
    std::printf("\nFile %s already exists!\n", ShownName(name).c_str());
    for (;;) {
        // A word that decides nothing ("y", "O") is answered with the
        // question, so that the user knows it was read.
        std::printf("Enter 'x' to exit or 'o' to overwrite\n");
        std::fflush(stdout);
        const int answer = ReadAnswer();
        if (answer == 'x' || answer == EOF)
            return 1;
        if (answer == 'o')
            return 2;
    }
}

// The existing-file check and the overwrite prompt.
#include <cctype>
#include <cstdio>

#include "cli/cli.hpp"

int CheckFileName(const char* name)
{
    FILE* f = std::fopen(name, "r");
    if (f == nullptr)
        return 1;
    std::fclose(f);
    return 2;
}

namespace {

// Reads one whitespace-delimited word of any length and tells whether it is
// exactly "x" or "o": 'x', 'o', 0 for any other word, EOF at end of input.
// Nothing is stored, so no word is too long, and none is split in pieces.
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
        ++length;
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
    std::printf("\nFile %s already exists!\n", name);
    std::printf("Enter 'x' to exit or 'o' to overwrite\n");
    std::fflush(stdout);
    for (;;) {
        const int answer = ReadAnswer();
        if (answer == 'x' || answer == EOF)
            return 1;
        if (answer == 'o')
            return 2;
    }
}

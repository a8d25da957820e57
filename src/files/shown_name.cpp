// Names as they are printed, without the terminal obeying them.
#include "files/shown_name.hpp"

#include <cstdio>

std::string ShownName(const char* name)
{
    std::string shown;
    for (const char* p = name; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\%03o", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

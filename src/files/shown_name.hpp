// Names as they are printed: a file or device name given by the user can
// hold any byte, and the terminal must not obey the ones that are controls.
#pragma once

#include <string>

// `name` as it may be printed: every control character (below 0x20, and
// 0x7f) as a backslash and three octal digits, so that a name cannot move
// the cursor, retitle or clear the terminal. Other names are unchanged.
std::string ShownName(const char* name);

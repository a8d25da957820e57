// Reading the duration argument: seconds, a number with one unit, or a clock
// reading. Whatever follows a number is refused rather than ignored: "5m"
// read as 5 seconds loses a take that was meant to last five minutes. A
// number too small to be told from 0 is refused too: 0 means a take of open
// length, which was not asked for.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "cli/cli.hpp"

namespace {

// Moves past the digits at *at; false when there are none.
bool SkipDigits(const char** at)
{
    const char* p = *at;
    while (std::isdigit(static_cast<unsigned char>(*p)))
        ++p;
    const bool any = p != *at;
    *at = p;
    return any;
}

// Whether the digits of the number in [start, end) before its exponent
// are not all 0 while its value is: it underflowed.
bool Underflowed(const char* start, const char* end, double value)
{
    if (value != 0)
        return false;
    for (const char* p = start; p != end && *p != 'e' && *p != 'E'; ++p)
        if (*p >= '1' && *p <= '9')
            return true;
    return false;
}

// [[h:]m:]s: whole hours and minutes, seconds with an optional fraction;
// a field after the first is below 60.
bool ReadClock(const char* text, double* seconds)
{
    double total = 0;
    const char* p = text;
    for (int field = 1;; ++field) {
        const char* start = p;
        if (!SkipDigits(&p))
            return false;
        const bool last = *p != ':';
        if (last && *p == '.') {
            ++p;
            if (!SkipDigits(&p))
                return false;
        }
        if ((last && *p != '\0') || (!last && field == 3))
            return false;
        // Only digits and at most one point: strtod reads exactly them.
        const double value = std::strtod(start, nullptr);
        if ((field > 1 && value >= 60) || Underflowed(start, p, value))
            return false;
        if (last) {
            *seconds = total + value;
            return true;
        }
        total = (total + value) * 60;
        ++p;
    }
}

} // namespace

int ParseDuration(const char* text, double* seconds)
{
    // Leading white space is skipped, as strtod always did.
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    if (std::strchr(text, ':') != nullptr)
        return ReadClock(text, seconds) ? 0 : -1;
    // strtod reads hexadecimal too ("0x2d" is 45); no duration is written so.
    const char* digits = text + (*text == '+' || *text == '-');
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        return -1;
    char* end = nullptr;
    const double number = std::strtod(text, &end);
    if (end == text || Underflowed(text, end, number))
        return -1;
    double unit = 1;
    if (*end == 's' || *end == 'm' || *end == 'h') {
        unit = *end == 'h' ? 3600 : *end == 'm' ? 60 : 1;
        ++end;
    }
    if (*end != '\0')
        return -1;
    *seconds = number * unit;
    return 0;
}

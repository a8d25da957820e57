// Names of the files of a series. The number conversions (%v, %03v) are
// replaced first; what is left is handed to strftime whole, so that every
// conversion the C library knows works as users know it from other tools.
#include "files/series_name.hpp"

#include <cctype>
#include <climits>
#include <ctime>

namespace {

// The length of a number conversion at `at` ("%v", "%03v": '%', digits,
// 'v'), and its width in *digits; 0 when there is none at `at`.
size_t NumberConversion(const char* at, size_t* digits)
{
    if (at[0] != '%')
        return 0;
    size_t i = 1;
    size_t width = 0;
    while (std::isdigit(static_cast<unsigned char>(at[i]))) {
        // Wider than any name may be: stands for "too long" without
        // overflowing.
        if (width <= PATH_MAX)
            width = width * 10 + static_cast<size_t>(at[i] - '0');
        ++i;
    }
    if (at[i] != 'v')
        return 0;
    *digits = width;
    return i + 1;
}

} // namespace

std::string SeriesPattern(const char* given)
{
    for (const char* p = given; *p != '\0'; ++p) {
        if (*p != '%')
            continue;
        if (p[1] == '%') {
            ++p;
            continue;
        }
        if (p[1] != '\0')
            return given;
    }
    const std::string name = given;
    const size_t slash = name.rfind('/');
    const size_t component = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = name.rfind('.');
    const bool has_extension = dot != std::string::npos && dot > component;
    const size_t at = has_extension ? dot : name.size();
    return name.substr(0, at) + "-%v" + name.substr(at);
}

std::string MadeSeriesPattern(int channel, long seconds)
{
    return "rec_chan_" + std::to_string(channel) + "_" + std::to_string(seconds) + "-%v.wav";
}

bool SeriesFileName(const std::string& pattern, long number, int64_t first_frame_ns,
                    std::string* name)
{
    // The pattern for strftime: numbers written in, "%%" kept as a pair so
    // that "%%v" stays a percent sign and a 'v', a '%' that ends the
    // pattern made a percent sign.
    std::string format;
    const char* p = pattern.c_str();
    while (*p != '\0') {
        size_t digits = 0;
        const size_t length = NumberConversion(p, &digits);
        if (length > 0) {
            if (digits > PATH_MAX)
                return false;
            const std::string text = std::to_string(number);
            if (text.size() < digits)
                format.append(digits - text.size(), '0');
            format += text;
            p += length;
        } else if (p[0] == '%') {
            format += p[1] == '\0' ? "%%" : std::string(p, 2);
            p += p[1] == '\0' ? 1 : 2;
        } else {
            format += *p++;
        }
    }
    // Whole seconds, rounded down also before 1970.
    time_t seconds = static_cast<time_t>(first_frame_ns / 1000000000);
    if (first_frame_ns % 1000000000 < 0)
        --seconds;
    struct tm local;
    if (localtime_r(&seconds, &local) == nullptr)
        return false;
    // strftime gives 0 both for an empty result and for one that does not
    // fit: neither is a name.
    char out[PATH_MAX + 1];
    const size_t length = std::strftime(out, sizeof out, format.c_str(), &local);
    if (length == 0)
        return false;
    name->assign(out, length);
    return true;
}

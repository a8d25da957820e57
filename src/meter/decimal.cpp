// Fixed-point decimal text of a double, without the C library's arbitrary
// precision: the status line prints three such numbers every period.
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "meter/meter.hpp"

namespace {
constexpr uint64_t kPowersOfTen[] = {1, 10, 100, 1000};
constexpr int kMaxDecimals = 3;
// Below 2^50, |value| × 1000 as a 53-bit mantissa times 10^decimals stays
// within 64 bits.
constexpr double kExactBelow = 1e15;
} // namespace

int FormatDecimal(char* out, size_t room, double value, int decimals)
{
    if (!std::isfinite(value) || std::fabs(value) >= kExactBelow || decimals < 0 ||
        decimals > kMaxDecimals)
        return std::snprintf(out, room, "%.*f", decimals, value);
    // |value| = mantissa / 2^shift exactly, mantissa an integer below 2^53,
    // read from the bits of the double (IEEE 754 binary64).
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    if (biased != 0)
        mantissa |= uint64_t{1} << 52;
    const int shift = 1075 - (biased != 0 ? biased : 1); // at least 3: |value| < 2^50
    const uint64_t scaled = mantissa * kPowersOfTen[decimals];
    // Rounded to nearest, a tie to even, as printf does.
    uint64_t units = 0;
    if (shift < 64) {
        units = scaled >> shift;
        const uint64_t rest = scaled & ((uint64_t{1} << shift) - 1);
        const uint64_t half = uint64_t{1} << (shift - 1);
        if (rest > half || (rest == half && (units & 1) != 0))
            ++units;
    }
    char digits[24];
    char text[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + units % 10);
        units /= 10;
    } while (units != 0 || count <= decimals);
    int len = 0;
    if (std::signbit(value))
        text[len++] = '-';
    while (count > decimals)
        text[len++] = digits[--count];
    if (decimals > 0) {
        text[len++] = '.';
        while (count > 0)
            text[len++] = digits[--count];
    }
    // As snprintf: cut to the room, always terminated.
    if (room > 0) {
        const size_t kept = static_cast<size_t>(len) < room ? static_cast<size_t>(len) : room - 1;
        std::memcpy(out, text, kept);
        out[kept] = '\0';
    }
    return len;
}

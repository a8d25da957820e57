#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wav/wav.hpp"

namespace {

struct InterleaveCase {
    const char* name;
    int frames;
    int size;
    std::string left, right, expected;
};

TEST(Interleave, BuildsFramesLeftSampleFirst)
{
    const std::string untouched(12, '\xEE');
    const InterleaveCase cases[] = {
        {"two 16-bit frames", 2, 2, "\x01\x02\x03\x04", "\xA1\xA2\xA3\xA4",
         std::string("\x01\x02\xA1\xA2\x03\x04\xA3\xA4") + std::string(4, '\xEE')},
        {"one 24-bit frame", 1, 3, "\x01\x02\x03", "\xA1\xA2\xA3",
         std::string("\x01\x02\x03\xA1\xA2\xA3") + std::string(6, '\xEE')},
        {"three 24-bit frames", 3, 3, "\x01\x02\x03\x04\x05\x06\x07\x08\x09",
         "\xA1\xA2\xA3\xA4\xA5\xA6\xA7\xA8\xA9",
         "\x01\x02\x03\xA1\xA2\xA3\x04\x05\x06\xA4\xA5\xA6\x07\x08\x09\xA7\xA8\xA9"},
        {"no frames", 0, 2, "\x01\x02", "\xA1\xA2", untouched},
        {"negative frame count", -3, 2, "\x01\x02", "\xA1\xA2", untouched},
        {"unknown sample size", 1, 4, "\x01\x02\x03\x04", "\xA1\xA2\xA3\xA4", untouched},
    };
    for (const InterleaveCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out = c.frames == 3 ? std::string(18, '\xEE') + untouched : untouched;
        const std::string expected = c.frames == 3 ? c.expected + untouched : c.expected;
        Interleave(c.frames, c.size, c.left.data(), c.right.data(), out.data());
        EXPECT_EQ(out, expected);
    }
}

TEST(Interleave, KeepsEveryByteOfAWholePeriodInPlaceBothWays)
{
    // Whole vector steps and every tail after them.
    for (const int frames : {4096, 1, 5, 6, 7, 8, 9, 10, 11, 17, 4093})
        for (int size : {2, 3}) {
            SCOPED_TRACE(std::to_string(frames) + " frames of " + std::to_string(size) + " bytes");
            std::string left(frames * size, '\0'), right(frames * size, '\0');
            for (size_t i = 0; i < left.size(); ++i) {
                left[i] = static_cast<char>(i * 7);
                right[i] = static_cast<char>(i * 13 + 1);
            }
            std::string out(2 * left.size() + 8, '\xEE');
            Interleave(frames, size, left.data(), right.data(), out.data());
            ASSERT_EQ(out.substr(2 * left.size()), std::string(8, '\xEE'));
            for (int n = 0; n < frames; ++n) {
                ASSERT_EQ(out.substr(2 * n * size, size), left.substr(n * size, size)) << n;
                ASSERT_EQ(out.substr((2 * n + 1) * size, size), right.substr(n * size, size)) << n;
            }
            // And back: the planes again, channel 2 left out on request.
            std::string back_left(left.size(), '\0'), back_right(right.size(), '\0');
            Deinterleave(frames, size, out.data(), back_left.data(), back_right.data());
            ASSERT_EQ(back_left, left);
            ASSERT_EQ(back_right, right);
            Deinterleave(frames, size, out.data(), back_left.data(), nullptr);
            ASSERT_EQ(back_left, left);
        }
}

} // namespace

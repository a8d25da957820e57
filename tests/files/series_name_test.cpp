#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

#include "files/series_name.hpp"

namespace {

TEST(SeriesName, PatternGainsTheNumberOnlyWithoutAConversion)
{
    const struct {
        const char* given;
        std::string pattern;
    } cases[] = {
        {"take.wav", "take-%v.wav"},
        {"take", "take-%v"},
        {"dir.d/take", "dir.d/take-%v"},
        {"logs/.take", "logs/.take-%v"},
        {"100%%.wav", "100%%-%v.wav"},
        {"take-%v.wav", "take-%v.wav"},
        {"%Y/%m/%d/take-%H.wav", "%Y/%m/%d/take-%H.wav"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SeriesPattern(c.given), c.pattern) << c.given;
    EXPECT_EQ(MadeSeriesPattern(2, 1709618828), "rec_chan_2_1709618828-%v.wav");
}

TEST(SeriesName, NamesTakeTheLocalTimeOfTheFirstFrameAndTheNumber)
{
    // 2024-03-05 06:07:08.999999999 UTC: the name keeps the whole second.
    const int64_t first_frame_ns = 1709618828LL * 1000000000 + 999999999;
    const std::string longest(PATH_MAX - 1, 'a');
    const struct {
        const char* tz;
        std::string pattern;
        long number;
        bool named;
        std::string name;
    } cases[] = {
        {"UTC", "%Y%m%d-%H%M%S.wav", 1, true, "20240305-060708.wav"},
        {"EST5", "%Y%m%d-%H%M%S.wav", 1, true, "20240305-010708.wav"},
        {"UTC", "take-%03v.wav", 7, true, "take-007.wav"},
        {"UTC", "take-%03v.wav", 1234, true, "take-1234.wav"},
        {"UTC", "%%v-%v.wav", 3, true, "%v-3.wav"},
        {"UTC", "take-%v%", 2, true, "take-2%"},
        {"UTC", "%Y/%m/%d/take-%H.wav", 1, true, "2024/03/05/take-06.wav"},
        {"UTC", longest + "%v", 1, true, longest + "1"},
        {"UTC", longest + "%v", 10, false, ""},
        {"UTC", "%05000v", 1, false, ""},
        {"UTC", "", 1, false, ""},
    };
    for (const auto& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        std::string name;
        EXPECT_EQ(SeriesFileName(c.pattern, c.number, first_frame_ns, &name), c.named)
            << c.pattern.substr(0, 40);
        EXPECT_EQ(name, c.name);
    }
    // A first frame on the whole second is in that second.
    std::string name;
    ASSERT_TRUE(SeriesFileName("%S", 1, 1709618828LL * 1000000000, &name));
    EXPECT_EQ(name, "08");
}

} // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli.hpp"
#include "support.hpp"

namespace {

struct Assembled {
    int status;
    std::string out;
    RecordingRequest request;
};

Assembled Assemble(std::vector<std::string> args, double split_s = 0, int answer = 0)
{
    args.insert(args.begin(), "quillo");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Assembled a;
    a.out = CaptureStdout([&] {
        a.status = AssembleRequest(static_cast<int>(args.size()), argv.data(), &a.request, answer,
                                   split_s);
    });
    return a;
}

struct RequestCase {
    std::vector<std::string> args;
    std::string device;
    uint32_t rate, size;
    float duration;
    int32_t channels, auto_naming, interleave;
    std::string file_list;
    double split_s = 0; // --split, and what the request holds
};

TEST(Request, AssemblesTheNineFieldsOfEachExample)
{
    const RequestCase cases[] = {
        {{"1644", "60"}, "default", 44100, 2, 60, 1, 1, 0, ""},
        {{"1644", "60", "d"}, "default", 44100, 2, 60, 1, 1, 0, ""},
        {{"1644", "60", "plughw:0,0"}, "plughw:0,0", 44100, 2, 60, 1, 1, 0, ""},
        {{"1644", "60", "D"}, "D", 44100, 2, 60, 1, 1, 0, ""},
        {{"1644", "60", "dd"}, "dd", 44100, 2, 60, 1, 1, 0, ""},
        {{"2496", "10", "hw:1", "2"}, "hw:1", 96000, 3, 10, 2, 1, 0, ""},
        {{"1644", "60", "d", "s"}, "default", 44100, 2, 60, 1, 1, 1, ""},
        {{"1644", "60", "d", "s", "one.wav", "two.wav"},
         "default",
         44100,
         2,
         60,
         1,
         0,
         1,
         "one.wav\n"},
        {{"1644", "60", "d", "1", "one.wav", "two.wav"},
         "default",
         44100,
         2,
         60,
         1,
         0,
         0,
         "one.wav\n"},
        {{"1648", "2.5", "d", "2abc", "l.wav", "r.wav"},
         "default",
         48000,
         2,
         2.5f,
         2,
         0,
         0,
         "l.wav\nr.wav\n"},
        {{"2444", "60s"}, "default", 44100, 3, 60, 1, 1, 0, ""},
        {{"1644", "5m"}, "default", 44100, 2, 300, 1, 1, 0, ""},
        {{"1644", "90s"}, "default", 44100, 2, 90, 1, 1, 0, ""},
        {{"1644", "1.5h"}, "default", 44100, 2, 5400, 1, 1, 0, ""},
        {{"1644", "1:30"}, "default", 44100, 2, 90, 1, 1, 0, ""},
        {{"1644", "1:00:00"}, "default", 44100, 2, 3600, 1, 1, 0, ""},
        {{"1644", "1:59.5"}, "default", 44100, 2, 119.5f, 1, 1, 0, ""},
        {{"1644", " 2:03:04.5"}, "default", 44100, 2, 7384.5f, 1, 1, 0, ""},
        {{"1644", "1", "d", "1", "-"}, "default", 44100, 2, 1, 1, 0, 0, "/dev/stdout\n"},
        {{"2448", " 0.5"}, "default", 48000, 3, 0.5f, 1, 1, 0, ""},
        {{"1688", "1", "d", " +2", "a", "b", "ignored"}, "default", 88200, 2, 1, 2, 0, 0, "a\nb\n"},
        {{"1696", "1"}, "default", 96000, 2, 1, 1, 1, 0, ""},
        // Until stopped.
        {{"1644", "0"}, "default", 44100, 2, 0, 1, 1, 0, ""},
        {{"1644", "0:00"}, "default", 44100, 2, 0, 1, 1, 0, ""},
        {{"1644", "0.0"}, "default", 44100, 2, 0, 1, 1, 0, ""},
        {{"1644", "0s"}, "default", 44100, 2, 0, 1, 1, 0, ""},
        {{"2488", "1"}, "default", 88200, 3, 1, 1, 1, 0, ""},
        // Series: names are patterns, kept as given.
        {{"1644", "0", "d", "1", "%v"}, "default", 44100, 2, 0, 1, 0, 0, "%v\n", 3600},
        {{"1644", "60"}, "default", 44100, 2, 60, 1, 1, 0, "", 0.1},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Assembled a = Assemble(c.args, c.split_s);
        ASSERT_EQ(a.status, -1);
        EXPECT_EQ(a.request.split_s, c.split_s);
        EXPECT_EQ(a.out, "");
        const RecordingRequest& r = a.request;
        EXPECT_EQ(std::string(r.device.data()), c.device);
        EXPECT_EQ(r.rate_hz, c.rate);
        EXPECT_EQ(r.sample_bytes, c.size);
        EXPECT_EQ(r.duration_s, c.duration);
        EXPECT_EQ(r.channels, c.channels);
        EXPECT_EQ(r.auto_naming, c.auto_naming);
        EXPECT_EQ(r.interleave, c.interleave);
        EXPECT_EQ(std::string(r.file_list.data()), c.file_list);
        EXPECT_EQ(r.scratch[0], '\0');
        // Room for the names RECORD may make, and a scratch copy of the list.
        EXPECT_GE(r.file_list.size(), 4096u);
        EXPECT_GE(r.scratch.size(), r.file_list.size());
        EXPECT_GE(r.device.size(), 64u);
    }
}

struct RefusalCase {
    std::vector<std::string> args;
    std::string out;
    double split_s = 0;
};

TEST(Request, RefusesBadArgumentsWithOneLineAndStatusOne)
{
    const std::string format = "Improper format request\n";
    const std::string duration = "Improper duration request\n";
    const std::string channel = "Improper channel number request\n";
    const std::string name = "Improper file name request\n";
    const std::string same = "Can't record both channels into the same file ";
    const RefusalCase cases[] = {
        {{"16", "60"}, format},
        {{"44100", "60"}, format},
        {{"1644x", "60"}, format},
        {{"01644", "60"}, format},
        {{" 1644", "60"}, format},
        {{"1644x", "abc"}, format},
        {{"1644", "-5"}, duration},
        {{"1644", "abc"}, duration},
        {{"1644", "1e-50"}, duration},
        // Not 0, but too small to tell from it; hexadecimal; negative zero.
        {{"1644", "1e-400"}, duration},
        {{"1644", "0:0." + std::string(400, '0') + "1"}, duration},
        {{"1644", "0x1p-2000"}, duration},
        {{"1644", "0x10"}, duration},
        {{"1644", "0X2d"}, duration},
        {{"1644", "+0x2d"}, duration},
        {{"1644", "-0"}, duration},
        {{"1644", "-0h"}, duration},
        {{"1644", "-0m"}, duration},
        {{"1644", "-0.0"}, duration},
        {{"1644", "nan"}, duration},
        {{"1644", "inf"}, duration},
        {{"1644", "-inf"}, duration},
        {{"1644", "1e39"}, duration},
        {{"1644", "5mm"}, duration},
        {{"1644", "1,5"}, duration},
        {{"1644", "5 m"}, duration},
        {{"1644", "m5"}, duration},
        {{"1644", "60 "}, duration},
        {{"1644", "1:60"}, duration},
        {{"1644", "1:2:3:4"}, duration},
        {{"1644", "1::3"}, duration},
        {{"1644", "1:30."}, duration},
        {{"1644", "-1:30"}, duration},
        {{"1644", "60", "d", "3"}, channel},
        {{"1644", "60", "d", "0"}, channel},
        {{"1644", "60", "d", "x"}, channel},
        {{"1644", "60", "d", "S"}, channel},
        {{"1644", "60", "d", "s "}, channel},
        {{"1644", "60", "d", "99999999999999999999"}, channel},
        {{"1644", "60", "d", "1", ""}, name},
        {{"1644", "60", "d", "1", "a\nb.wav"}, name},
        {{"1644", "60", "d", "2", "a.wav", ""}, name},
        {{"1644", "60", "d", "2", "", "b.wav"}, name},
        {{"1644", "60", "d", "2", "absent-quillo-test.wav"},
         "2 channels were requested, but on1y 1 filename was entered!\n"},
        {{"2496", "1e30"}, "Improper duration request: too many frames to count\n"},
        {{"1644", "1.05e14"}, "Improper duration request: too many frames to count\n"},
        // Two patterns that make the same names; a file too long to count.
        {{"1644", "60", "d", "2", "a", "a-%v"}, same + "a-%v\n", 60},
        {{"1644", "60", "d", "2", "a", "./a"}, same + "./a\n", 60},
        {{"1644", "60", "d", "2", "", "b"}, name, 60},
        {{"2496", "60"}, "Improper split request\n", 1e14},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Assembled a = Assemble(c.args, c.split_s);
        EXPECT_EQ(a.status, 1);
        EXPECT_EQ(a.out, c.out);
    }
}

TEST(Request, ASeriesAsksNoQuestionAboutAnExistingName)
{
    const std::string dir = MakeTempDir();
    WriteFile(dir + "/take.wav", "old take");
    for (const int answer : {int{'x'}, int{'o'}, 0}) {
        ::testing::internal::CaptureStderr();
        const Assembled a =
            Assemble({"1644", "60", "d", "1", dir + "/take.wav", "extra.wav"}, 60, answer);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "quillo: ignoring extra name extra.wav\n");
        EXPECT_EQ(a.status, -1);
        EXPECT_EQ(a.out, "");
        EXPECT_EQ(a.request.may_replace[0], MayReplace::kNothing);
        EXPECT_FALSE(a.request.pinned[0].pinned);
    }
    RemoveTree(dir);
}

TEST(Request, DurationsPastAWavHeaderAreAccepted)
{
    for (const auto& args : std::vector<std::vector<std::string>>{{"1644", "48696"},
                                                                  {"1644", "48800"},
                                                                  {"2496", "7457", "d", "s"},
                                                                  {"2496", "1e9", "d", "2"},
                                                                  {"1644", "1.04e14"}}) {
        EXPECT_EQ(Assemble(args).status, -1) << ::testing::PrintToString(args);
    }
}

TEST(Request, ArgumentsOfAnyLengthFitTheirBuffers)
{
    const std::string device(5000, 'v');
    const std::string name1 = "/tmp/" + std::string(3000, 'a');
    const std::string name2 = "/tmp/" + std::string(3000, 'b');
    const Assembled a = Assemble({"1644", "1", device, "2", name1, name2});
    ASSERT_EQ(a.status, -1);
    EXPECT_EQ(std::string(a.request.device.data()), device);
    EXPECT_EQ(std::string(a.request.file_list.data()), name1 + "\n" + name2 + "\n");
    EXPECT_GE(a.request.scratch.size(), a.request.file_list.size());
}

TEST(Request, TooFewArgumentsPrintTheUsageText)
{
    const std::string usage = CaptureStdout([] { Help(); });
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"1644"}, {"bogus"}}) {
        const Assembled a = Assemble(args);
        EXPECT_EQ(a.status, 1);
        EXPECT_EQ(a.out, usage);
    }
}

} // namespace

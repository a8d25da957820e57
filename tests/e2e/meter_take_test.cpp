// The live meter and the peak report of whole takes, against golden status
// lines worked out by hand from the device's known signal and the meter's
// rules (one period behind, the fall, the hold window, the clip warnings).
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "e2e.hpp"

namespace {

std::string List(const std::vector<int32_t>& values)
{
    std::string s = "[";
    for (int32_t v : values) {
        s += ' ';
        s += std::to_string(v);
    }
    return s + " ]";
}

struct TakeCase {
    std::string format;
    uint32_t rate, size;
    std::string mode;
    int periods;
    std::vector<int32_t> left, right;
};

// A golden piece of standard output (split at "\r" and "\n"): `times` status
// lines in a row, whose meter (after "\t -45 dB ") is `text`; or, with
// `times` 0, any other piece, as it is.
struct Golden {
    int times;
    std::string text;
};

// Standard output without the status lines: every piece from a "\r" up to the
// next "\r" or "\n".
std::string WithoutStatusLines(const std::string& out)
{
    std::string kept;
    bool status = false;
    for (char ch : out) {
        if (ch == '\r' || ch == '\n')
            status = ch == '\r';
        if (!status)
            kept += ch;
    }
    return kept;
}

class MeterTake : public EndToEnd {
  protected:
    RunResult Take(const TakeCase& c, const std::string& option = "", int columns = 0)
    {
        Devices("pcm.sig { type quillosim signal \"peaks\" left " + List(c.left) + " right " +
                List(c.right) + access + " }\n");
        char seconds[32];
        // Just over periods - 1 whole periods, so the take plans `periods`.
        std::snprintf(seconds, sizeof seconds, "%.6f",
                      (4096.0 * (c.periods - 1) + 1) / static_cast<double>(c.rate));
        std::vector<std::string> args = {c.format, seconds, "sig", c.mode, "take.wav", "take2.wav"};
        if (!option.empty())
            args.insert(args.begin(), option);
        RunOptions o = Options(args);
        o.terminal_columns = columns;
        return RunQuillo(o);
    }
    void Check(const TakeCase& c, const std::vector<Golden>& golden)
    {
        std::vector<std::string> expected;
        int line = 0;
        for (const Golden& g : golden) {
            if (g.times == 0)
                expected.push_back(g.text);
            for (int i = 0; i < g.times; ++i, ++line) {
                char rem[32];
                std::snprintf(rem, sizeof rem, "rem = %.2f sec",
                              4096.0 * (c.periods - line - 1) / c.rate);
                expected.push_back(rem + std::string("\t -45 dB ") + g.text + " dB   ");
            }
        }
        const RunResult r = Take(c);
        ASSERT_EQ(r.exit_code, 0);
        const std::vector<std::string> actual = SplitStatus(r.out);
        for (size_t i = 0; i < actual.size() && i < expected.size(); ++i)
            ASSERT_EQ(actual[i], expected[i]) << "piece " << i;
        EXPECT_EQ(actual.size(), expected.size());
    }
    std::string access; // the device's, if not both
};

// Period 0 loud, 7 and 12 clipping, the rest steady (whose level, a double,
// is above the same level kept as a float: a rise every period, not a fall).
// The hold window at 44.1 kHz is 32: the held peaks give way at line 33.
TEST_F(MeterTake, TwoChannelTakeOf40PeriodsWithHoldWindowAndClip)
{
    TakeCase c{"1644", 44100, 2, "2", 40, {}, {}};
    for (int k = 0; k < 40; ++k) {
        c.left.push_back(k == 0 ? 16384 : k == 7 ? -32768 : 1000);
        c.right.push_back(k == 0 ? -8192 : k == 12 ? 32767 : 500);
    }
    Check(c, {{0, "Recording"},
              {1, "[                        ] -144.0 / -144.0"},
              {1, "[||||||||||||||||||||    ] -144.0 / -144.0"},
              {1, "[||||||||||||||          ] -6.0 / -12.0"},
              {5, "[|||||||                 ] -6.0 / -12.0"},
              {0, "Input Channel 1 is Peaking!"},
              {1, "[|||||||||||||||||||||   ] -6.0 / -12.0"},
              {1, "[|||||||||||||||         ] -0.0 / -12.0"},
              {3, "[|||||||                 ] -0.0 / -12.0"},
              {0, "Input Channel 2 is Peaking!"},
              {1, "[|||||||||||||||||||||   ] -0.0 / -12.0"},
              {1, "[|||||||||||||||         ] -0.0 / -0.0"},
              {18, "[|||||||                 ] -0.0 / -0.0"},
              {7, "[|||||||                 ] -30.3 / -36.3"},
              {0, "Input Channel Peaks:"},
              {0, "\tchannel 1: -0.00 dBFS"},
              {0, "\tchannel 2: -0.00 dBFS"},
              {0, "Done"}});
}

TEST_F(MeterTake, QuietTakesLeaveOutOnlyTheStatusLines)
{
    TakeCase c{"1644", 44100, 2, "2", 40, {}, {}};
    for (int k = 0; k < 40; ++k) {
        c.left.push_back(k == 5 ? 32767 : 300 * k);
        c.right.push_back(k == 9 ? -32768 : -200 * k);
    }
    for (const std::string mode : {"2", "s"}) {
        c.mode = mode;
        const RunResult loud = Take(c);
        ASSERT_EQ(loud.exit_code, 0);
        const std::string files[2] = {Read("take.wav"), Read("take2.wav")};
        for (const std::string option : {"-q", "--quiet"}) {
            unlink(Path("take.wav").c_str());
            unlink(Path("take2.wav").c_str());
            const RunResult quiet = Take(c, option);
            ASSERT_EQ(quiet.exit_code, 0);
            EXPECT_EQ(quiet.err, loud.err);
            EXPECT_EQ(quiet.out, WithoutStatusLines(loud.out)) << option << " " << mode;
            EXPECT_EQ(quiet.out.find("rem = "), std::string::npos);
            EXPECT_NE(quiet.out.find("\nInput Channel 1 is Peaking!\n"), std::string::npos);
            EXPECT_TRUE(quiet.out.ends_with("Done\n"));
            EXPECT_TRUE(SameBytes(Read("take.wav"), files[0]));
            EXPECT_TRUE(SameBytes(Read("take2.wav"), files[1]));
        }
        EXPECT_EQ(std::count(loud.out.begin(), loud.out.end(), '\r'), 40);
        unlink(Path("take.wav").c_str());
        unlink(Path("take2.wav").c_str());
    }
}

// 24-bit: full scale 8388608; channel 2 (loud) is neither metered nor shown.
TEST_F(MeterTake, OneMonoFileMetersChannelOneOnly)
{
    // Read as planes, and as frames from a device that offers only them.
    for (const char* frames_only : {"", " access \"RW_INTERLEAVED\""}) {
        access = frames_only;
        unlink(Path("take.wav").c_str());
        Check({"2444", 44100, 3, "1", 6, {4194304, 0, -8388608, 1, 8388607, 65536}, {8388607}},
              {{0, "Recording"},
               {1, "[                        ] -144.0"},
               {1, "[|||||||||||||||||||||   ] -144.0"},
               {1, "[|||||||||||||||         ] -6.0"},
               {0, "Input Channel 1 is Peaking!"},
               {1, "[||||||||||||||||||||||||] -6.0"},
               {1, "[||||||||||||||||||      ] -0.0"},
               {0, "Input Channel 1 is Peaking!"},
               {1, "[||||||||||||||||||||||||] -0.0"},
               {0, "Input Channel Peaks:"},
               {0, "\tchannel 1: -0.00 dBFS"},
               {0, "Done"}});
    }
}

// The hold window at 96 kHz is 70: the held peaks give way at line 71.
TEST_F(MeterTake, StereoFileMetersAndReportsBothChannels)
{
    TakeCase c{"1696", 96000, 2, "s", 80, {}, {}};
    for (int k = 0; k < 80; ++k) {
        c.left.push_back(k == 0 ? 8192 : 2000);
        c.right.push_back(k == 0 ? 16384 : k == 3 ? -32768 : 1000);
    }
    Check(c, {{0, "Recording in Stereo"},
              {1, "[                        ] -144.0 / -144.0"},
              {1, "[||||||||||||||||||||    ] -144.0 / -144.0"},
              {1, "[||||||||||||||          ] -12.0 / -6.0"},
              {1, "[||||||||||              ] -12.0 / -6.0"},
              {0, "Input Channel 2 is Peaking!"},
              {1, "[||||||||||||||||||||||  ] -12.0 / -6.0"},
              {1, "[||||||||||||||||        ] -12.0 / -0.0"},
              {65, "[||||||||||              ] -12.0 / -0.0"},
              {9, "[||||||||||              ] -24.3 / -30.3"},
              {0, "Input Channel Peaks:"},
              {0, "\tchannel 1: -12.04 dBFS"},
              {0, "\tchannel 2: -0.00 dBFS"},
              {0, "Done"}});
}

TEST_F(MeterTake, ReportCoversEveryPeriodWritten)
{
    const std::string report = "\n\nInput Channel Peaks:\n";
    const std::string clip1 = "\nInput Channel 1 is Peaking!\n";
    const std::string clip2 = "\nInput Channel 2 is Peaking!\n";
    const struct {
        TakeCase take;
        std::string tail; // what ends standard output, before "Done"
    } cases[] = {
        {{"1644", 44100, 2, "2", 3, {16384, 16384, 0}, {-32768, 7, 0}},
         report + "\tchannel 1: -6.02 dBFS\n\tchannel 2: -0.00 dBFS\n"},
        // The loudest period is the last: its clip warning comes first.
        {{"1644", 44100, 2, "2", 3, {100, 200, 16384}, {7, 8, -32768}},
         clip2 + report + "\tchannel 1: -6.02 dBFS\n\tchannel 2: -0.00 dBFS\n"},
        // A one-period take: the only period is the last.
        {{"2496", 96000, 3, "1", 1, {-8388608}, {8388607}},
         clip1 + report + "\tchannel 1: -0.00 dBFS\n"},
        {{"2496", 96000, 3, "2", 1, {-8388608}, {8388607}},
         clip1 + clip2 + report + "\tchannel 1: -0.00 dBFS\n\tchannel 2: -0.00 dBFS\n"},
        {{"2496", 96000, 3, "s", 1, {4194304}, {-1}},
         report + "\tchannel 1: -6.02 dBFS\n\tchannel 2: -138.47 dBFS\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = Take(c.take);
        ASSERT_EQ(r.exit_code, 0);
        EXPECT_TRUE(r.out.ends_with(c.tail + "Done\n")) << r.out;
        unlink(Path("take.wav").c_str());
        unlink(Path("take2.wav").c_str());
    }
}

// Columns as a terminal counts them: a tab to the next multiple of 8.
int Columns(const std::string& piece)
{
    int column = 0;
    for (char ch : piece)
        column = ch == '\t' ? (column / 8 + 1) * 8 : column + 1;
    return column;
}

TEST_F(MeterTake, StatusLineFitsTheTerminal)
{
    // Two channels: the widest line (held peaks -144.0) takes 72 columns.
    const TakeCase c{"1644", 44100, 2, "2", 12, {16384, 32767, 100}, {-8192, 5, 0}};
    const RunResult piped = Take(c);
    const std::vector<std::string> lines = SplitStatus(piped.out);
    for (const int columns : {120, 72, 71, 60, 20}) {
        const RunResult r = Take(c, "-y", columns);
        ASSERT_EQ(r.exit_code, 0);
        if (columns >= 72) {
            EXPECT_TRUE(r.out == piped.out) << columns << ": byte for byte as in a pipe";
            continue;
        }
        const std::vector<std::string> fitted = SplitStatus(r.out);
        ASSERT_EQ(fitted.size(), lines.size()) << r.out;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (!lines[i].starts_with("rem = ")) {
                EXPECT_EQ(fitted[i], lines[i]);
            } else if (Columns(lines[i]) <= columns) {
                EXPECT_EQ(fitted[i], lines[i]) << "a line that fits stays as it is";
            } else {
                EXPECT_EQ(Columns(fitted[i]), columns) << fitted[i];
                EXPECT_EQ(fitted[i].substr(0, 14), lines[i].substr(0, 14));
            }
        }
    }

    // A paced take of about a second, its terminal narrowed after the first line.
    Devices("pcm.paced { type quillosim paced true }\n");
    RunOptions o = Options({"-y", "1644", "1", "paced", "2", "take.wav", "take2.wav"});
    o.terminal_columns = 120;
    o.signal = SIGWINCH;
    o.signal_after_text = "rem = ";
    o.columns_at_signal = 60;
    const RunResult r = RunQuillo(o);
    ASSERT_EQ(r.exit_code, 0);
    const std::vector<std::string> resized = SplitStatus(r.out);
    ASSERT_GE(resized.size(), 5u);
    EXPECT_EQ(Columns(resized[1]), 72) << resized[1];
    EXPECT_EQ(Columns(resized[resized.size() - 5]), 60) << r.out;

    // A series shows the file that each line's last frame went to: two
    // periods (8192 frames) a file.
    std::vector<std::string> named;
    for (const std::string& piece : SplitStatus(Take(c, "--split=0.18576", 120).out))
        if (piece.starts_with("rec = "))
            named.push_back(piece);
    ASSERT_EQ(named.size(), 12u);
    for (size_t i = 0; i < 12; ++i)
        EXPECT_TRUE(named[i].ends_with("  take-" + std::to_string(i / 2 + 1) + ".wav")) << named[i];
}

} // namespace

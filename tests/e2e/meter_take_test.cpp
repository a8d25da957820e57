// The live meter and the peak report of whole takes, checked against a model
// of what the user must see, computed here from the device's known signal.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "e2e.hpp"

namespace {

// What the terminal must show, from the signal alone.
struct MeterModel {
    double current = -144.0;
    float last = -144.0f;
    float held_db[2] = {-144.0f, -144.0f};
};

double Db(double full_scale, int32_t magnitude)
{
    return -20.0 * std::log10(full_scale / magnitude);
}

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

// The expected pieces of standard output split at "\r" and "\n".
std::vector<std::string> ExpectedPieces(const TakeCase& c)
{
    const double full_scale = c.size == 3 ? 8388608.0 : 32768.0;
    const int32_t clip = c.size == 3 ? 8388606 : 32766;
    const bool both = c.mode != "1";
    const int64_t planned = int64_t{c.periods} * 4096;
    const uint32_t window = (3 * c.rate) >> 12;
    auto value = [&](int ch, int k) {
        const std::vector<int32_t>& list = ch == 0 ? c.left : c.right;
        return std::abs(list[static_cast<size_t>(k) % list.size()]);
    };

    std::vector<std::string> pieces = {c.mode == "s" ? "Recording in Stereo" : "Recording"};
    MeterModel m;
    int32_t held[2] = {0, 0}, take_peak[2] = {0, 0};
    int since_hold = 0;
    for (int i = 0; i < c.periods; ++i) {
        // Iteration i scans device period i - 1: the first scans silence.
        int32_t peak[2] = {0, 0};
        for (int ch = 0; ch < (both ? 2 : 1); ++ch) {
            peak[ch] = i == 0 ? 0 : value(ch, i - 1);
            take_peak[ch] = std::max(take_peak[ch], peak[ch]);
            if (peak[ch] > clip)
                pieces.push_back("Input Channel " + std::to_string(ch + 1) + " is Peaking!");
        }
        const int32_t amplitude =
            both ? static_cast<int32_t>(0.5 * peak[0] + 0.5 * peak[1]) : peak[0];
        const double level = Db(full_scale, amplitude);
        m.current = level > m.last ? level : m.current - 11.25;
        m.last = static_cast<float>(level);
        int lit = 0;
        if (m.current >= -45.0) {
            const float e = std::min(24.0f, static_cast<float>((m.current + 45.0) / 1.875f));
            lit = e > 0 ? static_cast<int>(std::ceil(e)) : 0;
        }
        for (int ch = 0; ch < 2; ++ch)
            if (held[ch] != 0)
                m.held_db[ch] = static_cast<float>(Db(full_scale, held[ch]));
        char line[256];
        std::snprintf(line, sizeof line, "rem = %.2f sec\t -45 dB [%s%s] %.1f",
                      static_cast<double>(planned - int64_t{i + 1} * 4096) / c.rate,
                      std::string(lit, '|').c_str(), std::string(24 - lit, ' ').c_str(),
                      static_cast<double>(m.held_db[0]));
        std::string status = line;
        if (both) {
            std::snprintf(line, sizeof line, " / %.1f", static_cast<double>(m.held_db[1]));
            status += line;
        }
        pieces.push_back(status + " dB   ");
        // The hold: largest peak for 33 periods, then the current one.
        ++since_hold;
        for (int ch = 0; ch < (both ? 2 : 1); ++ch)
            held[ch] = std::max(held[ch], peak[ch]);
        if (since_hold > static_cast<int>(window)) {
            for (int ch = 0; ch < (both ? 2 : 1); ++ch)
                held[ch] = peak[ch];
            since_hold = 0;
        }
    }
    // After the loop the period written last is scanned for the report.
    for (int ch = 0; ch < (both ? 2 : 1); ++ch) {
        take_peak[ch] = std::max(take_peak[ch], value(ch, c.periods - 1));
        if (value(ch, c.periods - 1) > clip)
            pieces.push_back("Input Channel " + std::to_string(ch + 1) + " is Peaking!");
    }
    pieces.push_back("Input Channel Peaks:");
    for (int ch = 0; ch < (both ? 2 : 1); ++ch) {
        char line[64];
        std::snprintf(line, sizeof line, "\tchannel %d: %.2f dBFS", ch + 1,
                      static_cast<double>(static_cast<float>(Db(full_scale, take_peak[ch]))));
        pieces.push_back(line);
    }
    pieces.push_back("Done");
    return pieces;
}

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
                List(c.right) + " }\n");
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
    void Check(const TakeCase& c)
    {
        const RunResult r = Take(c);
        ASSERT_EQ(r.exit_code, 0);
        const std::vector<std::string> expected = ExpectedPieces(c);
        const std::vector<std::string> actual = SplitStatus(r.out);
        ASSERT_EQ(actual.size(), expected.size()) << r.out;
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(actual[i], expected[i]) << "piece " << i;
    }
};

TEST_F(MeterTake, TwoChannelTakeOf40PeriodsWithHoldWindowAndClip)
{
    TakeCase c{"1644", 44100, 2, "2", 40, {}, {}};
    for (int k = 0; k < 40; ++k) {
        c.left.push_back(k == 0 ? 30000 : k == 7 ? -32768 : 100 + 37 * k);
        c.right.push_back(k == 0 ? -20000 : k == 12 ? 32767 : 50 + 11 * k);
    }
    Check(c);
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

TEST_F(MeterTake, OneMonoFileMetersChannelOneOnly)
{
    Check({"2444",
           44100,
           3,
           "1",
           12,
           {4194304, 0, -8388608, 1, 8388607, 65536},
           {8388607, -8388608}});
}

TEST_F(MeterTake, StereoFileMetersAndReportsBothChannels)
{
    Check({"1696", 96000, 2, "s", 80, {16384, -16384, 8192, 0}, {32767, 1, -32768, 5}});
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
        Check(c.take);
        const RunResult r = Take(c.take, "-y");
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
}

} // namespace

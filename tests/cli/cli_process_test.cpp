// The command line as a user meets it: the real binary, its exit status,
// standard input and standard output.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>
#include <utility>

#include "support.hpp"

namespace {

const char kUsage[] =
    "\nQuillo 2.02 (2f) by Tolvane\n\nThis is a 1 or 2 channel recording program.\n"
    "You must add at least two command line arguments:\n\t1.  The recording format\n"
    "\t2.  The recording duration in seconds.\n\nThe possible formats are as follows:\n"
    "Format\tBits\tSample rate\n1644\t16\t44100\n1648\t16\t48000\n2444\t24\t44100\n"
    "2448\t24\t48000\n1688\t16\t88200\n1696\t16\t96000\n2488\t24\t88200\n2496\t24\t96000\n\n"
    "Example:  quillo 1644 60\nThis will record for 60 seconds at 16 bits and 44,100 Hz\n\n"
    "If no file name is specified, the program will create one.\n\n"
    "The complete list of arguments is as follows:\n\n"
    "<format>  <duration>  <device>  <channels>  <filename 1>  <filename 2>\n\n"
    "You may enter just d for the default system recording device.\n"
    "plughw:0,0 is often used for the device name.\n\n"
    "To create an interleaved stereo file, use s instead of 1 or 2 for\n"
    "the number of channels.  Only one filename is needed or created.\n";

// What --help prints below the usage text.
const std::string kHelp =
    std::string(kUsage) +
    "\nOptions, given before the format:\n"
    "  -q, --quiet          print no status line during the take\n"
    "  -y, --overwrite      overwrite existing files without asking\n"
    "  -n, --no-overwrite   never overwrite: exit if a named file exists\n"
    "      --split DURATION record on across files of that length (0.1 s or more)\n"
    "  -L, --list-devices   list the capture devices\n"
    "  -V, --version        print the version\n"
    "  -h, --help           print this text\n\n"
    "The duration is in decimal seconds (90, 2.5), or has one unit (90s, 5m,\n"
    "1.5h), or is [[h:]m:]s (1:30, 1:00:00). A duration of 0 records until the\n"
    "take is stopped (Ctrl-C, a signal, a full disk); the header is kept right\n"
    "as the take grows, so a power cut leaves a valid file. Into a pipe, its\n"
    "header states the longest length, which readers take as \"until the end\".\n"
    "A file name of - is standard output, which may be neither a terminal nor\n"
    "where standard error goes. Devices (/dev/null), FIFOs, pipes and\n"
    "standard output are written without asking.\n\n"
    "With --split, the take goes on across files of that length, without a gap.\n"
    "The names are patterns: strftime conversions (%Y%m%d-%H%M%S, %Y/%m/%d/...)\n"
    "take the local time of each file's first frame, %v is the file's number and\n"
    "%03v pads it to 3 digits; a name with neither gets -%v before its extension.\n"
    "Missing folders are made. The file being written is NAME.part until it is\n"
    "complete. No file is ever overwritten: -y and -n do not apply.\n";

const std::string kAsk = "Enter 'x' to exit or 'o' to overwrite\n";

std::string Prompt(const std::string& name)
{
    return "\nFile " + name + " already exists!\n" + kAsk;
}

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override { dir = MakeTempDir(); }
    void TearDown() override { RemoveTree(dir); }
    RunResult Run(std::vector<std::string> args, const std::string& input = "")
    {
        RunOptions o;
        o.args = std::move(args);
        o.stdin_text = input;
        o.cwd = dir;
        return RunQuillo(o);
    }
    std::string dir;
};

TEST_F(CommandLine, UsageTextIsPrintedByteForByteWithStatusOne)
{
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"1644"}}) {
        const RunResult r = Run(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, kUsage);
        EXPECT_EQ(Unwaited(r.err), "");
    }
    EXPECT_EQ(SplitLines(kUsage).size(), 33u);
}

TEST_F(CommandLine, RefusalsPrintOneLineAndTouchNothing)
{
    const struct {
        std::vector<std::string> args;
        std::string out;
        std::string err = "";
    } cases[] = {
        {{"1644x", "60"}, "Improper format request\n"},
        {{"1644", "abc"}, "Improper duration request\n"},
        {{"1644", "60", "d", "3"}, "Improper channel number request\n"},
        {{"1644", "60", "d", "1", ""}, "Improper file name request\n"},
        {{"1644", "60", "d", "2", "one.wav"},
         "2 channels were requested, but on1y 1 filename was entered!\n"},
        // Standard output is a pipe: the text goes to standard error.
        {{"--split", "1h", "1644", "60", "d", "1", "-"},
         "",
         "Can't record standard output: a take across files (--split) needs file names\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = Run(c.args);
        EXPECT_EQ(r.exit_code, 1) << c.out;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(Unwaited(r.err), c.err);
    }
    EXPECT_TRUE(ListDir(dir).empty());
}

TEST_F(CommandLine, LeadingOptionsBeforeTheFormatCode)
{
    const std::string version = "quillo 2.02\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{"-h"}, 0, kHelp},
        {{"--help", "1644", "60"}, 0, kHelp},
        {{"-q", "-h"}, 0, kHelp},
        {{"-V"}, 0, version},
        {{"--version", "--bogus"}, 0, version},
        {{"-qV"}, 0, version},
        {{"--vers"}, 0, version},
        {{"--bogus"}, 1, "Unknown option '--bogus'; see quillo --help\n"},
        {{"-", "1644", "60"}, 1, "Unknown option '-'; see quillo --help\n"},
        {{"-"}, 1, "Unknown option '-'; see quillo --help\n"},
        {{"-qZ", "1644", "60"}, 1, "Unknown option '-Z'; see quillo --help\n"},
        {{"--help=1"}, 1, "Unknown option '--help=1'; see quillo --help\n"},
        {{"-y", "--", "1644"}, 1, kUsage},
        // After the options, the arguments are read as they always are.
        {{"-q"}, 1, kUsage},
        {{"--quiet", "1644"}, 1, kUsage},
        {{"-q", "--quiet", "1644x", "60"}, 1, "Improper format request\n"},
        {{"-q", "1644", "60", "d", "3"}, 1, "Improper channel number request\n"},
        // Only the first arguments can be options.
        {{"1644", "-60"}, 1, "Improper duration request\n"},
        {{"1644", "60", "d", "-q"}, 1, "Improper channel number request\n"},
        {{"1644", "--help"}, 1, "Improper duration request\n"},
        // At least a tenth of a second, in the forms of a duration.
        {{"--split"}, 1, "Improper split request\n"},
        {{"--spl", "0:00.09", "1644", "60"}, 1, "Improper split request\n"},
        {{"--split=0x10", "1644", "60"}, 1, "Improper split request\n"},
        {{"--split", "-0", "1644", "60"}, 1, "Improper split request\n"},
        {{"--split", "0.1", "-q", "1644", "60", "d", "3"}, 1, "Improper channel number request\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = Run(c.args);
        EXPECT_EQ(r.exit_code, c.status) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(Unwaited(r.err), "");
    }
    EXPECT_TRUE(ListDir(dir).empty());
}

TEST_F(CommandLine, QuietTakeThroughTheNullDevice)
{
    const RunResult r = Run({"-q", "1644", "0.1", "null", "s", "q.wav"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Recording in Stereo\n\n\nInput Channel Peaks:\n\tchannel 1: -inf dBFS\n"
                     "\tchannel 2: -inf dBFS\nDone\n");
    EXPECT_EQ(ReadFile(dir + "/q.wav").size(), 44u + 8192 * 4);
}

TEST_F(CommandLine, AnswerXLeavesTheFileAsItWas)
{
    WriteFile(dir + "/take.wav", "old take");
    const RunResult r = Run({"1644", "1", "null", "1", "take.wav"}, "\n   \n\tx\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, Prompt("take.wav"));
    EXPECT_TRUE(SameBytes(ReadFile(dir + "/take.wav"), "old take"));
}

TEST_F(CommandLine, EndOfInputAtThePromptIsExit)
{
    WriteFile(dir + "/take.wav", "old take");
    // Each word that decides nothing is answered with the question.
    for (const auto& [input, asked] :
         {std::pair<std::string, int>{"", 0}, {"yes no X O xo\n", 5}}) {
        const RunResult r = Run({"1644", "1", "null", "1", "take.wav"}, input);
        EXPECT_EQ(r.exit_code, 1);
        std::string out = Prompt("take.wav");
        for (int i = 0; i < asked; ++i)
            out += kAsk;
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(ReadFile(dir + "/take.wav"), "old take");
    }
}

TEST_F(CommandLine, IgnoredWordsThenOOverwrites)
{
    WriteFile(dir + "/take.wav", "old take");
    // The longest word that is still a word: a line of 4096 bytes.
    const std::string long_word(4096, 'o');
    const RunResult r = Run({"1644", "0.01", "null", "1", "take.wav"}, "yes " + long_word + " o\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind(Prompt("take.wav") + kAsk + kAsk + "Recording\n", 0), 0u);
    EXPECT_EQ(ReadFile(dir + "/take.wav").size(), 44u + 4096 * 2);
}

TEST_F(CommandLine, AnswerLongerThanALineIsEndOfInput)
{
    WriteFile(dir + "/take.wav", "old take");
    const struct {
        std::string stdin_path; // a file as standard input
        std::string stdin_text;
        std::string out;
    } cases[] = {
        {"/dev/zero", "", Prompt("take.wav")}, // a word that never ends
        {"", std::string(4097, 'o') + " o\n", Prompt("take.wav")},
        {"", "yes " + std::string(4097, 'x') + " o\n", Prompt("take.wav") + kAsk},
    };
    for (const auto& c : cases) {
        RunOptions o;
        o.args = {"1644", "0.01", "null", "1", "take.wav"};
        o.stdin_path = c.stdin_path;
        o.stdin_text = c.stdin_text;
        o.cwd = dir;
        o.timeout_ms = 20000;
        const RunResult r = RunQuillo(o);
        EXPECT_FALSE(r.timed_out) << c.stdin_path;
        EXPECT_EQ(r.exit_code, 1) << c.stdin_path;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(ReadFile(dir + "/take.wav"), "old take");
    }
}

TEST_F(CommandLine, AnswersAskedAgainOrGivenInAdvance)
{
    const std::string take = "Recording\n";
    const std::string kept = "File take.wav already exists!\n";
    const struct {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out; // all of it after a refusal, its beginning after a take
    } cases[] = {
        {{"-y", "1644", "0.01", "null", "1", "take.wav"}, "x\n", 0, take},
        {{"--overwrite", "1644", "0.01", "null", "2", "take.wav", "r.wav"}, "", 0, take},
        {{"-n", "1644", "0.01", "null", "1", "take.wav"}, "o\n", 1, kept},
        {{"-q", "--no-overwrite", "1644", "0.01", "null", "2", "r.wav", "take.wav"}, "", 1, kept},
        {{"-yn", "1644", "0.01", "null", "1", "take.wav"}, "o\n", 1, kept},
        {{"-ny", "1644", "0.01", "null", "1", "take.wav"}, "", 0, take},
    };
    for (const auto& c : cases) {
        WriteFile(dir + "/take.wav", "old take");
        std::remove((dir + "/r.wav").c_str());
        const RunResult r = Run(c.args, c.input);
        EXPECT_EQ(r.exit_code, c.status) << c.args[0];
        EXPECT_EQ(r.out.substr(0, c.status == 0 ? c.out.size() : std::string::npos), c.out);
        EXPECT_EQ(ReadFile(dir + "/take.wav").size(), c.status == 0 ? 44u + 4096 * 2 : 8u);
        EXPECT_EQ(FileExists(dir + "/r.wav"), c.status == 0 && c.args.size() == 7);
    }
}

TEST_F(CommandLine, XOOnOneLineEndsAtTheFirstOfTwoPrompts)
{
    WriteFile(dir + "/l.wav", "left");
    WriteFile(dir + "/r.wav", "right");
    const RunResult r = Run({"1644", "1", "null", "2", "l.wav", "r.wav"}, "x o\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, Prompt("l.wav"));
    EXPECT_TRUE(SameBytes(ReadFile(dir + "/l.wav"), "left"));
    EXPECT_TRUE(SameBytes(ReadFile(dir + "/r.wav"), "right"));
}

TEST_F(CommandLine, OOOnOneLineAnswersBothPrompts)
{
    WriteFile(dir + "/l.wav", "left");
    WriteFile(dir + "/r.wav", "right");
    const RunResult r = Run({"1644", "0.01", "null", "2", "l.wav", "r.wav"}, "o o\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind(Prompt("l.wav") + Prompt("r.wav") + "Recording\n", 0), 0u);
    EXPECT_EQ(ReadFile(dir + "/l.wav").size(), 44u + 4096 * 2);
    EXPECT_EQ(ReadFile(dir + "/r.wav").size(), 44u + 4096 * 2);
}

TEST_F(CommandLine, SecondNameIsAskedAboutOnlyWhenItExists)
{
    WriteFile(dir + "/r.wav", "right");
    const RunResult r = Run({"1644", "1", "null", "2", "l.wav", "r.wav"}, "x\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, Prompt("r.wav"));
    EXPECT_FALSE(FileExists(dir + "/l.wav"));
}

TEST_F(CommandLine, TwoChannelsWithOneExistingNameAskFirst)
{
    WriteFile(dir + "/one.wav", "one");
    RunResult r = Run({"1644", "60", "d", "2", "one.wav"}, "x\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, Prompt("one.wav"));
    r = Run({"1644", "60", "d", "2", "one.wav"}, "o\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out,
              Prompt("one.wav") + "2 channels were requested, but on1y 1 filename was entered!\n");
    EXPECT_TRUE(SameBytes(ReadFile(dir + "/one.wav"), "one"));
}

TEST_F(CommandLine, AFileThatCannotBeReadCountsAsAbsent)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file; the unreadable case needs an ordinary user";
    WriteFile(dir + "/locked.wav", "x");
    chmod((dir + "/locked.wav").c_str(), 0);
    const RunResult r = Run({"1644", "60", "d", "2", "locked.wav"});
    EXPECT_EQ(r.out, "2 channels were requested, but on1y 1 filename was entered!\n");
}

} // namespace

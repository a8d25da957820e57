#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli.hpp"
#include "files/file_safety.hpp"
#include "support.hpp"
#include "wav/series.hpp"
#include "wav/wav.hpp"

namespace {

class OutputFilesTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(dir.c_str()), 0);
        list.assign(4096, '\0');
        scratch.assign(4096, '\0');
    }
    void TearDown() override
    {
        if (chdir(old_cwd) != 0)
            std::abort();
        RemoveTree(dir);
    }
    int Open(int channels, int interleave, int auto_naming, int64_t frames, uint32_t size = 2)
    {
        set = OutputFiles{};
        set.kept[0] = 1;
        set.kept[1] = channels == 2;
        return OpenOutputFiles(&set, channels, size, auto_naming, list.data(), scratch.data(),
                               interleave, frames, 44100, may_replace);
    }
    // One period into every file, as the writer thread writes it.
    int WriteOne(int interleave, uint32_t size, int period, const char* plane1, const char* plane2,
                 char* buf, int* channel = nullptr)
    {
        int ignored = 0;
        return WritePeriodsQuietly(&set, interleave, size, period, &plane1, &plane2, 1, buf,
                                   channel != nullptr ? channel : &ignored);
    }
    void SetList(const std::string& text)
    {
        std::memcpy(list.data(), text.c_str(), text.size() + 1);
    }

    std::string dir;
    char old_cwd[4096];
    std::vector<char> list, scratch;
    OutputFiles set{};
    // Every given name counts as confirmed for overwriting unless a test
    // says otherwise.
    MayReplace may_replace[2] = {MayReplace::kAnyFile, MayReplace::kAnyFile};
};

TEST_F(OutputFilesTest, MakesOneNameAndHeaderPerKeptChannel)
{
    const long before = NewTime();
    std::string out = CaptureStdout([&] { EXPECT_EQ(Open(2, 0, 1, 4096), 0); });
    const long after = NewTime();
    EXPECT_EQ(out, "");
    CloseOutputFiles(&set);

    const std::vector<std::string> names = SplitLines(list.data());
    ASSERT_EQ(names.size(), 2u);
    long t1 = 0, t2 = 0;
    ASSERT_EQ(std::sscanf(names[0].c_str(), "rec_chan_1_%ld.wav", &t1), 1);
    ASSERT_EQ(std::sscanf(names[1].c_str(), "rec_chan_2_%ld.wav", &t2), 1);
    EXPECT_EQ(names[0], "rec_chan_1_" + std::to_string(t1) + ".wav");
    EXPECT_GE(t1, before);
    EXPECT_LE(t2, after);
    EXPECT_LE(t1, t2);
    for (const std::string& n : names)
        EXPECT_TRUE(SameBytes(ReadFile(n), ExpectedHeader(44100, 1, 2, 4096)));
    EXPECT_EQ(std::string(list.data()), names[0] + "\n" + names[1] + "\n");
}

TEST_F(OutputFilesTest, MadeNameInStereoModeIsChannelOneWithTwoChannelHeader)
{
    ASSERT_EQ(Open(1, 1, 1, 8192, 3), 0);
    CloseOutputFiles(&set);
    const std::vector<std::string> names = SplitLines(list.data());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("rec_chan_1_", 0), 0u);
    EXPECT_TRUE(SameBytes(ReadFile(names[0]), ExpectedHeader(44100, 2, 3, 8192)));
}

TEST_F(OutputFilesTest, MadeNameNeverReplacesAnExistingFile)
{
    const long now = NewTime();
    for (long t = now; t < now + 5; ++t)
        WriteFile("rec_chan_1_" + std::to_string(t) + ".wav", "precious");
    ASSERT_EQ(Open(1, 0, 1, 4096), 0);
    CloseOutputFiles(&set);
    for (long t = now; t < now + 5; ++t)
        EXPECT_TRUE(SameBytes(ReadFile("rec_chan_1_" + std::to_string(t) + ".wav"), "precious"));
    long made = 0;
    ASSERT_EQ(std::sscanf(list.data(), "rec_chan_1_%ld.wav", &made), 1);
    EXPECT_GE(made, now + 5);
    EXPECT_TRUE(SameBytes(ReadFile(SplitLines(list.data())[0]), ExpectedHeader(44100, 1, 2, 4096)));
}

TEST_F(OutputFilesTest, GivenNamesAreUsedAndTheListIsLeftAsItWas)
{
    SetList("left.wav\nright.wav\n");
    ASSERT_EQ(Open(2, 0, 0, 0), 0);
    CloseOutputFiles(&set);
    EXPECT_EQ(std::string(list.data()), "left.wav\nright.wav\n");
    EXPECT_TRUE(SameBytes(ReadFile("left.wav"), ExpectedHeader(44100, 1, 2, 0)));
    EXPECT_TRUE(SameBytes(ReadFile("right.wav"), ExpectedHeader(44100, 1, 2, 0)));
}

TEST_F(OutputFilesTest, RunsOfNewlinesSeparateNamesLikeOne)
{
    SetList("\n\none.wav\n\n\ntwo.wav\n");
    ASSERT_EQ(Open(2, 0, 0, 4096), 0);
    CloseOutputFiles(&set);
    EXPECT_EQ(ListDir("."), (std::vector<std::string>{"one.wav", "two.wav"}));
}

TEST_F(OutputFilesTest, UnopenableNameIsReportedAndNothingIsLeftBehind)
{
    SetList("good.wav\nmissing/dir.wav\n");
    const std::string out = CaptureStdout([&] { EXPECT_EQ(Open(2, 0, 0, 4096), 1); });
    EXPECT_EQ(out, "Can't open missing/dir.wav for recording: No such file or directory\n");
    EXPECT_TRUE(ListDir(".").empty());
}

TEST_F(OutputFilesTest, RefusedTakeLeavesAConfirmedExistingFileAsItWas)
{
    WriteFile("old.wav", std::string(5000, 'q'));
    SetList("old.wav\nmissing/x.wav\n");
    CaptureStdout([&] { EXPECT_EQ(Open(2, 0, 0, 4096), 1); });
    EXPECT_TRUE(SameBytes(ReadFile("old.wav"), std::string(5000, 'q')));
}

TEST_F(OutputFilesTest, BothChannelsIntoOneFileIsRefused)
{
    symlink("same.wav", "link.wav");
    for (const std::string& names :
         {std::string("same.wav\nsame.wav\n"), std::string("same.wav\nlink.wav\n")}) {
        SetList(names);
        const std::string out = CaptureStdout([&] { EXPECT_EQ(Open(2, 0, 0, 4096), 1); });
        EXPECT_EQ(out,
                  "Can't record both channels into the same file " + SplitLines(names)[1] + "\n");
        EXPECT_FALSE(FileExists("same.wav"));
    }
    // The refusal is certain from the names: a file the user agreed to
    // overwrite is not cut first.
    WriteFile("same.wav", "old");
    SetList("same.wav\nsame.wav\n");
    CaptureStdout([&] { EXPECT_EQ(Open(2, 0, 0, 4096), 1); });
    EXPECT_TRUE(SameBytes(ReadFile("same.wav"), "old"));
}

TEST_F(OutputFilesTest, TwoChannelsMayBothGoToDevNull)
{
    SetList("/dev/null\n/dev/null\n");
    EXPECT_EQ(Open(2, 0, 0, 4096), 0);
    EXPECT_EQ(CloseOutputFiles(&set), 0);
}

TEST_F(OutputFilesTest, MonoFilesGrowByOnePeriodPerWriteChannelOneFirst)
{
    const int period = 4096;
    SetList("c1.wav\nc2.wav\n");
    ASSERT_EQ(Open(2, 0, 0, 3 * period, 3), 0);
    std::string planes(2 * period * 3, '\0');
    std::string interleaved(planes.size(), '\0');
    std::string expect1, expect2;
    for (int n = 0; n < 3; ++n) {
        std::fill(planes.begin(), planes.begin() + period * 3, static_cast<char>('a' + n));
        std::fill(planes.begin() + period * 3, planes.end(), static_cast<char>('A' + n));
        ASSERT_EQ(
            WriteOne(0, 3, period, planes.data(), planes.data() + period * 3, interleaved.data()),
            0);
        expect1 += planes.substr(0, period * 3);
        expect2 += planes.substr(period * 3);
    }
    ASSERT_EQ(CloseOutputFiles(&set), 0);
    const std::string f1 = ReadFile("c1.wav"), f2 = ReadFile("c2.wav");
    EXPECT_EQ(f1.size(), 36908u);
    EXPECT_TRUE(SameBytes(f1, ExpectedHeader(44100, 1, 3, 3 * period) + expect1));
    EXPECT_TRUE(SameBytes(f2, ExpectedHeader(44100, 1, 3, 3 * period) + expect2));
}

TEST_F(OutputFilesTest, StereoPeriodsLandAt44PlusPeriodTimesFrameBytes)
{
    const int period = 4096;
    SetList("st.wav\n");
    ASSERT_EQ(Open(1, 1, 0, 2 * period), 0);
    std::string planes(2 * period * 2, '\0');
    for (size_t i = 0; i < planes.size(); ++i)
        planes[i] = static_cast<char>(i % 251);
    std::string interleaved(planes.size(), '\0');
    for (int n = 0; n < 2; ++n)
        ASSERT_EQ(
            WriteOne(1, 2, period, planes.data(), planes.data() + period * 2, interleaved.data()),
            0);
    // Then frames 100 to 149 alone, as where a file of a series begins.
    const char* plane1 = planes.data();
    const char* plane2 = planes.data() + period * 2;
    int channel = 0;
    ASSERT_EQ(WriteFramesQuietly(&set, 1, 2, period, &plane1, &plane2, 100, 50, interleaved.data(),
                                 &channel),
              0);
    ASSERT_EQ(CloseOutputFiles(&set), 0);
    const std::string f = ReadFile("st.wav");
    ASSERT_EQ(f.size(), 44u + 2 * 16384 + 200);
    std::string one(16384, '\0');
    Interleave(period, 2, planes.data(), planes.data() + period * 2, one.data());
    EXPECT_TRUE(SameBytes(f.substr(44, 16384), one));
    EXPECT_TRUE(SameBytes(f.substr(44 + 16384, 16384), one));
    EXPECT_TRUE(SameBytes(f.substr(44 + 32768), one.substr(400, 200)));
}

TEST_F(OutputFilesTest, HeaderThatCannotBeWrittenRefusesTheTake)
{
    SetList("/dev/full\n");
    ::testing::internal::CaptureStderr();
    const std::string out = CaptureStdout([&] {
        ASSERT_EQ(Open(1, 0, 0, 4096), 0);
        EXPECT_EQ(CommitOutputFiles(&set, 4096, 2), 1);
    });
    DiscardOutputFiles(&set);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Can't write /dev/full: No space left on device\n");
    EXPECT_EQ(out, "");
}

TEST_F(OutputFilesTest, FailedWriteReportsTheFileAndTheSystemError)
{
    SetList("limited.wav\n");
    ASSERT_EQ(Open(1, 0, 0, 4 * 4096), 0);
    std::string planes(2 * 4096 * 2, '\x11'), buf(planes.size(), '\0');
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small{44 + 8192 + 100, old.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    ::testing::internal::CaptureStderr();
    int first = 0, second = 0, channel = -1;
    const std::string out = CaptureStdout([&] {
        first = WriteOne(0, 2, 4096, planes.data(), planes.data() + 8192, buf.data(), &channel);
        second = WriteOne(0, 2, 4096, planes.data(), planes.data() + 8192, buf.data(), &channel);
        // What the take does with a failed write.
        if (second != 0)
            ReportWriteFailure(set.name[channel], second);
    });
    const std::string err = ::testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, EFBIG);
    EXPECT_EQ(channel, 0);
    EXPECT_EQ(set.frames_written[0], 4096);
    EXPECT_EQ(err, "Can't write limited.wav: File too large\n");
    EXPECT_EQ(out, "\n"); // ends the status line before the message
    CloseOutputFiles(&set);
}

TEST_F(OutputFilesTest, ShortTakeIsCutToWholePeriodsWithMatchingHeader)
{
    const int period = 1024;
    SetList("a.wav\nb.wav\n");
    ASSERT_EQ(Open(2, 0, 0, 10 * period), 0);
    ASSERT_EQ(ReserveTakeSpace(&set, 10 * period, 2), 0);
    std::string planes(2 * period * 2, '\x33'), buf(planes.size(), '\0');
    for (int n = 0; n < 3; ++n)
        ASSERT_EQ(WriteOne(0, 2, period, planes.data(), planes.data() + period * 2, buf.data()), 0);
    // Half a period more reaches channel 1's file only, as after a failed write.
    std::fwrite(planes.data(), 1, period, set.file[0]);
    ASSERT_EQ(SealShortTake(&set, 2, period), 0);
    ASSERT_EQ(CloseOutputFiles(&set), 0);
    for (const char* name : {"a.wav", "b.wav"}) {
        const std::string f = ReadFile(name);
        ASSERT_EQ(f.size(), 44u + 3 * period * 2) << name;
        EXPECT_TRUE(SameBytes(f.substr(0, 44), ExpectedHeader(44100, 1, 2, 3 * period))) << name;
        EXPECT_TRUE(SameBytes(f.substr(44), std::string(3 * period * 2, '\x33'))) << name;
        struct stat st;
        ASSERT_EQ(stat(name, &st), 0);
        // Nothing stays allocated beyond the data.
        EXPECT_LE(st.st_blocks * 512, 44 + 3 * period * 2 + 4096) << name;
    }
}

TEST_F(OutputFilesTest, FileWithOneMorePeriodThanItsPartnerIsCutBackToIt)
{
    const int period = 1024;
    SetList("a.wav\nb.wav\n");
    ASSERT_EQ(Open(2, 0, 0, 10 * period), 0);
    std::string planes(2 * period * 2, '\x44'), buf(planes.size(), '\0');
    for (int n = 0; n < 2; ++n)
        ASSERT_EQ(WriteOne(0, 2, period, planes.data(), planes.data() + period * 2, buf.data()), 0);
    // A third period reached channel 1's file, then channel 2's write failed.
    ASSERT_EQ(std::fwrite(planes.data(), 1, period * 2, set.file[0]), size_t{period * 2});
    set.frames_written[0] += period;
    ASSERT_EQ(SealShortTake(&set, 2, period), 0);
    ASSERT_EQ(CloseOutputFiles(&set), 0);
    for (const char* name : {"a.wav", "b.wav"})
        EXPECT_TRUE(SameBytes(ReadFile(name), ExpectedHeader(44100, 1, 2, 2 * period) +
                                                  std::string(2 * period * 2, '\x44')))
            << name;
    EXPECT_EQ(set.frames_written[0], 2 * period);
    EXPECT_EQ(set.frames_written[1], 2 * period);
}

TEST_F(OutputFilesTest, NameNotAgreedToIsCreatedAfreshOrRefusedUntouched)
{
    WriteFile("theirs.wav", "their take");
    may_replace[0] = MayReplace::kNothing;
    may_replace[1] = MayReplace::kNothing;
    SetList("mine.wav\ntheirs.wav\n");
    const std::string out = CaptureStdout([&] { EXPECT_EQ(Open(2, 0, 0, 4096), 1); });
    EXPECT_EQ(out, "Can't open theirs.wav for recording: File exists\n");
    EXPECT_EQ(ReadFile("theirs.wav"), "their take");
    EXPECT_EQ(ListDir("."), std::vector<std::string>{"theirs.wav"});

    // Agreed to, the same file is replaced.
    may_replace[1] = MayReplace::kAnyFile;
    ASSERT_EQ(Open(2, 0, 0, 4096), 0);
    EXPECT_EQ(ReadFile("theirs.wav"), "their take");
    ASSERT_EQ(CommitOutputFiles(&set, 4096, 2), 0);
    CloseOutputFiles(&set);
    EXPECT_TRUE(SameBytes(ReadFile("theirs.wav"), ExpectedHeader(44100, 1, 2, 4096)));
    EXPECT_TRUE(SameBytes(ReadFile("mine.wav"), ExpectedHeader(44100, 1, 2, 4096)));
}

TEST_F(OutputFilesTest, DanglingLinkChainGetsItsLastTargetMadeAndRemovedOnRefusal)
{
    ASSERT_EQ(mkdir("sub", 0755), 0);
    // link.wav -> sub/hop.wav -> end.wav, relative to sub/.
    ASSERT_EQ(symlink("sub/hop.wav", "link.wav"), 0);
    ASSERT_EQ(symlink("end.wav", "sub/hop.wav"), 0);
    may_replace[0] = MayReplace::kNothing;
    may_replace[1] = MayReplace::kNothing;
    SetList("link.wav\n");
    ASSERT_EQ(Open(1, 0, 0, 4096), 0);
    CloseOutputFiles(&set);
    EXPECT_TRUE(SameBytes(ReadFile("sub/end.wav"), ExpectedHeader(44100, 1, 2, 4096)));
    ASSERT_EQ(std::remove("sub/end.wav"), 0);

    SetList("link.wav\nmissing/x.wav\n");
    CaptureStdout([&] { EXPECT_EQ(Open(2, 0, 0, 4096), 1); });
    EXPECT_FALSE(FileExists("sub/end.wav"));
    struct stat st;
    EXPECT_EQ(lstat("link.wav", &st), 0);
    EXPECT_EQ(lstat("sub/hop.wav", &st), 0);
}

TEST_F(OutputFilesTest, ReservationAllocatesThePlannedDataWithoutGrowingTheFile)
{
    SetList("r.wav\n");
    ASSERT_EQ(Open(1, 0, 0, 100 * 4096), 0);
    ASSERT_EQ(ReserveTakeSpace(&set, 100 * 4096, 2), 0);
    struct stat st;
    ASSERT_EQ(fstat(fileno(set.file[0]), &st), 0);
    EXPECT_EQ(st.st_size, 44);
    EXPECT_GE(st.st_blocks * 512, 100 * 4096 * 2);
    CloseOutputFiles(&set);
}

// `- >> takes.wav`: an open take follows what the file holds, which is
// never cut, reserved or rewritten: the header states the longest stream.
TEST_F(OutputFilesTest, StandardOutputOpenForAppendingTakesTheStreamAfterWhatItHolds)
{
    SetList("/dev/stdout\n");
    may_replace[0] = MayReplace::kNoRegularFile;
    std::string planes(2 * 1024 * 2, '\x55'), buf(planes.size(), '\0');
    const std::string out = CaptureStdout([&] {
        fcntl(1, F_SETFL, O_APPEND);
        EXPECT_EQ(write(1, "earlier", 7), 7);
        EXPECT_EQ(StandardOutputHoldsNoTake(), may_replace[0]);
        EXPECT_EQ(Open(1, 0, 0, kOpenLength) + CommitOutputFiles(&set, 1024, 2), 0);
        EXPECT_EQ(WriteOne(0, 2, 1024, planes.data(), planes.data(), buf.data()), 0);
        EXPECT_EQ(SealShortTake(&set, 2, 1024) + CloseOutputFiles(&set), 0);
    });
    EXPECT_EQ(out.size(), 7u + 80 + 2048);
    EXPECT_EQ(out.substr(0, 11), "earlierRIFF");
    EXPECT_EQ(Le32(out, 7 + 76), 0xFFFFFFB6u);
}

TEST_F(OutputFilesTest, DevNullIsNeitherReservedNorRewritten)
{
    SetList("/dev/null\n");
    ASSERT_EQ(Open(1, 0, 0, 100 * 4096), 0);
    EXPECT_EQ(set.regular[0], 0);
    EXPECT_EQ(ReserveTakeSpace(&set, 100 * 4096, 2), 0);
    EXPECT_EQ(SealShortTake(&set, 2, 4096), 0);
    EXPECT_EQ(CloseOutputFiles(&set), 0);
}

// Cleanup removes by identity: another file put in place of the one made
// (same folder, same device, another inode) is not ours to remove.
TEST_F(OutputFilesTest, CleanupLeavesAFileThatReplacedTheOneItMade)
{
    std::string leaf;
    MadeFile made;
    const int fd = CreateInFolder(OpenFolderOf("x.wav", &leaf), leaf, &made);
    ASSERT_GE(fd, 0);
    close(fd);
    WriteFile("other", "precious");
    ASSERT_EQ(rename("other", "x.wav"), 0);
    RemoveMadeFile(&made);
    EXPECT_EQ(ReadFile("x.wav"), "precious");
    // Nor is a file of a series renamed over one that took its name meanwhile.
    Series series;
    set.kept[0] = 1;
    SetList("s.wav\n");
    StartSeries(&set, &series, 0, list.data(), scratch.data(), 0, 2, 44100, 4096);
    int channel = 0;
    ASSERT_EQ(OpenSeriesFiles(&set, &series, 0, 0, &channel), 0);
    WriteFile("s-1.wav", "precious");
    EXPECT_EQ(SealSeriesFiles(&set, &series, 1, 2, &channel), EEXIST);
    EXPECT_EQ(ReadFile("s-1.wav"), "precious");
}

} // namespace

// Odd outputs: a file that appears while the take starts, a file the user
// may only write, one file under two names, a dangling link, standard output
// and FIFOs as the output file.
#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "e2e.hpp"
#include "files/shown_name.hpp"

namespace {

std::string Prompt(const std::string& name)
{
    return "\nFile " + name + " already exists!\nEnter 'x' to exit or 'o' to overwrite\n";
}

// 0.2 s of 16-bit audio at 44100 Hz: three periods of 4096 frames.
constexpr uint32_t kFrames = 3 * 4096;

class OddOutput : public EndToEnd {
  protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        log = Path("sim.log");
        Devices("pcm.fast { type quillosim signal \"peaks\" left [ 77 ] right [ 5 ] }\n"
                "pcm.paced { type quillosim paced true signal \"peaks\" left [ 77 ] }\n"
                "pcm.slow { type quillosim open_delay_ms 2000 log \"" +
                log + "\" signal \"peaks\" left [ 77 ] right [ 5 ] }\n");
    }
    // The file of a whole take of one channel: 0.2 s unless told.
    static std::string Take(int32_t value, uint32_t frames = kFrames)
    {
        return ExpectedHeader(44100, 1, 2, frames) + Repeat(Sample(value, 2), frames);
    }
    // Waits up to 5 s for `name` to hold at least `bytes`.
    void AwaitBytes(const std::string& name, size_t bytes) const
    {
        for (int i = 0; i < 1000 && Read(name).size() < bytes; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    bool IsLink(const std::string& name) const
    {
        struct stat st;
        return lstat(Path(name).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }
    std::string log;
};

// A file made, or put in place of the file the user agreed to replace,
// while the take starts is refused and kept.
TEST_F(OddOutput, FileMadeWhileTheDeviceOpensIsRefusedAndKept)
{
    const std::string exists = " for recording: File exists\n";
    const std::string changed = "a.wav changed after the question\n";
    const struct {
        std::vector<std::string> args; // the last one is made by another process,
        std::string input;             // once quillo is in its device open,
        bool link;                     // as a link to other.wav, or as a new file
        std::string out;
    } cases[] = {
        {{"1644", "0.2", "slow", "1", "take.wav"}, "", false, "Can't open take.wav" + exists},
        {{"1644", "0.2", "slow", "2", "l.wav", "r.wav"}, "", false, "Can't open r.wav" + exists},
        {{"1644", "0.2", "slow", "1", "a.wav"}, "o\n", true, Prompt("a.wav") + changed},
        {{"-y", "1644", "0.2", "slow", "1", "a.wav"}, "", false, changed},
    };
    for (const auto& c : cases) {
        const std::string made = c.args.back();
        std::remove(log.c_str());
        // The file answered for, with "o" or in advance.
        if (!c.input.empty() || c.args[0] == "-y")
            WriteFile(Path(made), "the answered take");
        std::thread other([&] {
            // Waits for the device's word that the open has begun; the open
            // then sleeps 2 s, far longer than this takes.
            for (int i = 0; i < 2000 && ReadFile(log).find("open delay") == std::string::npos; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const std::string other = c.link ? "other.wav" : made + ".new";
            WriteFile(Path(other), "the other take");
            if (c.link)
                std::remove(Path(made).c_str());
            EXPECT_EQ(c.link ? symlink(other.c_str(), Path(made).c_str())
                             : std::rename(Path(other).c_str(), Path(made).c_str()),
                      0);
        });
        const RunResult r = Run(c.args, c.input);
        other.join();
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_TRUE(SameBytes(Read(made), "the other take"));
        std::vector<std::string> left = ListDir(dir);
        std::erase(left, "asound-test.conf");
        std::erase(left, "sim.log");
        EXPECT_EQ(left, (c.link ? std::vector<std::string>{made, "other.wav"} : std::vector{made}));
        for (const std::string& name : left)
            std::remove(Path(name).c_str());
    }
}

TEST_F(OddOutput, WriteOnlyFileIsNeverReplacedWithoutAQuestion)
{
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << (nobody == nullptr ? "no user nobody here" : "needs root")
                     << " to run quillo as the user nobody: write-only file not tested";
    std::string why;
    if (!MoveWithinOthersReach(&why))
        GTEST_SKIP() << why << ": write-only file not tested";
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    WriteFile(Path("take.wav"), "precious");
    // Others may write it but not read it.
    ASSERT_EQ(chmod(Path("take.wav").c_str(), 0602), 0);
    RunOptions o = Options({"1644", "0.2", "fast", "1", "take.wav"});
    o.run_as_uid = static_cast<int>(nobody->pw_uid);
    o.stdin_text = "o\n";
    RunResult r = RunQuillo(o);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Can't open take.wav for recording: File exists\n");
    EXPECT_EQ(Read("take.wav"), "precious");

    // The same user records a new name in the same folder.
    o.args[4] = "fresh.wav";
    r = RunQuillo(o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(SameBytes(Read("fresh.wav"), Take(77)));

    // Refusals say why: a folder the user may not write, a read-only file
    // system.
    ASSERT_EQ(mkdir(Path("closed").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Path("ro").c_str(), 0755), 0);
    const bool read_only = mount("tmpfs", Path("ro").c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0;
    const struct {
        std::string name, reason;
    } cases[] = {{"closed/x.wav", "Permission denied"}, {"ro/x.wav", "Read-only file system"}};
    for (const auto& c : cases) {
        if (c.name.starts_with("ro/") && !read_only) {
            std::printf("cannot mount a read-only tmpfs (%s): that refusal not tested\n",
                        std::strerror(errno));
            continue;
        }
        o.args[4] = c.name;
        r = RunQuillo(o);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "Can't open " + c.name + " for recording: " + c.reason + "\n");
    }
    if (read_only)
        umount(Path("ro").c_str());
}

// Every refusal after the answer "o" comes before the file is cut; names
// are shown with their control characters escaped.
TEST_F(OddOutput, RefusalAfterTheAnswerLeavesTheFileAsItWas)
{
    const std::string old = "precious take " + std::string(100000, 'p');
    const std::string odd = "\033]0;owned\007old.wav"; // retitles a terminal
    const std::string shown = "\\033]0;owned\\007old.wav";
    const struct {
        std::vector<std::string> args; // the existing file is the fifth
        int64_t file_size_limit;
        std::string out, err;
    } cases[] = {
        {{"1644", "5", "fast", "2", "old.wav", "nodir/x.wav"},
         -1,
         Prompt("old.wav") + "Can't open nodir/x.wav for recording: No such file or directory\n",
         ""},
        {{"1644", "5", "fast", "1", "old.wav"},
         100000,
         Prompt("old.wav"),
         "Can't reserve 442368 bytes for old.wav: File too large\n"},
        {{"1644", "5", "fast", "2", "old.wav", "no\033[2J/x.wav"},
         -1,
         Prompt("old.wav") +
             "Can't open no\\033[2J/x.wav for recording: No such file or directory\n",
         ""},
        {{"1644", "5", "fast", "1", odd},
         100000,
         Prompt(shown),
         "Can't reserve 442368 bytes for " + shown + ": File too large\n"},
    };
    for (const auto& c : cases) {
        const std::string name = c.args[4];
        SCOPED_TRACE(ShownName(c.args.back().c_str()));
        WriteFile(Path(name), old);
        RunOptions o = Options(c.args);
        o.stdin_text = "o o\n";
        o.file_size_limit = c.file_size_limit;
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(SameBytes(Read(name), old)) << Read(name).size() << " bytes";
        std::remove(Path(name).c_str());
    }
}

// One take per file: a second run told "o" for a file being recorded is
// refused, and of two runs started together on one name, one records it.
TEST_F(OddOutput, OneTakePerFile)
{
    const uint32_t frames = 22 * 4096; // 2 s
    WriteFile(Path("take.wav"), "old");
    RunResult first;
    std::thread recording([&] { first = Run({"1644", "2", "paced", "1", "take.wav"}, "o\n"); });
    AwaitBytes("take.wav", 44 + 4096 * 2);
    const RunResult second = Run({"1644", "0.2", "fast", "1", "take.wav"}, "o\n");
    recording.join();
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(second.out,
              Prompt("take.wav") + "Can't record take.wav: another take is recording it\n");
    EXPECT_EQ(first.exit_code, 0);
    EXPECT_TRUE(SameBytes(Read("take.wav"), Take(77, frames)));

    RunResult together[2];
    std::thread runs[2];
    for (int i = 0; i < 2; ++i)
        runs[i] = std::thread([&, i] {
            together[i] = Run({"1644", "2", "paced", "1", "take.wav"}, "o\n");
        });
    for (std::thread& t : runs)
        t.join();
    EXPECT_EQ(together[0].exit_code + together[1].exit_code, 1)
        << together[0].out << together[1].out;
    EXPECT_TRUE(SameBytes(Read("take.wav"), Take(77, frames)));
}

// A cleanup that removes the take's folder mid-take: the audio is gone, and
// the run says so instead of "Done".
TEST_F(OddOutput, FolderRemovedDuringTheTakeFailsIt)
{
    ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
    std::thread cleanup([&] {
        AwaitBytes("sub/take.wav", 44 + 4096 * 2);
        RemoveTree(Path("sub"));
    });
    const RunResult r = Run({"1644", "3", "paced", "1", "sub/take.wav"});
    cleanup.join();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.find("Done"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Can't write sub/take.wav: the file was removed during the take\n"),
              std::string::npos)
        << r.err;
}

TEST_F(OddOutput, OneFileUnderTwoNamesIsRefusedWithItsDataIntact)
{
    WriteFile(Path("same.wav"), "precious");
    ASSERT_EQ(link(Path("same.wav").c_str(), Path("hard.wav").c_str()), 0);
    // Refused before any question.
    for (const std::string& second : {std::string("same.wav"), std::string("hard.wav")}) {
        const RunResult r = Run({"1644", "0.2", "fast", "2", "same.wav", second}, "o o\n");
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "Can't record both channels into the same file " + second + "\n");
        EXPECT_TRUE(SameBytes(Read("same.wav"), "precious"));
        EXPECT_TRUE(SameBytes(Read("hard.wav"), "precious"));
    }
    // Two absent names of one file, one through a dangling link: refused
    // before either is made.
    ASSERT_EQ(symlink("new.wav", Path("link.wav").c_str()), 0);
    const RunResult r = Run({"1644", "0.2", "fast", "2", "./new.wav", "link.wav"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Can't record both channels into the same file link.wav\n");
    EXPECT_FALSE(FileExists(Path("new.wav")));
}

TEST_F(OddOutput, DanglingLinkGetsItsTargetMadeAndRemovedWhenRefused)
{
    ASSERT_EQ(symlink("target.wav", Path("link.wav").c_str()), 0);
    RunResult r = Run({"1644", "0.2", "fast", "1", "link.wav"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("Recording\n", 0), 0u) << "no question: nothing existed";
    EXPECT_TRUE(SameBytes(Read("target.wav"), Take(77)));
    EXPECT_TRUE(IsLink("link.wav"));

    ASSERT_EQ(std::remove(Path("target.wav").c_str()), 0);
    r = Run({"1644", "0.2", "fast", "2", "link.wav", "missing/r.wav"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Can't open missing/r.wav for recording: No such file or directory\n");
    EXPECT_FALSE(FileExists(Path("target.wav")));
    EXPECT_TRUE(IsLink("link.wav"));
}

TEST_F(OddOutput, StandardOutputHoldsExactlyTheWavFile)
{
    // Standard output holds no take to lose: never a question about it.
    const struct {
        std::vector<std::string> args;
        bool into_file; // `> out.wav` rather than a pipe
        std::string stream;
    } cases[] = {
        {{"1644", "0.2", "fast", "1", "/dev/stdout"}, false, Take(77)},
        {{"1644", "0.2", "fast", "1", "/dev/stdout"}, true, Take(77)},
        {{"1644", "0.2", "fast", "1", "/proc/self/fd/1"}, false, Take(77)},
        {{"1644", "0.2", "fast", "2", "l.wav", "/dev/stdout"}, false, Take(5)},
        // The options come off before the names are looked at.
        {{"-q", "1644", "0.2", "fast", "1", "/dev/stdout"}, false, Take(77)},
        {{"-q", "1644", "0.2", "fast", "1", "/dev/stdout"}, true, Take(77)},
        {{"-q", "1644", "0.2", "fast", "1", "-"}, false, Take(77)},
        {{"1644", "0.2", "fast", "1", "-"}, true, Take(77)},
        {{"--quiet", "-y", "1644", "0.2", "fast", "2", "l.wav", "-"}, true, Take(5)},
    };
    for (const auto& c : cases) {
        RunOptions o = Options(c.args);
        if (c.into_file)
            o.stdout_path = Path("out.wav");
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.exit_code, 0);
        const std::string stream = c.into_file ? Read("out.wav") : r.out;
        EXPECT_EQ(stream.size(), c.stream.size());
        EXPECT_TRUE(SameBytes(stream, c.stream)) << ::testing::PrintToString(c.args);
        EXPECT_EQ(r.err.rfind("Recording\n", 0), 0u) << r.err;
        EXPECT_TRUE(r.err.ends_with("Done\n")) << r.err;
        if (std::find(c.args.begin(), c.args.end(), "l.wav") != c.args.end()) {
            EXPECT_TRUE(SameBytes(Read("l.wav"), Take(77)));
            std::remove(Path("l.wav").c_str());
        }
    }
}

TEST_F(OddOutput, TakeIntoANamedFileKeepsItsTextOnStandardOutput)
{
    const RunResult r = Run({"1644", "0.2", "fast", "1", "take.wav"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("Recording\n", 0), 0u);
    EXPECT_TRUE(r.out.ends_with("Done\n"));
    EXPECT_EQ(Unwaited(r.err), "");
}

TEST_F(OddOutput, FifoWithAReaderReceivesTheWavStream)
{
    ASSERT_EQ(mkfifo(Path("pipe.wav").c_str(), 0644), 0);
    // The reader is there before quillo looks; a whole 0.2 s take fits in
    // the pipe's buffer, so it is read once quillo has ended.
    const int reader = open(Path("pipe.wav").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const RunResult r = Run({"1644", "0.2", "fast", "1", "pipe.wav"});
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = read(reader, buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    close(reader);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("Recording\n", 0), 0u) << "no question: a FIFO holds no take";
    EXPECT_TRUE(SameBytes(got, Take(77)));
}

TEST_F(OddOutput, FifoWithoutAReaderIsRefusedWithoutWaiting)
{
    ASSERT_EQ(mkfifo(Path("pipe.wav").c_str(), 0644), 0);
    const RunResult r = Run({"1644", "0.2", "fast", "1", "pipe.wav"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Can't open pipe.wav for recording: No such device or address\n");
    struct stat st;
    ASSERT_EQ(lstat(Path("pipe.wav").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

} // namespace

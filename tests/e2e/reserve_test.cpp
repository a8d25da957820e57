// Disk space reserved for the whole take before the device is read, on a
// small file system that the test mounts (it needs root, as in CI), and on
// a FAT image that cannot hold a file past 4 GiB.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <csignal>

#include "e2e.hpp"

namespace {

class Reserve : public EndToEnd {
  protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        small = Path("small");
        mkdir(small.c_str(), 0755);
        if (geteuid() != 0 || mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
            GTEST_SKIP()
                << "cannot mount a 1 MiB tmpfs here (needs root): reservation tests skipped";
        mounted = true;
        Devices("pcm.paced { type quillosim paced true signal \"peaks\" left [ 77 ] right [ 5 ] }\n"
                "pcm.fast { type quillosim signal \"peaks\" left [ 77 ] right [ 5 ] }\n");
    }
    void TearDown() override
    {
        if (mounted)
            umount(small.c_str());
        EndToEnd::TearDown();
    }
    uint64_t FreeBytes()
    {
        struct statvfs v;
        statvfs(small.c_str(), &v);
        return uint64_t{v.f_bavail} * v.f_frsize;
    }
    std::string small;
    bool mounted = false;
};

TEST_F(Reserve, TakeThatDoesNotFitIsRefusedBeforeRecording)
{
    // 30 s of 16-bit mono: 323 periods, 2,646,016 bytes of data.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"1644", "30", "fast", "1", "small/take.wav"},
          std::vector<std::string>{"1644", "6", "fast", "2", "small/l.wav", "small/r.wav"}}) {
        const RunResult r = Run(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        const std::string want = args[1] == "30" ? "Can't reserve 2646016 bytes for small/take.wav"
                                                 : "Can't reserve 532480 bytes for small/r.wav";
        EXPECT_EQ(r.err, want + ": No space left on device\n");
        EXPECT_TRUE(ListDir(small).empty());
        EXPECT_EQ(FreeBytes(), 1024u * 1024);
    }
}

TEST_F(Reserve, TakeThatFitsIsByteForByteTheSame)
{
    const RunResult r = Run({"1644", "0.5", "fast", "2", "small/l.wav", "small/r.wav"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Recording\n", 0), 0u);
    EXPECT_TRUE(r.out.ends_with("Done\n"));
    EXPECT_TRUE(ReadFile(small + "/l.wav") ==
                ExpectedHeader(44100, 1, 2, 6 * 4096) + Repeat(Sample(77, 2), 6 * 4096));
    EXPECT_TRUE(ReadFile(small + "/r.wav") ==
                ExpectedHeader(44100, 1, 2, 6 * 4096) + Repeat(Sample(5, 2), 6 * 4096));
}

TEST_F(Reserve, InterruptedTakeGivesBackWhatItDidNotWrite)
{
    const uint64_t before = FreeBytes();
    RunOptions o = Options({"1644", "10", "paced", "1", "small/take.wav"});
    o.signal = SIGINT;
    o.signal_after_text = "rem = ";
    o.signal_after_ms = 600;
    const RunResult r = RunQuillo(o);
    EXPECT_EQ(r.term_signal, SIGINT) << r.err;
    struct stat st;
    ASSERT_EQ(stat((small + "/take.wav").c_str(), &st), 0);
    // tmpfs allocates whole pages.
    const uint64_t written = (static_cast<uint64_t>(st.st_size) + 4095) / 4096 * 4096;
    EXPECT_EQ(before - FreeBytes(), written);
    EXPECT_EQ(static_cast<uint64_t>(st.st_blocks) * 512, written);
}

TEST_F(Reserve, TakePastFourGibOnFatIsRefusedBeforeRecording)
{
    // A FAT file holds at most 4 GiB - 1: the file system refuses to reserve
    // 4,304,166,912 bytes however much room it has.
    const std::string fat = Path("fat");
    mkdir(fat.c_str(), 0755);
    if (Shell("mkfs.vfat -C '" + Path("fat.img") + "' 1024 >/dev/null 2>&1") != 0 ||
        Shell("mount -o loop '" + Path("fat.img") + "' '" + fat + "' 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot make and loop-mount a vfat image here: FAT limit test skipped";
    const RunResult r = Run({"1644", "48800", "fast", "1", "fat/take.wav"});
    const std::vector<std::string> left = ListDir(fat);
    umount(fat.c_str());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Can't reserve 4304166912 bytes for fat/take.wav: File too large\n");
    EXPECT_TRUE(left.empty());
}

} // namespace

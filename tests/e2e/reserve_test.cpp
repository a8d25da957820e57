// Disk space reserved for the whole take before the device is read, on a
// small file system that the test mounts (it needs root, as in CI), and on
// a FAT image that cannot hold a file past 4 GiB.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "e2e.hpp"

namespace {

// The first line of a tool's complaint, for a skip message.
std::string FirstLine(const std::string& text)
{
    const std::vector<std::string> lines = SplitLines(text);
    if (lines.empty())
        return "(no message)";
    return lines[0].ends_with('.') ? lines[0].substr(0, lines[0].size() - 1) : lines[0];
}

class Reserve : public EndToEnd {
  protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        small = Path("small");
        mkdir(small.c_str(), 0755);
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to mount a 1 MiB tmpfs: reservation tests skipped";
        if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
            GTEST_SKIP() << "cannot mount a 1 MiB tmpfs here (" << std::strerror(errno)
                         << "): reservation tests skipped";
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
    const struct {
        std::vector<std::string> args;
        std::string want;
    } cases[] = {
        {{"1644", "30", "fast", "1", "small/take.wav"}, "2646016 bytes for small/take.wav"},
        {{"1644", "6", "fast", "2", "small/l.wav", "small/r.wav"}, "532480 bytes for small/r.wav"},
        // Seven files of 1 s (88,280 bytes) in each of two series.
        {{"--split", "1", "1644", "6", "fast", "2", "small/l.wav", "small/r.wav"},
         "1235920 bytes for small/l-1.wav"},
    };
    for (const auto& c : cases) {
        const RunResult r = Run(c.args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Can't reserve " + c.want + ": No space left on device\n");
        EXPECT_TRUE(ListDir(small).empty());
        EXPECT_EQ(FreeBytes(), 1024u * 1024);
    }
}

TEST_F(Reserve, TakeThatFitsIsByteForByteTheSame)
{
    const RunResult r = Run({"1644", "0.5", "fast", "2", "small/l.wav", "small/r.wav"});
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("Recording\n", 0), 0u);
    EXPECT_TRUE(r.out.ends_with("Done\n"));
    EXPECT_TRUE(SameBytes(ReadFile(small + "/l.wav"),
                          ExpectedHeader(44100, 1, 2, 6 * 4096) + Repeat(Sample(77, 2), 6 * 4096)));
    EXPECT_TRUE(SameBytes(ReadFile(small + "/r.wav"),
                          ExpectedHeader(44100, 1, 2, 6 * 4096) + Repeat(Sample(5, 2), 6 * 4096)));
}

// A take of open length reserves as it goes, warns when less than a minute
// of room is left, and ends at the last whole period the disk or the
// file-size limit holds: sealed, exact, and a failure.
TEST_F(Reserve, OpenLengthTakeEndsAtAFullDiskOrTheFileSizeLimit)
{
    const struct {
        std::string name;
        int64_t limit;
        uint32_t periods; // what 1 MiB, or the limit, holds
        std::string low, err;
    } cases[] = {
        {"small/take.wav", -1, 127, "\nLess than a minute of disk space left for small/take.wav\n",
         "Can't write small/take.wav: No space left on device\n"},
        {"small/lim.wav", 80 + 50 * 8192 + 100, 50,
         "\nLess than a minute left below the file-size limit for small/lim.wav\n",
         "Can't write small/lim.wav: File too large\n"},
        // Two minutes reserved ahead (646 periods each), then less than one.
        {"long.wav", 80 + 1500 * 8192 + 100, 1500,
         "\nLess than a minute left below the file-size limit for long.wav\n",
         "Can't write long.wav: File too large\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions o = Options({"1644", "0", "fast", "1", c.name});
        o.file_size_limit = c.limit;
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.out.find(c.low), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Done"), std::string::npos);
        EXPECT_EQ(Unwaited(r.err), c.err);
        const std::string bytes = Read(c.name);
        ASSERT_GE(bytes.size(), 80u);
        const auto periods = static_cast<uint32_t>((bytes.size() - 80) / 8192);
        EXPECT_EQ(periods, c.periods);
        char length[64];
        std::snprintf(length, sizeof length, "\nTake length: %.2f seconds\n",
                      periods * 4096 / 44100.0);
        EXPECT_TRUE(r.out.ends_with(length)) << r.out.substr(r.out.size() - 100);
        // The last status line tells the same length, not what was captured.
        std::string last;
        for (const std::string& piece : SplitStatus(r.out))
            last = piece.starts_with("rec = ") ? piece : last;
        std::snprintf(length, sizeof length, "rec = %.2f sec", periods * 4096 / 44100.0);
        EXPECT_EQ(last.substr(0, std::strlen(length)), length);
        EXPECT_TRUE(SameBytes(bytes, OpenHeader(44100, 1, 2, periods * 4096) +
                                         Repeat(Sample(77, 2), periods * 4096)));
        std::remove(Path(c.name).c_str());
    }
}

TEST_F(Reserve, InterruptedTakeGivesBackWhatItDidNotWrite)
{
    const uint64_t before = FreeBytes();
    RunOptions o = Options({"1644", "10", "paced", "1", "small/take.wav"});
    o.signal = SIGINT;
    o.signal_after_text = "rem = ";
    o.signal_after_ms = 600;
    const RunResult r = RunQuillo(o);
    EXPECT_EQ(r.term_signal, SIGINT);
    struct stat st;
    ASSERT_EQ(stat((small + "/take.wav").c_str(), &st), 0);
    // tmpfs allocates whole pages.
    const uint64_t written = (static_cast<uint64_t>(st.st_size) + 4095) / 4096 * 4096;
    EXPECT_EQ(before - FreeBytes(), written);
    EXPECT_EQ(static_cast<uint64_t>(st.st_blocks) * 512, written);
}

// File systems that cannot reserve: ext2 (a loop image) and ramfs, which
// counts no blocks at all. Each is mounted at "fs" in the test's folder.
class OddFileSystem : public EndToEnd {
  protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        fs = Path("fs");
        image = Path("fs.img");
        mkdir(fs.c_str(), 0755);
        Devices("pcm.fast { type quillosim signal \"peaks\" left [ 77 ] right [ 5 ] }\n");
    }
    void TearDown() override
    {
        if (mounted)
            umount(fs.c_str());
        // A loop device that the unmount did not free is freed here.
        std::string loops;
        if (!image.empty() &&
            Shell("PATH=$PATH:/usr/sbin:/sbin; losetup -n -O NAME -j '" + image + "' 2>/dev/null",
                  &loops) == 0)
            for (const std::string& loop : SplitLines(loops))
                if (!loop.empty())
                    Shell("PATH=$PATH:/usr/sbin:/sbin; losetup -d '" + loop + "'");
        EndToEnd::TearDown();
    }
    // A 1 MiB ext2 file system of 1 KiB blocks, none kept for root (quillo
    // runs as root in CI and would use them). "" once mounted, else why not.
    std::string MountExt2()
    {
        if (geteuid() != 0)
            return "needs root to make and mount an ext2 loop image";
        const std::string q = "'" + image + "'";
        // mkfs.ext2 and losetup live in sbin, which a plain PATH may lack.
        std::string out;
        if (Shell("PATH=$PATH:/usr/sbin:/sbin; { truncate -s 1M " + q +
                      " && mkfs.ext2 -q -F -b 1024 -m 0 " + q + " && mount -o loop " + q + " '" +
                      fs + "'; } 2>&1",
                  &out) != 0)
            return "cannot make and mount an ext2 loop image here: " + FirstLine(out);
        mounted = true;
        return "";
    }
    std::string MountRamfs()
    {
        if (geteuid() != 0)
            return "needs root to mount a ramfs";
        mounted = mount("ramfs", fs.c_str(), "ramfs", 0, nullptr) == 0;
        return mounted ? "" : std::string("cannot mount a ramfs here: ") + std::strerror(errno);
    }
    uint64_t FreeBlocks()
    {
        struct statvfs v;
        statvfs(fs.c_str(), &v);
        return v.f_bavail;
    }
    // Fills the file system until exactly `blocks` 1 KiB blocks are free.
    void LeaveFree(uint64_t blocks)
    {
        const uint64_t free_now = FreeBlocks();
        ASSERT_GT(free_now, blocks + 40);
        // A large file first (its indirect blocks cost a few more), then
        // one-block files, which cost exactly one block each.
        WriteAndSync(fs + "/filler", (free_now - blocks - 40) * 1024);
        for (int i = 0; FreeBlocks() > blocks && i < 100; ++i)
            WriteAndSync(fs + "/small" + std::to_string(i), 1024);
        ASSERT_EQ(FreeBlocks(), blocks);
    }
    static void WriteAndSync(const std::string& path, uint64_t bytes)
    {
        WriteFile(path, std::string(bytes, 'f'));
        const int fd = open(path.c_str(), O_RDONLY);
        fsync(fd);
        close(fd);
    }
    std::string fs, image;
    bool mounted = false;
};

TEST_F(OddFileSystem, Ext2TwoFileTakeThatDoesNotFitIsRefusedUpFront)
{
    if (const std::string why = MountExt2(); !why.empty())
        GTEST_SKIP() << why << ": ext2 test skipped";
    // 6.8 s of 16-bit mono: 74 periods, 606,208 bytes per file. One fits in
    // the 970 free KiB, two do not.
    const uint64_t free_before = FreeBlocks();
    ASSERT_LT(free_before * 1024, 2u * 606208);
    RunResult r = Run({"1644", "6.8", "fast", "2", "fs/l.wav", "fs/r.wav"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Can't reserve 606208 bytes for fs/r.wav: No space left on device\n");
    EXPECT_EQ(ListDir(fs), std::vector<std::string>{"lost+found"});
    EXPECT_EQ(FreeBlocks(), free_before);

    r = Run({"1644", "6.8", "fast", "1", "fs/one.wav"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(ReadFile(fs + "/one.wav").size(), 44u + 606208);
}

TEST_F(OddFileSystem, RamfsTakeIsRecorded)
{
    if (const std::string why = MountRamfs(); !why.empty())
        GTEST_SKIP() << why << ": ramfs test skipped";
    const RunResult r = Run({"1644", "0.5", "fast", "2", "fs/l.wav", "fs/r.wav"});
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(Unwaited(r.err), "");
    EXPECT_TRUE(SameBytes(ReadFile(fs + "/l.wav"),
                          ExpectedHeader(44100, 1, 2, 6 * 4096) + Repeat(Sample(77, 2), 6 * 4096)));
    EXPECT_TRUE(SameBytes(ReadFile(fs + "/r.wav"),
                          ExpectedHeader(44100, 1, 2, 6 * 4096) + Repeat(Sample(5, 2), 6 * 4096)));
}

TEST_F(OddFileSystem, FullDiskInATwoFileTakeLeavesBothFilesWithTheSamePeriods)
{
    if (const std::string why = MountExt2(); !why.empty())
        GTEST_SKIP() << why << ": full disk test skipped";
    // 1 s of 16-bit mono: 11 periods, 90,112 bytes, 88 blocks of data and
    // one more for the header's 44 bytes. Free space says that fits; the
    // indirect block that ext2 needs past 12 blocks makes channel 2's file
    // run out during the take, after channel 1's file got its period.
    LeaveFree(89);
    const RunResult r = Run({"1644", "1", "fast", "2", "l.wav", "fs/r.wav"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Can't write fs/r.wav: No space left on device\n"), std::string::npos)
        << r.err;
    const std::string left = Read("l.wav");
    const std::string right = ReadFile(fs + "/r.wav");
    ASSERT_GE(left.size(), 44u);
    const uint32_t frames = static_cast<uint32_t>((left.size() - 44) / 2);
    EXPECT_EQ(frames % 4096, 0u);
    EXPECT_LT(frames, 11u * 4096);
    EXPECT_GT(frames, 0u);
    char stopped[64];
    std::snprintf(stopped, sizeof stopped, "\nTake stopped after %.2f of 1.02 seconds\n",
                  frames / 44100.0);
    EXPECT_NE(r.out.find(stopped), std::string::npos) << r.out;
    EXPECT_TRUE(
        SameBytes(left, ExpectedHeader(44100, 1, 2, frames) + Repeat(Sample(77, 2), frames)));
    EXPECT_TRUE(
        SameBytes(right, ExpectedHeader(44100, 1, 2, frames) + Repeat(Sample(5, 2), frames)))
        << right.size() << " bytes against " << left.size();

    // Channel 1 into a stream, which cannot be cut back to its partner's
    // periods: the report tells what both hold, not what the stream got.
    unlink((fs + "/r.wav").c_str());
    ASSERT_EQ(FreeBlocks(), 89u);
    const RunResult s = Run({"1644", "1", "fast", "2", "/dev/null", "fs/r.wav"});
    const size_t held = (ReadFile(fs + "/r.wav").size() - 44) / 2;
    std::snprintf(stopped, sizeof stopped, "\nTake stopped after %.2f of 1.02 seconds\n",
                  held / 44100.0);
    EXPECT_NE(s.out.find(stopped), std::string::npos) << s.out;
}

TEST_F(Reserve, TakePastFourGibOnFatIsRefusedBeforeRecording)
{
    // A FAT file holds at most 4 GiB - 1: the file system refuses to reserve
    // 4,304,166,912 bytes however much room it has.
    const std::string fat = Path("fat");
    mkdir(fat.c_str(), 0755);
    std::string out;
    if (Shell("PATH=$PATH:/usr/sbin:/sbin; { mkfs.vfat -C '" + Path("fat.img") +
                  "' 1024 >/dev/null && mount -o loop '" + Path("fat.img") + "' '" + fat +
                  "'; } 2>&1",
              &out) != 0)
        GTEST_SKIP() << "cannot make and loop-mount a vfat image here: " << FirstLine(out)
                     << ": FAT limit test skipped";
    const RunResult r = Run({"1644", "48800", "fast", "1", "fat/take.wav"});
    const std::vector<std::string> left = ListDir(fat);
    umount(fat.c_str());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Can't reserve 4304166912 bytes for fat/take.wav: File too large\n");
    EXPECT_TRUE(left.empty());
}

} // namespace

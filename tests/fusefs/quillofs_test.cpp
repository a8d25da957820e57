// The test file system itself: what goes through it reaches the backing
// folder unchanged, and its stalls, holds, delays and log are what the
// end-to-end tests rely on.
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "e2e.hpp"

namespace {

class QuilloFs : public EndToEnd {
  protected:
    // Opens a file on the mount the way the program does (append).
    int OpenOnDisk(const std::string& name)
    {
        return open((fs->mount_point() + "/" + name).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    std::vector<FsEvent> Find(const std::string& op)
    {
        std::vector<FsEvent> found;
        for (const FsEvent& e : fs->Events())
            if (e.op == op)
                found.push_back(e);
        return found;
    }
};

// The program's own way of writing (append, reservation, header rewritten
// with pwrite after an interrupt) gives the same bytes as on a plain disk.
TEST_F(QuilloFs, InterruptedTakeIsTheSameBytesAsOnAPlainDisk)
{
    MOUNT_OR_SKIP("");
    Devices("pcm.paced { type quillosim paced true signal \"peaks\" left [ 77 ] right [ 5 ] }\n");
    RunOptions o = Options({"1644", "10", "paced", "1", "disk/take.wav"});
    o.signal = SIGINT;
    o.signal_after_text = "rem = ";
    o.signal_after_ms = 500;
    const RunResult r = RunQuillo(o);
    EXPECT_EQ(r.term_signal, SIGINT);
    const std::string bytes = ReadFile(fs->backing() + "/take.wav");
    ASSERT_GT(bytes.size(), 44u);
    const auto frames = static_cast<uint32_t>((bytes.size() - 44) / 2);
    EXPECT_GE(frames, 4096u);
    EXPECT_TRUE(
        SameBytes(bytes, ExpectedHeader(44100, 1, 2, frames) + Repeat(Sample(77, 2), frames)));
    EXPECT_TRUE(SameBytes(ReadFile(Path("disk/take.wav")), bytes));
    // The reservation and the header rewrite went through the file system.
    EXPECT_FALSE(Find("fallocate").empty());
    bool header_rewritten = false;
    for (const FsEvent& e : Find("write"))
        header_rewritten |= e.path() == "/take.wav" && e.Number(1) == 4;
    EXPECT_TRUE(header_rewritten) << ReadFile(Path("quillofs.log"));
}

TEST_F(QuilloFs, StallsOnceWhenTheWrittenBytesPassTheThreshold)
{
    MOUNT_OR_SKIP("stall_after_bytes=100000,stall_ms=700");
    const int fd = OpenOnDisk("f");
    ASSERT_GE(fd, 0);
    const std::string piece(60000, 'x');
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(write(fd, piece.data(), piece.size()), 60000);
    close(fd);
    EXPECT_TRUE(SameBytes(ReadFile(fs->backing() + "/f"), piece + piece + piece));

    std::vector<std::string> order;
    int64_t stall_ms = 0, resume_ms = 0;
    for (const FsEvent& e : fs->Events()) {
        if (e.op == "write")
            order.push_back("write " + e.path() + " " + e.fields.at(1) + " " + e.fields.at(2));
        if (e.op == "stall" || e.op == "resume")
            order.push_back(e.op);
        if (e.op == "stall")
            stall_ms = e.ms;
        if (e.op == "resume")
            resume_ms = e.ms;
    }
    EXPECT_EQ(order, (std::vector<std::string>{"write /f 0 60000", "stall", "resume",
                                               "write /f 60000 60000", "write /f 120000 60000"}));
    EXPECT_GE(resume_ms - stall_ms, 700);
}

TEST_F(QuilloFs, HoldKeepsWritesFromTheBackingFolderUntilReleased)
{
    MOUNT_OR_SKIP("");
    const int fd = OpenOnDisk("f");
    ASSERT_GE(fd, 0);
    fs->Hold(true);
    std::thread writer([fd] { EXPECT_EQ(write(fd, "abc", 3), 3); });
    for (int waited = 0; waited < 10000 && Find("held").empty(); waited += 5)
        usleep(5000);
    EXPECT_FALSE(Find("held").empty()) << "the write never reached the file system";
    EXPECT_TRUE(SameBytes(ReadFile(fs->backing() + "/f"), ""));
    fs->Hold(false);
    writer.join();
    close(fd);
    EXPECT_TRUE(SameBytes(ReadFile(fs->backing() + "/f"), "abc"));
}

TEST_F(QuilloFs, LogsSyncsAndReservationsAndMakesThemSlow)
{
    MOUNT_OR_SKIP("sync_delay_ms=300,fallocate_delay_ms=200");
    const int fd = OpenOnDisk("f");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "abcd", 4), 4);
    const int64_t start = MonotonicMs();
    ASSERT_EQ(fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 1 << 20), 0);
    ASSERT_EQ(fdatasync(fd), 0);
    ASSERT_EQ(fsync(fd), 0);
    const int dir = open(fs->mount_point().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    EXPECT_EQ(fsync(dir), 0);
    close(dir);
    ASSERT_EQ(ftruncate(fd, 2), 0);
    close(fd);
    ASSERT_EQ(unlink(Path("disk/f").c_str()), 0);

    std::vector<std::string> lines;
    std::vector<int64_t> times{start};
    for (const FsEvent& e : fs->Events()) {
        if (e.op == "release")
            continue; // the kernel sends it after close() returns: its place varies
        std::string line = e.op;
        // An fsync's last field is when it was asked for: checked below.
        const size_t shown = e.op == "fsync" ? e.fields.size() - 1 : e.fields.size();
        for (size_t i = 0; i < shown; ++i)
            line += " " + e.fields[i];
        if (e.op == "fsync") {
            EXPECT_LE(e.Number(2), e.ms);
            EXPECT_GE(e.ms - e.Number(2), 300);
        }
        lines.push_back(line);
        if (e.op == "fallocate" || e.op == "fsync" || e.op == "fsyncdir")
            times.push_back(e.ms);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "create /f", "write /f 0 4", "fallocate /f 0 1048576 1", "fsync /f 1",
                         "fsync /f 0", "fsyncdir /", "truncate /f 2", "flush /f", "unlink /f"}));
    ASSERT_EQ(times.size(), 5u);
    EXPECT_GE(times[1] - times[0], 200);
    for (size_t i = 2; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], 300) << i;
    // Every time stamp is on the test's clock, and none is in the future.
    EXPECT_LE(times.back(), MonotonicMs());
}

} // namespace

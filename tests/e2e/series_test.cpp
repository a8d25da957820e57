// Takes across files (--split): exact cuts in every mode, names and their
// times, stop signals, a kill, a full disk and a name that exists.
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <thread>

#include "e2e.hpp"
#include "sim_signal.hpp"

namespace {

// 3 s at 44.1 kHz is 33 periods of 4096 frames.
constexpr int64_t kThreeSeconds = 135168;

class SeriesTake : public EndToEnd {
  protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        Devices("pcm.paced { type quillosim paced true signal \"ramp\" }\n"
                "pcm.fast { type quillosim signal \"ramp\" }\n");
    }
    // The device's frames [first, first + frames) of channel 0 or 1, or of
    // both interleaved (2).
    static std::string Ramp(int channel, int64_t first, int64_t frames, uint32_t size)
    {
        std::string s;
        for (int64_t n = first; n < first + frames; ++n)
            for (int c = 0; c < 2; ++c)
                if (channel == c || channel == 2)
                    s += Sample(SimRampSample(c, static_cast<uint64_t>(n), size), size);
        return s;
    }
    // The files of one channel's series, in order: each header states
    // exactly its frames, all but the last hold `split` frames, and together
    // they are the device's signal from the take's first frame. Returns the
    // frames of the take.
    int64_t CheckSeries(const std::vector<std::string>& names, int channel, int64_t split,
                        uint32_t size = 2)
    {
        const uint32_t channels = channel == 2 ? 2 : 1;
        int64_t first = 0;
        for (size_t i = 0; i < names.size(); ++i) {
            SCOPED_TRACE(names[i]);
            const std::string bytes = Read(names[i]);
            const auto frames = static_cast<int64_t>(bytes.size() - 80) / (channels * size);
            // The last holds 1 to `split` frames.
            EXPECT_EQ(frames, i + 1 < names.size() ? split : std::clamp<int64_t>(frames, 1, split));
            EXPECT_TRUE(SameBytes(bytes, OpenHeader(44100, channels, size, frames) +
                                             Ramp(channel, first, frames, size)));
            first += frames;
        }
        return first;
    }
    // The files whose names match, in the order of their numbers.
    std::vector<std::string> Find(const std::string& name)
    {
        std::string found;
        Shell("cd '" + dir + "' && find . -name '" + name + "' | sort -V", &found);
        return SplitLines(found);
    }
};

TEST_F(SeriesTake, FilesFollowOneAnotherAtExactFramesInEveryMode)
{
    const struct {
        std::string format, split, device, mode;
        int64_t split_frames;
        uint32_t size;
    } cases[] = {
        {"1644", "0.5s", "paced", "1", 22050, 2},
        {"1644", "0.5s", "paced", "2", 22050, 2},
        {"1644", "0.5s", "paced", "s", 22050, 2},
        // Not whole periods; ahead of real time, each write crosses files.
        {"1644", "0.3s", "fast", "1", 13230, 2},
        {"2444", "0.3", "fast", "s", 13230, 3},
    };
    int row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.split + " " + c.device + " mode " + c.mode);
        const std::string stem = "t" + std::to_string(++row);
        std::vector<std::string> args = {"--split", c.split, c.format,     "3",
                                         c.device,  c.mode,  stem + ".wav"};
        if (c.mode == "2")
            args.push_back(stem + "r.wav");
        const RunResult r = Run(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(Unwaited(r.err), "");
        EXPECT_EQ(CheckSeries(Find(stem + "-*.wav"), c.mode == "s" ? 2 : 0, c.split_frames, c.size),
                  kThreeSeconds);
        if (c.mode == "2") {
            EXPECT_EQ(CheckSeries(Find(stem + "r-*.wav"), 1, c.split_frames), kThreeSeconds);
        }
        const int64_t files = (kThreeSeconds + c.split_frames - 1) / c.split_frames;
        EXPECT_TRUE(r.out.ends_with(
            "\nFiles written: " + std::to_string(c.mode == "2" ? 2 * files : files) + "\nDone\n"));
    }
    EXPECT_TRUE(Find("*.part").empty());
}

TEST_F(SeriesTake, NamesTellWhenTheirFirstFrameWasCaptured)
{
    // Five hours behind UTC all year: the names are in local time.
    RunOptions o =
        Options({"--split", "0.5s", "1644", "3", "paced", "1", "%Y/%m/%d/%H%M%S-%03v.wav"});
    o.env = {"TZ=EST5"};
    o.signal_after_text = "rec = ";
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const int64_t real_less_monotonic_ms =
        now.tv_sec * 1000 + now.tv_nsec / 1000000 - MonotonicMs();
    const int64_t before_ms = MonotonicMs() + real_less_monotonic_ms;
    const RunResult r = RunQuillo(o);
    ASSERT_EQ(r.exit_code, 0);
    // The device started after `before_ms`, and its first period had come
    // by the first status line; 100 ms for the reading of our clocks.
    const int64_t seen_ms = r.text_ms + real_less_monotonic_ms + 100;
    const std::vector<std::string> names = Find("*.wav");
    ASSERT_EQ(names.size(), 7u);
    for (int64_t k = 0; k < 7; ++k) {
        SCOPED_TRACE(names[k]);
        std::tm t{};
        ASSERT_EQ(std::sscanf(names[k].c_str(), "./%4d/%2d/%2d/%2d%2d%2d-", &t.tm_year, &t.tm_mon,
                              &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec),
                  6);
        EXPECT_TRUE(names[k].ends_with("-00" + std::to_string(k + 1) + ".wav"));
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        // Its first frame is frame k * 22050, k * 0.5 s into the take.
        const int64_t named_s = timegm(&t) + 5 * 3600;
        EXPECT_GE(named_s, (before_ms + 500 * k) / 1000);
        EXPECT_LE(named_s, (seen_ms + 500 * k) / 1000);
    }
    EXPECT_EQ(CheckSeries(names, 0, 22050), kThreeSeconds);
}

TEST_F(SeriesTake, CtrlCSealsTheFileInProgressAndAKillLeavesItReadable)
{
    RunOptions o = Options({"--split", "0.5s", "1644", "0", "paced", "2", "i.wav", "j.wav"});
    o.signal = SIGINT;
    o.signal_after_text = "rec = ";
    o.signal_after_ms = 1200;
    RunResult r = RunQuillo(o);
    EXPECT_EQ(r.term_signal, SIGINT);
    const size_t files = Find("i-*.wav").size();
    EXPECT_GE(files, 3u); // 1.29 s at least
    const int64_t frames = CheckSeries(Find("i-*.wav"), 0, 22050);
    EXPECT_EQ(CheckSeries(Find("j-*.wav"), 1, 22050), frames);
    EXPECT_EQ(frames % 4096, 0);
    char end[80];
    std::snprintf(end, sizeof end, "\nTake length: %.2f seconds\nFiles written: %zu\nDone\n",
                  frames / 44100.0, 2 * files);
    EXPECT_TRUE(r.out.ends_with(end)) << r.out.substr(r.out.size() - 100);
    EXPECT_TRUE(Find("*.part").empty());

    // A planned take, killed once a sync has stated some of a file after the
    // first (a slow disk may sync none of the second).
    o = Options({"--split", "3s", "1644", "60", "paced", "1", "k.wav"});
    o.signal_after_text = "rec = ";
    bool seen = false;
    o.at_signal = [&] {
        for (const int64_t end = MonotonicMs() + 30000; !seen && MonotonicMs() < end;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const std::vector<std::string> parts = Find("k-*.wav.part");
            const std::string head =
                parts.empty() || parts[0] == "./k-1.wav.part" ? "" : Read(parts[0]);
            seen = head.size() >= 80 && Le32(head, 76) > 0;
        }
    };
    o.signal2 = SIGKILL;
    r = RunQuillo(o);
    EXPECT_EQ(r.term_signal, SIGKILL);
    EXPECT_TRUE(seen) << "no sync within 30 s";
    // Every earlier file final and whole; the one in progress to its sync.
    const std::vector<std::string> finals = Find("k-*.wav"), parts = Find("k-*.wav.part");
    ASSERT_EQ(parts,
              std::vector<std::string>{"./k-" + std::to_string(finals.size() + 1) + ".wav.part"});
    const int64_t first = CheckSeries(finals, 0, 132300);
    EXPECT_EQ(first, 132300 * static_cast<int64_t>(finals.size()));
    const std::string bytes = Read(parts[0]);
    ASSERT_GE(bytes.size(), 80u);
    const uint32_t synced = Le32(bytes, 76) / 2;
    EXPECT_TRUE(SameBytes(bytes.substr(0, 80 + 2 * synced),
                          OpenHeader(44100, 1, 2, synced) + Ramp(0, first, synced, 2)));
    std::string read;
    Shell("python3 -c 'import wave; print(wave.open(\"" + Path(parts[0]) + "\").getnframes())'",
          &read);
    EXPECT_EQ(read, std::to_string(synced) + "\n");
}

// A name that exists, and a full disk: the take ends there, sealed.
TEST_F(SeriesTake, AFileThatCannotBeMadeOrWrittenEndsTheTake)
{
    // A link to nowhere is a name that exists too.
    ASSERT_EQ(symlink("nowhere", Path("e-2.wav").c_str()), 0);
    RunResult r = Run({"--split", "0.5s", "1644", "3", "fast", "1", "e.wav"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(Unwaited(r.err), "Can't open e-2.wav for recording: File exists\n");
    EXPECT_TRUE(r.out.ends_with("\nTake stopped after 0.50 of 3.07 seconds\nFiles written: 1\n"));
    EXPECT_EQ(CheckSeries({"e-1.wav"}, 0, 22050), 22050);
    char target[8] = {};
    EXPECT_EQ(readlink(Path("e-2.wav").c_str(), target, sizeof target), 7);
    EXPECT_TRUE(Find("*.part").empty());

    const std::string small = Path("small");
    mkdir(small.c_str(), 0755);
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a 1 MiB tmpfs";
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a 1 MiB tmpfs here: " << std::strerror(errno);
    // Files of 176,480 bytes: five fit in 1 MiB, then part of a sixth.
    r = Run({"--split", "2s", "1644", "0", "fast", "1", "small/f.wav"});
    const std::vector<std::string> names = Find("f-*.wav");
    const int64_t frames = CheckSeries(names, 0, 88200);
    const uint64_t free_bytes = FreeBytesAt(small);
    umount(small.c_str());
    EXPECT_EQ(r.exit_code, 1);
    ASSERT_EQ(names.size(), 6u);
    EXPECT_EQ(Unwaited(r.err), "Can't write small/f-6.wav: No space left on device\n");
    // Up to the last whole period the disk held: one more needs at most
    // three pages.
    EXPECT_EQ(frames % 4096, 0);
    EXPECT_LT(free_bytes, 8192u + 4096);
    char end[80];
    std::snprintf(end, sizeof end, "\nTake length: %.2f seconds\nFiles written: 6\n",
                  frames / 44100.0);
    EXPECT_TRUE(r.out.ends_with(end)) << r.out.substr(r.out.size() - 100);
}

} // namespace

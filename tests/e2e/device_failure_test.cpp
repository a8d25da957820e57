// What the simulated device refuses or does wrong, and what quillo makes of it.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>

#include <unistd.h>

#include "e2e.hpp"
#include "sim_signal.hpp"

namespace {

class DeviceFailure : public EndToEnd {
  protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        const std::string peaks = " signal \"peaks\" left [ 1 2 3 4 5 6 7 8 9 10 11 12 ] "
                                  "right [ -1 -2 -3 -4 -5 -6 -7 -8 -9 -10 -11 -12 ]";
        Devices("pcm.s16only { type quillosim formats \"S16_LE\" }\n"
                "pcm.rate48 { type quillosim rate 48000 }\n"
                "pcm.nocommit { type quillosim fail_commit true }\n"
                "pcm.p1024 { type quillosim period_frames 1024" +
                peaks +
                " }\n"
                "pcm.overrun { type quillosim overrun_periods [ 2 5 7 ]" +
                peaks +
                " }\n"
                "pcm.suspend { type quillosim suspend_at_period 3" +
                peaks +
                " }\n"
                "pcm.lost { type quillosim lose_at_period 4 log \"" +
                Path("lost.log") + "\"" + peaks +
                " }\n"
                "pcm.stall { type quillosim stall_at_period 3" +
                peaks +
                " }\n"
                "pcm.dies { type quillosim die_at_period 4" +
                peaks +
                " }\n"
                "pcm.again { type quillosim overrun_periods [ 2 3 ]" +
                peaks +
                " }\n"
                "pcm.mono { type quillosim channels 1 }\n"
                "pcm.shm { type quillosim shm_at_open_mib 64 }\n"
                "pcm.pausable { type quillosim paced true signal \"ramp\" }\n"
                "pcm.quiet { type quillosim paced true quiet_overflow true signal \"ramp\" }\n");
    }
    // The data a mono file of channel `c` holds after `periods` device periods
    // of `frames`, with the listed periods lost (silence).
    static std::string Expected(int c, int periods, int frames, uint32_t size,
                                const std::vector<int>& lost = {})
    {
        std::string data;
        for (int k = 0; k < periods; ++k) {
            const bool gone = std::find(lost.begin(), lost.end(), k) != lost.end();
            const int32_t v = gone ? 0 : (c == 0 ? 1 : -1) * (k % 12 + 1);
            data += Repeat(Sample(v, size), static_cast<size_t>(frames));
        }
        return data;
    }
};

TEST_F(DeviceFailure, RefusalsBeforeAnyFileExist)
{
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"2444", "1", "s16only"},
         "Problem setting recording format: Invalid argument (S24_3LE requested, the device "
         "offers S16_LE)\n"},
        {{"1644", "1", "rate48", "2"},
         "Problem setting recording rate: 44100 Hz requested, the device offers 48000 Hz\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = Run(c.args);
        EXPECT_EQ(r.exit_code, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(ListDir(dir).size() == 1) << "only the configuration";
    }
}

// The device period whose 24-bit ramp fills stereo period `j` of a take's
// data, period_frames long; -1 for silence, -2 for anything else.
int64_t RampPeriodAt(const std::string& data, int64_t j, int64_t period_frames)
{
    const auto sample = [&](int64_t frame, int channel) {
        const size_t at = static_cast<size_t>((j * period_frames + frame) * 6 + channel * 3);
        return static_cast<int32_t>(Le32(data.substr(at, 3) + '\0', 0) << 8) >> 8;
    };
    if (sample(0, 0) == 0 && sample(0, 1) == 0) {
        for (int64_t i = 0; i < period_frames; ++i) {
            if (sample(i, 0) != 0 || sample(i, 1) != 0)
                return -2;
        }
        return -1;
    }
    // The ramp does not repeat within 2^24 frames: the first frame tells it.
    for (int64_t k = 0; k < 4096; ++k) {
        if (sample(0, 0) != SimRampSample(0, static_cast<uint64_t>(k * period_frames), 3))
            continue;
        for (int64_t i = 0; i < period_frames; ++i) {
            const uint64_t n = static_cast<uint64_t>(k * period_frames + i);
            if (sample(i, 0) != SimRampSample(0, n, 3) || sample(i, 1) != SimRampSample(1, n, 3))
                return -2;
        }
        return k;
    }
    return -2;
}

// A 6 s stereo take of the 24-bit ramp, paused 2 s about 1.5 s in: exactly
// its planned length, the periods up to the pause in place, at least
// `min_silence` periods of silence, then the device's periods at their true
// positions (within one), consecutive; one overrun reported.
void CheckPausedTake(const RunResult& r, const std::string& bytes, int64_t min_silence)
{
    ASSERT_EQ(bytes.size(), 44u + 65 * 4096 * 6) << "exactly the planned length";
    EXPECT_TRUE(SameBytes(bytes.substr(0, 44), ExpectedHeader(44100, 2, 3, 65 * 4096)));
    const std::string data = bytes.substr(44);
    std::vector<int64_t> held;
    std::string layout = "device periods held:";
    for (int64_t j = 0; j < 65; ++j) {
        held.push_back(RampPeriodAt(data, j, 4096));
        layout += ' ';
        layout += std::to_string(held.back());
    }
    SCOPED_TRACE(layout);
    int64_t j = 0;
    for (; j < 65 && held[j] >= 0; ++j)
        ASSERT_EQ(held[j], j) << "before the pause";
    const int64_t gap_start = j;
    for (; j < 65 && held[j] == -1; ++j) {
    }
    EXPECT_GE(gap_start, 8) << "1.5 s recorded before the pause";
    EXPECT_GE(j - gap_start, min_silence) << "the time unread, rounded";
    ASSERT_LT(j, 65) << "audio after the pause";
    for (int64_t after = j; after < 65; ++after) {
        ASSERT_GE(held[after], after - 1) << "period " << after << " early";
        ASSERT_LE(held[after], after + 1) << "period " << after << " late";
        ASSERT_EQ(held[after], held[j] + (after - j)) << "consecutive after the pause";
    }
    EXPECT_EQ(r.out.find("\nRX\n"), r.out.rfind("\nRX\n")) << r.out;
    EXPECT_NE(r.out.find("\nRX\n"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("\nRecord Overruns = 1\nDone\n")) << r.out;
}

// Devices that are not what quillo expects, and what becomes of the take.
TEST_F(DeviceFailure, OddDevices)
{
    const struct {
        const char* name;
        std::vector<std::string> args;
        int pause_ms; // stopped (SIGSTOP) this long, 1.5 s into the take
        int exit_code;
        std::string err;
        std::function<void(const RunResult&)> check;
        int64_t file_size_limit = -1;
    } cases[] = {
        {"a one-channel device, two files",
         {"1644", "1", "mono", "2"},
         0,
         1,
         "Problem setting recording channels: Invalid argument (2 requested, the device has one "
         "channel: channel mode 1 records it)\n",
         [&](const RunResult& r) {
             EXPECT_EQ(r.out, "");
             EXPECT_EQ(ListDir(dir).size(), 1u) << "only the configuration";
         }},
        {"a one-channel device, one stereo file",
         {"2444", "1", "mono", "s", "given.wav"},
         0,
         1,
         "Problem setting recording channels: Invalid argument (2 requested, the device has one "
         "channel: channel mode 1 records it)\n",
         [&](const RunResult& r) {
             EXPECT_EQ(r.out, "");
             EXPECT_EQ(ListDir(dir).size(), 1u) << "only the configuration";
         }},
        // 6 s at 44100 Hz plans 65 periods of 4096 frames; a pause of 2 s
        // leaves about 21.5 of them unread.
        {"a paced device left unread for 2 s",
         {"2444", "6", "pausable", "s", "paused.wav"},
         2000,
         0,
         "",
         [&](const RunResult& r) { CheckPausedTake(r, Read("paused.wav"), 19); }},
        // The same pause on a device that drops what its full buffer cannot
        // take without a word: the 8 periods it held come first, then the
        // silence of what it dropped.
        {"a paced device that overflows quietly, left unread for 2 s",
         {"2444", "6", "quiet", "s", "quiet.wav"},
         2000,
         0,
         "",
         [&](const RunResult& r) { CheckPausedTake(r, Read("quiet.wav"), 11); }},
        // The client library of a sound server sizes 64 MiB of shared memory
        // at open, past the limit: an error for it, never a death.
        {"a device that sizes shared memory at open, under a file-size limit",
         {"1644", "0.1", "shm", "1", "shm.wav"},
         0,
         0,
         "",
         [&](const RunResult& r) {
             EXPECT_EQ(r.term_signal, 0);
             EXPECT_EQ(Read("shm.wav").size(), 44u + 8192 * 2);
         },
         1 << 20},
        // 3 s plans 33 periods; the pause outlasts the take, so silence fills
        // it to its planned end and no more.
        {"a paced device left unread past the planned end",
         {"2444", "3", "pausable", "s", "capped.wav"},
         2000,
         0,
         "",
         [&](const RunResult& r) {
             const std::string bytes = Read("capped.wav");
             ASSERT_EQ(bytes.size(), 44u + 33 * 4096 * 6) << "exactly the planned length";
             EXPECT_TRUE(SameBytes(bytes.substr(0, 44), ExpectedHeader(44100, 2, 3, 33 * 4096)));
             const std::string data = bytes.substr(44);
             int64_t j = 0;
             for (; j < 33 && RampPeriodAt(data, j, 4096) >= 0; ++j)
                 ASSERT_EQ(RampPeriodAt(data, j, 4096), j) << "before the pause";
             EXPECT_GE(j, 8) << "1.5 s recorded before the pause";
             for (; j < 33; ++j)
                 ASSERT_EQ(RampPeriodAt(data, j, 4096), -1) << "period " << j << " not silent";
             EXPECT_EQ(r.out.find("\nRX\n"), r.out.rfind("\nRX\n")) << r.out;
             EXPECT_NE(r.out.find("\nRX\n\rrem = 0.00 sec\t"), std::string::npos) << r.out;
             EXPECT_TRUE(r.out.ends_with("\nRecord Overruns = 1\nDone\n")) << r.out;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions o = Options(c.args);
        if (c.pause_ms != 0) {
            o.signal = SIGSTOP;
            o.signal_after_text = "Recording";
            o.signal_after_ms = 1500;
            o.signal2 = SIGCONT;
            o.signal2_after_ms = c.pause_ms;
        }
        o.file_size_limit = c.file_size_limit;
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(Unwaited(r.err), c.err);
        c.check(r);
    }
}

TEST_F(DeviceFailure, RefusedCommitPrintsTheFiveLineReport)
{
    const RunResult r = Run({"1644", "1", "nocommit"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(Unwaited(r.err), "");
    const std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "Could not set record hardware parameters:");
    EXPECT_EQ(lines[1], "Returned Driver Parameters:");
    EXPECT_EQ(lines[2], "\tBuf 1\tBuf 2\tRate\tChannels");
    int period = -1, buffer = -1, rate = -1, channels = -1;
    ASSERT_EQ(
        std::sscanf(lines[3].c_str(), "Record\t%d\t%d\t%d\t%d", &period, &buffer, &rate, &channels),
        4)
        << lines[3];
    EXPECT_EQ(lines[3], "Record\t" + std::to_string(period) + "\t" + std::to_string(buffer) + "\t" +
                            std::to_string(rate) + "\t" + std::to_string(channels));
    EXPECT_EQ(lines[4], "-------------------------");
    EXPECT_TRUE(ListDir(dir).size() == 1) << "only the configuration";
}

TEST_F(DeviceFailure, GrantedPeriodOf1024PlansAndWritesIn1024FramePeriods)
{
    // 0.1 s at 44100 Hz is 4410 frames: 5 periods of 1024.
    const RunResult r = Run({"1644", "0.1", "p1024", "2", "l.wav", "r.wav"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(
        SameBytes(Read("l.wav"), ExpectedHeader(44100, 1, 2, 5120) + Expected(0, 5, 1024, 2)));
    EXPECT_TRUE(
        SameBytes(Read("r.wav"), ExpectedHeader(44100, 1, 2, 5120) + Expected(1, 5, 1024, 2)));
    const std::vector<std::string> pieces = SplitStatus(r.out);
    ASSERT_EQ(pieces.size(), 1u + 5 + 3 + 1);
    EXPECT_EQ(pieces[1].substr(0, 15), "rem = 0.09 sec\t");
    EXPECT_EQ(pieces[5].substr(0, 15), "rem = 0.00 sec\t");
}

TEST_F(DeviceFailure, OverrunsAreCountedAndTheirPeriodsAreSilence)
{
    // A quiet take shows the same RX lines and count, without status lines.
    for (const bool quiet : {false, true}) {
        // 0.92 s at 44100 Hz plans 10 periods.
        std::vector<std::string> args = {"2444", "0.92", "overrun", "2", "l.wav", "r.wav"};
        if (quiet)
            args.insert(args.begin(), "--quiet");
        const RunResult r = Run(args);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::vector<int> lost = {2, 5, 7};
        EXPECT_TRUE(SameBytes(Read("l.wav"),
                              ExpectedHeader(44100, 1, 3, 40960) + Expected(0, 10, 4096, 3, lost)));
        EXPECT_TRUE(SameBytes(Read("r.wav"),
                              ExpectedHeader(44100, 1, 3, 40960) + Expected(1, 10, 4096, 3, lost)));
        size_t rx = 0;
        for (size_t at = r.out.find("\nRX\n"); at != std::string::npos;
             at = r.out.find("\nRX\n", at + 1))
            ++rx;
        EXPECT_EQ(rx, 3u);
        EXPECT_TRUE(r.out.ends_with("\nRecord Overruns = 3\nDone\n")) << r.out;
        EXPECT_EQ(r.out.find('\r') == std::string::npos, quiet) << r.out;
        unlink(Path("l.wav").c_str());
        unlink(Path("r.wav").c_str());
    }
}

TEST_F(DeviceFailure, SuspendIsRecoveredAndCountedLikeAnOverrun)
{
    const RunResult r = Run({"1644", "0.92", "suspend", "1", "l.wav"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(SameBytes(Read("l.wav"),
                          ExpectedHeader(44100, 1, 2, 40960) + Expected(0, 10, 4096, 2, {3})));
    EXPECT_TRUE(r.out.ends_with("\nRecord Overruns = 1\nDone\n")) << r.out;
}

// A device that is gone ends the take at once, sealed, exit 1 and no "Done":
// a lost kernel device, a sound server that died (the overrun it reports
// cannot be restarted), and a device that overruns again at once after its
// restart. Never silence for the rest of the take.
TEST_F(DeviceFailure, LostDeviceLeavesTheWrittenPeriodsWithMatchingHeaders)
{
    const struct {
        std::vector<std::string> args;
        std::string err;
        int periods;
        std::vector<int> silent;
        std::string report;
    } cases[] = {
        {{"1644", "0.92", "lost", "2", "l.wav", "r.wav"},
         "Capture device failed: No such device\n",
         4,
         {},
         "\nTake stopped after 0.37 of 0.93 seconds\n"},
        {{"1644", "0.92", "dies", "2", "l.wav", "r.wav"},
         "Capture device failed: cannot restart after an overrun: Input/output error\n",
         4,
         {},
         "\nTake stopped after 0.37 of 0.93 seconds\n"},
        {{"1644", "0", "dies", "2", "l.wav", "r.wav"},
         "Capture device failed: cannot restart after an overrun: Input/output error\n",
         4,
         {},
         "\nTake length: 0.37 seconds\n"},
        {{"1644", "0.92", "again", "2", "l.wav", "r.wav"},
         "Capture device failed: it overruns again with no frames since the last overrun\n",
         3,
         {2},
         "\nRX\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[2] + " " + c.args[1]);
        // A take that wrote silence for ever would fail here, not fill the disk.
        RunOptions o = Options(c.args);
        o.file_size_limit = 1 << 24;
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(Unwaited(r.err), c.err);
        const uint32_t frames = static_cast<uint32_t>(c.periods) * 4096;
        const std::string header = c.args[1] == "0" ? OpenHeader(44100, 1, 2, frames)
                                                    : ExpectedHeader(44100, 1, 2, frames);
        for (int ch = 0; ch < 2; ++ch) {
            EXPECT_TRUE(SameBytes(Read(ch == 0 ? "l.wav" : "r.wav"),
                                  header + Expected(ch, c.periods, 4096, 2, c.silent)));
        }
        EXPECT_NE(r.out.find(c.report), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Done"), std::string::npos);
        unlink(Path("l.wav").c_str());
        unlink(Path("r.wav").c_str());
    }
    // A lost device answers drop and drain itself; only the close reaches it.
    const std::string log = Read("lost.log");
    EXPECT_TRUE(log.ends_with("lost 4\nclose\n")) << log;
}

TEST_F(DeviceFailure, StalledDeviceEndsTheTakeAfterFiveSeconds)
{
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = Run({"1644", "0.92", "stall", "s", "st.wav"});
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_FALSE(r.timed_out);
    EXPECT_LT(seconds, 30);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(Unwaited(r.err), "Capture device failed: no frames for 5 seconds\n");
    const std::string bytes = Read("st.wav");
    ASSERT_EQ(bytes.size(), 44u + 3 * 4096 * 4);
    EXPECT_TRUE(SameBytes(bytes.substr(0, 44), ExpectedHeader(44100, 2, 2, 3 * 4096)));
}

} // namespace

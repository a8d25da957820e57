// Takes that end before their planned length: Ctrl-C, SIGTERM, a file-size
// limit, and standard output closed from the start.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "e2e.hpp"

namespace {

class EarlyEnd : public EndToEnd {
  protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        Devices("pcm.paced { type quillosim paced true signal \"peaks\" left [ 1000 2000 3000 ] "
                "right [ -7 -8 ] log \"" +
                Path("device.log") +
                "\" }\n"
                "pcm.fast { type quillosim signal \"peaks\" left [ 1000 2000 3000 ] "
                "right [ -7 -8 ] }\n"
                "pcm.clip { type quillosim paced true signal \"peaks\" left [ 32767 ] }\n"
                "pcm.fastclip { type quillosim period_frames 1024 signal \"peaks\" "
                "left [ 32767 ] }\n");
    }
    static std::string Data(int channel, int periods, uint32_t size = 2)
    {
        std::string data;
        for (int k = 0; k < periods; ++k) {
            const int32_t v = channel == 0 ? 1000 * (k % 3 + 1) : -(7 + k % 2);
            data += Repeat(Sample(v, size), 4096);
        }
        return data;
    }
    // The whole periods a file holds, after checking that its header states
    // exactly its length.
    int CheckedPeriods(const std::string& name, uint32_t channels, uint32_t rate_hz = 44100)
    {
        const std::string bytes = Read(name);
        const size_t frame_bytes = 2 * channels;
        EXPECT_GE(bytes.size(), 44u);
        EXPECT_EQ((bytes.size() - 44) % (4096 * frame_bytes), 0u) << name;
        const auto frames = static_cast<uint32_t>((bytes.size() - 44) / frame_bytes);
        EXPECT_TRUE(SameBytes(bytes.substr(0, 44), ExpectedHeader(rate_hz, channels, 2, frames)))
            << name;
        // An independent reader agrees on the length.
        std::string samples;
        EXPECT_EQ(Shell("soxi -s '" + Path(name) + "'", &samples), 0);
        EXPECT_EQ(samples, std::to_string(frames) + "\n") << name;
        return static_cast<int>(frames / 4096);
    }
    void CheckStoppedRun(const RunResult& r, int signal, int periods)
    {
        EXPECT_EQ(r.term_signal, signal) << r.out << r.err;
        EXPECT_EQ(Unwaited(r.err), "");
        char line[96];
        std::snprintf(line, sizeof line, "\nTake stopped after %.2f of 10.03 seconds\nDone\n",
                      periods * 4096 / 44100.0);
        EXPECT_TRUE(r.out.ends_with(line)) << r.out;
        EXPECT_NE(r.out.find("\n\nInput Channel Peaks:\n"), std::string::npos);
        const std::string log = Read("device.log");
        EXPECT_NE(log.find("stop"), std::string::npos) << log;
        EXPECT_EQ(log.find("drain"), std::string::npos) << log;
        EXPECT_TRUE(log.ends_with("close\n")) << log;
    }
};

TEST_F(EarlyEnd, CtrlCLeavesValidFilesOfWholePeriodsInEveryMode)
{
    for (const std::string mode : {"1", "2", "s"}) {
        SCOPED_TRACE("mode " + mode);
        std::vector<std::string> args = {"1644", "10", "paced", mode, "a.wav"};
        if (mode == "2")
            args.push_back("b.wav");
        RunOptions o = Options(args);
        o.signal = SIGINT;
        o.signal_after_text = "rem = ";
        o.signal_after_ms = 1000;
        const RunResult r = RunQuillo(o);
        const int periods = CheckedPeriods("a.wav", mode == "s" ? 2 : 1);
        // About 12 periods in 1.1 s, what a busy machine adds, far short of 108.
        EXPECT_GE(periods, 3);
        EXPECT_LE(periods, 20);
        CheckStoppedRun(r, SIGINT, periods);
        if (mode == "2") {
            EXPECT_EQ(CheckedPeriods("b.wav", 1), periods);
            EXPECT_TRUE(SameBytes(Read("b.wav").substr(44), Data(1, periods)));
        }
        if (mode != "s") {
            EXPECT_TRUE(SameBytes(Read("a.wav").substr(44), Data(0, periods)));
        }
        for (const char* f : {"a.wav", "b.wav", "device.log"})
            std::remove(Path(f).c_str());
    }
}

TEST_F(EarlyEnd, CtrlCTurnsAnRf64TakeIntoRiffWithJunkThatPythonReads)
{
    // Planned past 4 GiB: an 80-byte RF64 header, and 4.3 GB reserved.
    SPACE_OR_SKIP(uint64_t{4304166992}, "reserving a 4.3 GB take");
    RunOptions o = Options({"1644", "48800", "paced", "1", "a.wav"});
    o.signal = SIGINT;
    o.signal_after_text = "rem = ";
    o.signal_after_ms = 1000;
    const RunResult r = RunQuillo(o);
    EXPECT_EQ(r.term_signal, SIGINT);
    const std::string bytes = Read("a.wav");
    ASSERT_GE(bytes.size(), 80u);
    const uint32_t data = static_cast<uint32_t>(bytes.size() - 80);
    const int periods = static_cast<int>(data / 8192);
    EXPECT_EQ(data % 8192, 0u);
    EXPECT_GE(periods, 3);
    EXPECT_LE(periods, 20);
    char line[96];
    std::snprintf(line, sizeof line, "\nTake stopped after %.2f of 48800.08 seconds\nDone\n",
                  periods * 4096 / 44100.0);
    EXPECT_TRUE(r.out.ends_with(line)) << r.out;

    const std::string fmt = ExpectedHeader(44100, 1, 2, 0).substr(12, 24);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(Le32(bytes, 4), bytes.size() - 8);
    EXPECT_EQ(bytes.substr(8, 12), std::string("WAVEJUNK\x1C\0\0\0", 12));
    EXPECT_EQ(bytes.substr(48, 28), fmt + "data");
    EXPECT_EQ(Le32(bytes, 76), data);
    EXPECT_TRUE(SameBytes(bytes.substr(80), Data(0, periods)));
    std::string frames;
    EXPECT_EQ(
        Shell("python3 -c 'import wave; print(wave.open(\"" + Path("a.wav") + "\").getnframes())'",
              &frames),
        0);
    EXPECT_EQ(frames, std::to_string(periods * 4096) + "\n");
}

// Every signal whose default action ends a process and that a process may
// catch, but the two a take ignores (SIGPIPE, SIGXFSZ); SIGABRT, SIGSEGV and
// the like as another process sends them (kill): a request, not a fault.
std::vector<int> StopSignals()
{
    std::vector<int> signals;
    for (int s = 1; s <= SIGRTMAX; ++s) {
        const bool ends = s != SIGKILL && s != SIGSTOP && s != SIGTSTP && s != SIGTTIN &&
                          s != SIGTTOU && s != SIGCHLD && s != SIGCONT && s != SIGURG &&
                          s != SIGWINCH && (s <= SIGSYS || s >= SIGRTMIN); // glibc's own between
        if (ends && s != SIGPIPE && s != SIGXFSZ)
            signals.push_back(s);
    }
    return signals;
}

class StopSignal : public EarlyEnd, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, EndsTheTakeLikeCtrlC)
{
    RunOptions o = Options({"1644", "10", "paced", "2", "a.wav", "b.wav"});
    o.signal = GetParam();
    o.signal_after_text = "rem = ";
    o.signal_after_ms = 100;
    const RunResult r = RunQuillo(o);
    const int periods = CheckedPeriods("a.wav", 1);
    EXPECT_EQ(CheckedPeriods("b.wav", 1), periods);
    EXPECT_TRUE(SameBytes(Read("a.wav").substr(44), Data(0, periods)));
    CheckStoppedRun(r, GetParam(), periods);
}

INSTANTIATE_TEST_SUITE_P(Every, StopSignal, ::testing::ValuesIn(StopSignals()),
                         [](const ::testing::TestParamInfo<int>& info) {
                             std::string name = SignalName(info.param);
                             std::replace(name.begin(), name.end(), '+', '_');
                             return name;
                         });

TEST_F(EarlyEnd, SignalsIgnoredAtTheStartStayIgnored)
{
    for (const int signal : {SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        RunOptions o = Options({"1644", "1", "paced", "1", "a.wav"});
        o.ignored_signals = {signal};
        o.signal = signal;
        o.signal_after_text = "rem = ";
        o.signal_after_ms = 200;
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_TRUE(r.out.ends_with("Done\n"));
        EXPECT_TRUE(SameBytes(Read("a.wav").substr(44), Data(0, 11)));
        std::remove(Path("a.wav").c_str());
    }
}

TEST_F(EarlyEnd, AStatusReaderThatGoesAwayCostsTheTakeNothing)
{
    RunOptions o = Options({"1644", "1", "paced", "2", "a.wav", "b.wav"});
    o.stdout_close_after = 1;
    const RunResult r = RunQuillo(o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(Unwaited(r.err), "");
    EXPECT_EQ(CheckedPeriods("a.wav", 1), 11);
    EXPECT_TRUE(SameBytes(Read("a.wav").substr(44), Data(0, 11)));
    EXPECT_TRUE(SameBytes(Read("b.wav").substr(44), Data(1, 11)));

    // Gone just as Ctrl-C arrives: the take is still sealed as after Ctrl-C.
    o = Options({"1644", "10", "paced", "1", "c.wav"});
    o.signal = SIGINT;
    o.signal_after_text = "rem = ";
    o.signal_after_ms = 500;
    o.stdout_close_at_signal = true;
    const RunResult stopped = RunQuillo(o);
    EXPECT_EQ(stopped.term_signal, SIGINT);
    const int periods = CheckedPeriods("c.wav", 1);
    EXPECT_GE(periods, 3);
    EXPECT_TRUE(SameBytes(Read("c.wav").substr(44), Data(0, periods)));
}

TEST_F(EarlyEnd, ATerminalThatTakesNoTextHoldsUpNothing)
{
    // A one-page pipe fills after about 2.7 s of 96 kHz status lines and is
    // then left unread for 2.3 s, far beyond the device buffer.
    const RunResult free_run = Run({"1696", "6", "paced", "2", "a.wav", "b.wav"});
    ASSERT_EQ(free_run.exit_code, 0);
    RunOptions o = Options({"1696", "6", "paced", "2", "c.wav", "d.wav"});
    o.stdout_pipe_bytes = 4096;
    o.stdout_unread_ms = 5000;
    const RunResult blocked = RunQuillo(o);
    EXPECT_EQ(blocked.exit_code, 0);
    EXPECT_EQ(blocked.out, free_run.out);
    EXPECT_EQ(blocked.out.find("RX"), std::string::npos);
    EXPECT_TRUE(SameBytes(Read("c.wav"), Read("a.wav")));
    EXPECT_TRUE(SameBytes(Read("d.wav"), Read("b.wav")));

    // Ctrl-C while the terminal is blocked still ends the take at once, 6 s
    // after the start: 140 periods, less what a slow start costs (up to
    // 2.5 s), far more than the 63 of a take held up by the full pipe.
    o = Options({"1696", "10", "paced", "1", "e.wav"});
    o.stdout_pipe_bytes = 4096;
    o.stdout_unread_ms = 8000;
    o.signal = SIGINT;
    o.signal_after_ms = 6000;
    const RunResult stopped = RunQuillo(o);
    EXPECT_EQ(stopped.term_signal, SIGINT);
    const int periods = CheckedPeriods("e.wav", 1, 96000);
    EXPECT_GE(periods, 80);
    EXPECT_LE(periods, 150);
    EXPECT_TRUE(SameBytes(Read("e.wav").substr(44), Data(0, periods)));
    EXPECT_EQ(stopped.out.find("RX"), std::string::npos);
}

TEST_F(EarlyEnd, AStalledTerminalNeverHoldsASealedTakeNorDropsItsReport)
{
    // A take that warns every period, into a pipe never read: once the take
    // is sealed, SIGTERM ends the waiting for the terminal at once (a hung
    // process is killed at the time-out instead). The signal comes 3 s after
    // the take's end, time for a slow start and seal.
    const uint32_t frames = 71 * 4096; // 3 s at 96 kHz
    RunOptions o = Options({"1696", "3", "clip", "1", "f.wav"});
    o.stdout_pipe_bytes = 4096;
    o.stdout_unread_ms = 9000;
    o.signal = SIGTERM;
    o.signal_after_ms = 6000;
    o.timeout_ms = 8000;
    const RunResult held = RunQuillo(o);
    EXPECT_EQ(held.term_signal, SIGTERM);
    EXPECT_TRUE(SameBytes(Read("f.wav"),
                          ExpectedHeader(96000, 1, 2, frames) + Repeat(Sample(32767, 2), frames)));

    // Read only after a fast take that warned every period, far more than
    // the terminal queue holds: the warnings beyond it are counted, and the
    // report and "Done" are all there.
    o = Options({"1644", "20", "fastclip", "1", "g.wav"});
    o.stdout_pipe_bytes = 4096;
    o.stdout_unread_ms = 11000;
    const RunResult late = RunQuillo(o);
    EXPECT_EQ(late.exit_code, 0);
    const std::string count = " warning lines were not shown: the terminal took no text\n\n\n";
    const size_t at = late.out.find(count);
    ASSERT_NE(at, std::string::npos);
    EXPECT_TRUE(
        late.out.ends_with(count + "Input Channel Peaks:\n\tchannel 1: -0.00 dBFS\nDone\n"));
    // Those shown and those counted are one per period: 862 of 1024 frames.
    size_t shown = 0;
    for (size_t w = 0; (w = late.out.find("Input Channel 1 is Peaking!", w + 1)) < at;)
        ++shown;
    EXPECT_EQ(shown + std::stoul(late.out.substr(late.out.rfind('\n', at) + 1)), 862u);
}

// Duration 0 records until stopped: the stop is the take's normal end, with
// its report and "Done", and then the process ends by the signal.
TEST_F(EarlyEnd, OpenLengthTakeRunsUntilStopped)
{
    const struct {
        int signal;
        std::string mode;
        std::vector<std::string> files;
    } cases[] = {{SIGINT, "s", {"st.wav"}}, {SIGTERM, "2", {"a.wav", "b.wav"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        std::vector<std::string> args = {"1644", "0", "paced", c.mode};
        args.insert(args.end(), c.files.begin(), c.files.end());
        RunOptions o = Options(args);
        o.signal = c.signal;
        o.signal_after_text = "rec = ";
        o.signal_after_ms = 2000;
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.term_signal, c.signal) << r.out << r.err;
        EXPECT_EQ(r.out.find("rem = "), std::string::npos);
        const uint32_t channels = c.mode == "s" ? 2 : 1;
        const std::string bytes = Read(c.files[0]);
        ASSERT_GE(bytes.size(), 80u);
        const auto periods = static_cast<int>((bytes.size() - 80) / (4096 * 2 * channels));
        EXPECT_GE(periods, 15);
        char end[64];
        std::snprintf(end, sizeof end, "\nTake length: %.2f seconds\nDone\n",
                      periods * 4096 / 44100.0);
        EXPECT_TRUE(r.out.ends_with(end)) << r.out.substr(r.out.size() - 100);
        const std::string left = Data(0, periods), right = Data(1, periods);
        std::string data = left;
        if (channels == 2) {
            data.clear();
            for (size_t at = 0; at < right.size(); at += 2)
                data += left.substr(at, 2) + right.substr(at, 2);
        }
        EXPECT_TRUE(SameBytes(bytes, OpenHeader(44100, channels, 2, periods * 4096) + data));
        if (c.files.size() == 2) {
            EXPECT_TRUE(SameBytes(Read(c.files[1]),
                                  OpenHeader(44100, 1, 2, periods * 4096) + Data(1, periods)));
        }
    }
}

// While a take of open length runs, and after it is killed, the header of
// each file (mode 2: two) states whole periods that it holds, and other
// readers open it.
TEST_F(EarlyEnd, OpenLengthHeaderIsRightDuringTheTakeAndAfterAKill)
{
    const std::string names[2] = {"k.wav", "k2.wav"};
    const auto check = [&](const std::string& bytes, int channel) {
        SCOPED_TRACE(names[channel] + ", " + std::to_string(bytes.size()) + " bytes");
        ASSERT_GE(bytes.size(), 80u);
        const uint32_t data = Le32(bytes, 76);
        EXPECT_EQ(data % 8192, 0u);
        EXPECT_GE(data, 8192u);
        EXPECT_LE(data, bytes.size() - 80);
        EXPECT_TRUE(SameBytes(bytes.substr(0, 80), OpenHeader(44100, 1, 2, data / 2)));
        EXPECT_TRUE(
            SameBytes(bytes.substr(80, data), Data(channel, static_cast<int>(data / 8192))));
        const std::string copy = Path("copy.wav");
        WriteFile(copy, bytes);
        std::string frames, samples;
        EXPECT_EQ(Shell("python3 -c 'import wave; print(wave.open(\"" + copy + "\").getnframes())'",
                        &frames),
                  0);
        EXPECT_EQ(frames, std::to_string(data / 2) + "\n");
        EXPECT_EQ(Shell("soxi -s '" + copy + "'", &samples), 0);
        EXPECT_EQ(samples, std::to_string(data / 2) + "\n");
    };
    RunOptions o = Options({"1644", "0", "paced", "2", names[0], names[1]});
    o.signal = SIGKILL;
    o.signal_after_text = "rec = ";
    o.signal_after_ms = 3500;
    std::string during[2];
    std::thread reader([&] {
        // After the first sync each header states what reached the disk.
        const auto synced = [&](int c) {
            return during[c].size() >= 80 && Le32(during[c], 76) > 0;
        };
        for (int i = 0; i < 1000 && !(synced(0) && synced(1)); ++i) {
            for (int c = 0; c < 2; ++c)
                if (!synced(c))
                    during[c] = Read(names[c]);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const RunResult r = RunQuillo(o);
    reader.join();
    EXPECT_EQ(r.term_signal, SIGKILL);
    for (int c = 0; c < 2; ++c) {
        check(during[c], c);
        check(Read(names[c]), c);
    }
}

TEST_F(EarlyEnd, FileSizeLimitRefusesTheTakeBeforeRecording)
{
    // "2" is 22 periods of 16-bit mono: 180,224 bytes of data, 180,268 with
    // the header, one byte past the limit. "48800" passes it by far, and a
    // limit of 50 bytes cannot even hold its 80-byte header: the process
    // must survive that first write.
    const struct {
        const char* seconds;
        int64_t limit;
        std::string err;
    } cases[] = {
        {"2", 44 + 180224 - 1, "Can't reserve 180224 bytes for lim.wav: File too large\n"},
        {"48800", 44 + 180224 - 1, "Can't reserve 4304166912 bytes for lim.wav: File too large\n"},
        {"48800", 50, "Can't write lim.wav: File too large\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        RunOptions o = Options({"1644", c.seconds, "fast", "1", "lim.wav"});
        o.file_size_limit = c.limit;
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.term_signal, 0);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(FileExists(Path("lim.wav")));
    }
}

TEST_F(EarlyEnd, ClosedStandardOutputNeverReachesTheRecording)
{
    RunOptions o = Options({"1644", "0.5", "fast", "2", "a.wav", "b.wav"});
    o.stdout_closed = true;
    const RunResult r = RunQuillo(o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(CheckedPeriods("a.wav", 1), 6);
    EXPECT_TRUE(SameBytes(Read("a.wav").substr(44), Data(0, 6)));
    EXPECT_TRUE(SameBytes(Read("b.wav").substr(44), Data(1, 6)));
}

TEST_F(EarlyEnd, ClosedStandardInputAtAPromptIsExit)
{
    WriteFile(Path("a.wav"), "keep");
    RunOptions o = Options({"1644", "0.5", "fast", "1", "a.wav"});
    o.stdin_closed = true;
    const RunResult r = RunQuillo(o);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(SameBytes(Read("a.wav"), "keep"));
}

} // namespace

// Takes through a real sound server: a private PipeWire daemon plays a frame
// counter into a null sink, and quillo records its monitor through the
// `pulse` plugin (interleaved access only) and the `pipewire` plugin.
#include <algorithm>
#include <csignal>
#include <cstdlib>

#include "e2e.hpp"
#include "sound_server.hpp"

namespace {

constexpr size_t kPeriodFrames = 4096;  // what quillo asks of every device
constexpr size_t kBufferFrames = 32768; // ... and its buffer
// Silence the server itself gives a new stream before its audio: a cycle
// or two (8192 frames each, see sound_server.cpp) on a busy machine; more
// would leave too little take to check.
constexpr size_t kStartSilenceFrames = 3 * 8192;
constexpr uint32_t kRate = SoundServer::kRateHz;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// LeakSanitizer scans the whole heap (the pulse client's 64 MiB pool too)
// before the process ends: 0.36 s was seen; ThreadSanitizer's own work at
// exit, 0.22 s on a busy machine.
constexpr int64_t kDoneToExitMs = 1000;
#else
constexpr int64_t kDoneToExitMs = 200;
#endif

std::string Tail(const std::string& out)
{
    return out.substr(out.size() > 300 ? out.size() - 300 : 0);
}

class SoundServerTake : public EndToEnd {
  protected:
    void TearDown() override
    {
        server.reset();
        EndToEnd::TearDown();
    }
    // The server, started unless it runs, or false with the reason; a
    // device's row skips where its plugin is missing.
    bool Start(const std::string& device, std::string* why_not)
    {
        if (server == nullptr)
            server = SoundServer::Start(Path("server"), why_not);
        if (server != nullptr && device == "pw")
            *why_not = server->pipewire_plugin_missing();
        return server != nullptr && why_not->empty();
    }
    RunOptions ServerOptions(std::vector<std::string> args)
    {
        RunOptions o = Options(std::move(args));
        o.alsa_config.clear();
        o.alsa_config = server->alsa_config();
        o.env = server->environment();
        // Under ThreadSanitizer: the plugins' own threads and locks, which
        // it cannot see synchronise, are not quillo's.
        const char* tsan = std::getenv("TSAN_OPTIONS");
        o.env.push_back(std::string("TSAN_OPTIONS=") + (tsan != nullptr ? tsan : "") +
                        ":suppressions=" + QUILLO_SOURCE_DIR + "/tests/tsan-sound-server.supp");
        o.timeout_ms = 30000;
        return o;
    }
    std::unique_ptr<SoundServer> server;
};

// Starts a server for the row, or skips the test saying why.
#define SERVER_OR_SKIP(device)                                                                     \
    do {                                                                                           \
        std::string why;                                                                           \
        if (!Start(device, &why))                                                                  \
            GTEST_SKIP() << "no sound server for `" << device << "`: " << why;                     \
    } while (0)

TEST_F(SoundServerTake, PlannedTakesHoldTheCounterExactlyAndEndAtDone)
{
    const struct {
        std::string device, mode;
    } cases[] = {{"srv", "s"}, {"srv", "2"}, {"pw", "s"}, {"pw", "2"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device + " mode " + c.mode);
        SERVER_OR_SKIP(c.device);
        unlink(Path("a.wav").c_str());
        unlink(Path("b.wav").c_str());
        std::vector<std::string> args = {"1648", "2", c.device, c.mode, "a.wav"};
        if (c.mode == "2")
            args.push_back("b.wav");
        RunOptions o = ServerOptions(args);
        o.signal_after_text = "Done\n";
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        if (r.exit_code != 0)
            continue; // the next row may still show how it fails
        EXPECT_EQ(Unwaited(r.err), "");
        EXPECT_TRUE(r.out.ends_with("\nDone\n"));
        EXPECT_LE(r.exit_ms - r.text_ms, kDoneToExitMs) << "from Done to the end of the process";
        // 2 s plans 24 periods.
        const uint32_t frames = 24 * kPeriodFrames, channels = c.mode == "s" ? 2 : 1;
        const std::string a = Read("a.wav"), b = Read("b.wav");
        ASSERT_TRUE(SameBytes(a.substr(0, 44), ExpectedHeader(kRate, channels, 2, frames)));
        ASSERT_EQ(a.size(), 44 + frames * channels * 2);
        const std::vector<uint32_t> counters =
            c.mode == "s" ? Counters(a.substr(44)) : Counters(a.substr(44), b.substr(44));
        const std::vector<CounterStretch> s = Stretches(counters);
        const std::string all = Describe(s, counters.size());
        if (!kLateReads) {
            ASSERT_EQ(s.size(), 1u) << all;
        } else if (s.size() > 1) { // a late read's loss is told, and keeps its time
            EXPECT_NE(r.out.find("\nRX\n"), std::string::npos) << "a loss not told; " << all;
        }
        EXPECT_LE(s[0].at, kStartSilenceFrames) << all;
        EXPECT_EQ(s.back().at + s.back().frames, frames) << all;
        for (size_t i = 1; i < s.size(); ++i) {
            const int64_t lost =
                int64_t{s[i].first} - int64_t{s[i - 1].first} - int64_t(s[i - 1].frames);
            const int64_t silent = int64_t(s[i].at) - int64_t(s[i - 1].at + s[i - 1].frames);
            EXPECT_GT(lost, 0) << "repeated audio; " << all;
            EXPECT_LE(std::abs(lost - silent), int64_t{kBufferFrames}) << "off its time; " << all;
        }
    }
}

TEST_F(SoundServerTake, ServerKilledMidTakeEndsItAsALostDevice)
{
    const struct {
        std::string device, seconds;
    } cases[] = {{"srv", "30"}, {"srv", "0"}, {"pw", "30"}, {"pw", "0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device + " for " + c.seconds + " s");
        SERVER_OR_SKIP(c.device);
        unlink(Path("k.wav").c_str());
        RunOptions o = ServerOptions({"1648", c.seconds, c.device, "s", "k.wav"});
        int64_t killed_ms = -1;
        o.signal_after_text = "Recording";
        o.signal_after_ms = 3000;
        o.at_signal = [&] {
            killed_ms = MonotonicMs();
            server->Kill();
        };
        // A take that went on writing silence stops at the limit.
        o.file_size_limit = int64_t{256} << 20;
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_EQ(r.out.find("Done"), std::string::npos) << Tail(r.out);
        EXPECT_NE(r.err.find("Capture device failed: "), std::string::npos) << r.err;
        EXPECT_GT(killed_ms, 0) << "the take never started";
        if (killed_ms < 0)
            continue;
        EXPECT_LE(r.exit_ms - killed_ms, 2000) << "from the server's death to the end of quillo";
        // Sealed: the header states what the file holds.
        const std::string k = Read("k.wav");
        const size_t header = c.seconds == "0" ? 80 : 44;
        ASSERT_GE(k.size(), header);
        const auto frames = static_cast<uint32_t>((k.size() - header) / 4);
        EXPECT_TRUE(SameBytes(k.substr(0, header), header == 80
                                                       ? OpenHeader(kRate, 2, 2, frames)
                                                       : ExpectedHeader(kRate, 2, 2, frames)));
        // Exact up to the death, then at most about a period of silence: the
        // overrun that told of it stands for the time since the last read,
        // a period, or two where the capture ran late (a busy machine, a
        // sanitizer's build).
        const std::vector<uint32_t> counters = Counters(k.substr(header));
        const std::vector<CounterStretch> s = Stretches(counters);
        ASSERT_EQ(s.size(), 1u) << Describe(s, frames);
        EXPECT_LE(s[0].at, kStartSilenceFrames) << Describe(s, frames);
        EXPECT_GE(s[0].frames, 2 * kRate) << "the 3 s before the kill";
        EXPECT_LE(frames - (s[0].at + s[0].frames), 2 * kPeriodFrames) << Describe(s, frames);
        server.reset(); // the next row starts another
    }
}

TEST_F(SoundServerTake, StoppedReaderLosesAudioAsAnOverrunAndKeepsItsTimeline)
{
    SERVER_OR_SKIP("pw");
    RunOptions o = ServerOptions({"1648", "10", "pw", "s", "t.wav"});
    o.signal = SIGSTOP;
    o.signal_after_text = "Recording";
    o.signal_after_ms = 3000;
    o.signal2 = SIGCONT;
    o.signal2_after_ms = 3000;
    const RunResult r = RunQuillo(o);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("\nRX\n"), std::string::npos) << Tail(r.out);
    const std::vector<uint32_t> counters = Counters(Read("t.wav").substr(44));
    const std::vector<CounterStretch> s = Stretches(counters);
    const std::string all = Describe(s, counters.size());
    ASSERT_GE(s.size(), 2u) << all;
    EXPECT_LE(s[0].at, kStartSilenceFrames) << all;
    EXPECT_EQ(s.back().at + s.back().frames, counters.size()) << all;
    // Frame p carries c0 + p, within a buffer, after the gap too; nothing
    // repeats. Audio the device still held from before the stop when it
    // came back (a buffer at most) may follow the silence: it carries on
    // from the audio before it. What was captured after the stop keeps its
    // place.
    const int64_t c0 = int64_t{s[0].first} - int64_t(s[0].at);
    int64_t worst_frames = 0;
    bool repeats = false;
    size_t silent = 0;
    for (size_t i = 1; i < s.size(); ++i) {
        const bool held = s[i].first == s[i - 1].first + s[i - 1].frames &&
                          s[i].frames <= kBufferFrames && i + 1 < s.size();
        if (!held)
            worst_frames =
                std::max(worst_frames, std::abs(int64_t{s[i].first} - c0 - int64_t(s[i].at)));
        repeats = repeats || s[i].first < s[i - 1].first + s[i - 1].frames;
        silent += s[i].at - (s[i - 1].at + s[i - 1].frames);
    }
    EXPECT_LE(worst_frames, int64_t{kBufferFrames}) << "off the timeline; " << all;
    EXPECT_FALSE(repeats) << all;
    // 3 s stopped, of which a buffer (0.68 s) may be kept.
    EXPECT_GE(silent, 2 * kRate) << all;
}

} // namespace

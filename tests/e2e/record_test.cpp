// Takes recorded through the stock null and file devices and the simulated
// device: file lengths, headers and data byte for byte.
#include <unistd.h>

#include "e2e.hpp"
#include "sim_signal.hpp"

namespace {

// Deterministic bytes that differ from frame to frame and channel to channel.
std::string MakeInput(size_t frames, uint32_t size)
{
    std::string raw(frames * 2 * size, '\0');
    uint32_t x = 12345;
    for (char& c : raw) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return raw;
}

std::string Plane(const std::string& raw, uint32_t size, int channel, size_t frames)
{
    std::string plane;
    for (size_t n = 0; n < frames; ++n)
        plane += raw.substr((2 * n + channel) * size, size);
    return plane;
}

class Record : public EndToEnd {
  protected:
    void FeedDevice(const std::string& raw)
    {
        WriteFile(Path("input.raw"), raw);
        Devices("pcm.feed { type file slave.pcm \"null\" file \"/dev/null\" infile \"" +
                Path("input.raw") + "\" format \"raw\" }\n");
    }
};

struct ModeCase {
    std::string format;
    uint32_t rate, size;
    std::string mode;
    std::string seconds;
    size_t frames; // planned: whole 4096-frame periods
};

TEST_F(Record, EachModeAtBothSizesHoldsTheInputByteForByte)
{
    const ModeCase cases[] = {
        {"1644", 44100, 2, "1", "0.2", 12288},  {"1644", 44100, 2, "2", "0.2", 12288},
        {"1644", 44100, 2, "s", "0.2", 12288},  {"2496", 96000, 3, "1", "0.1", 12288},
        {"2496", 96000, 3, "2", "0.1", 12288},  {"2496", 96000, 3, "s", "0.1", 12288},
        {"2448", 48000, 3, "2", "0.25", 12288}, {"1696", 96000, 2, "s", "0.5", 49152},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.format + " mode " + c.mode);
        const std::string raw = MakeInput(c.frames + 8192, c.size);
        FeedDevice(raw);
        const RunResult r = Run({c.format, c.seconds, "feed", c.mode, "one.wav", "two.wav"});
        ASSERT_EQ(r.exit_code, 0);
        // A name the mode does not use is named, and the take goes on.
        EXPECT_EQ(Unwaited(r.err), c.mode == "2" ? "" : "quillo: ignoring extra name two.wav\n");
        const std::string left = Plane(raw, c.size, 0, c.frames);
        const std::string right = Plane(raw, c.size, 1, c.frames);
        if (c.mode == "s") {
            std::string frames(2 * left.size(), '\0');
            for (size_t n = 0; n < c.frames; ++n) {
                frames.replace(2 * n * c.size, c.size, left, n * c.size, c.size);
                frames.replace((2 * n + 1) * c.size, c.size, right, n * c.size, c.size);
            }
            EXPECT_TRUE(
                SameBytes(Read("one.wav"), ExpectedHeader(c.rate, 2, c.size, c.frames) + frames));
            EXPECT_FALSE(FileExists(Path("two.wav")));
            EXPECT_EQ(r.out.rfind("Recording in Stereo\n", 0), 0u);
        } else {
            EXPECT_TRUE(
                SameBytes(Read("one.wav"), ExpectedHeader(c.rate, 1, c.size, c.frames) + left));
            if (c.mode == "2")
                EXPECT_TRUE(SameBytes(Read("two.wav"),
                                      ExpectedHeader(c.rate, 1, c.size, c.frames) + right));
            else
                EXPECT_FALSE(FileExists(Path("two.wav")));
            EXPECT_EQ(r.out.rfind("Recording\n", 0), 0u);
        }
        unlink(Path("one.wav").c_str());
        unlink(Path("two.wav").c_str());
    }
}

TEST_F(Record, SixtySecondTakeFromTheNullDevice)
{
    const RunResult r = Run({"1644", "60", "null"});
    ASSERT_EQ(r.exit_code, 0);
    const std::vector<std::string> files = ListDir(dir);
    ASSERT_EQ(files.size(), 1u);
    long t = 0;
    ASSERT_EQ(std::sscanf(files[0].c_str(), "rec_chan_1_%ld.wav", &t), 1);
    EXPECT_EQ(files[0], "rec_chan_1_" + std::to_string(t) + ".wav");
    const std::string bytes = Read(files[0]);
    ASSERT_EQ(bytes.size(), 44u + 2646016 * 2);
    EXPECT_TRUE(SameBytes(bytes.substr(0, 44), ExpectedHeader(44100, 1, 2, 2646016)));
    EXPECT_EQ(bytes.find_first_not_of('\0', 44), std::string::npos);

    // One status line per period, the last at 0.00, then report and Done.
    const std::vector<std::string> pieces = SplitStatus(r.out);
    ASSERT_EQ(pieces.size(), 1u + 646 + 2 + 1);
    EXPECT_EQ(pieces.front(), "Recording");
    EXPECT_EQ(pieces[1].rfind("rem = 59.91 sec\t -45 dB [", 0), 0u);
    EXPECT_EQ(pieces[646].rfind("rem = 0.00 sec\t", 0), 0u);
    EXPECT_TRUE(r.out.ends_with(" dB   \n\nInput Channel Peaks:\n\tchannel 1: -inf dBFS\nDone\n"));
    EXPECT_EQ(r.out.find("Overruns"), std::string::npos);
    EXPECT_EQ(Unwaited(r.err), "");
}

TEST_F(Record, DeviceIsConfiguredAsAskedThenStoppedAndClosed)
{
    Devices("pcm.logged { type quillosim log \"" + Path("device.log") + "\" }\n");
    // Offered both, a stereo file reads frames and mono files read planes;
    // nothing after the last period is wanted, so nothing is drained. The
    // commit prepares once by itself; the take prepares again before reading.
    for (const char* mode : {"s", "2"}) {
        const RunResult r = Run({"2496", "0.1", "logged", mode, "a.wav", "b.wav"});
        ASSERT_EQ(r.exit_code, 0);
        EXPECT_EQ(
            Read("device.log"),
            std::string("hw_params format=S24_3LE access=") +
                (mode[0] == 's' ? "RW_INTERLEAVED" : "RW_NONINTERLEAVED") +
                " rate=96000 period=4096 buffer=32768\nprepare\nprepare\nstart\nstop\nclose\n");
        for (const char* name : {"device.log", "a.wav", "b.wav"})
            unlink(Path(name).c_str());
    }
}

// Devices that offer one access type only, or one channel: every mode they
// can record holds the device's ramp exactly.
TEST_F(Record, EveryAccessAndChannelCountHoldsTheRampByteForByte)
{
    Devices("pcm.frames { type quillosim access \"RW_INTERLEAVED\" signal \"ramp\" }\n"
            "pcm.planes { type quillosim access \"RW_NONINTERLEAVED\" signal \"ramp\" }\n"
            "pcm.mono { type quillosim channels 1 signal \"ramp\" }\n"
            "pcm.frame1 { type quillosim channels 1 signal \"ramp\"\n"
            "  access \"RW_INTERLEAVED\" }\n");
    const struct {
        const char* device;
        const char* format;
        uint32_t rate, size;
        const char* mode;
    } cases[] = {
        {"frames", "1644", 44100, 2, "1"}, {"frames", "2496", 96000, 3, "2"},
        {"frames", "1648", 48000, 2, "s"}, {"frames", "2444", 44100, 3, "s"},
        {"planes", "1644", 44100, 2, "s"}, {"planes", "2448", 48000, 3, "2"},
        {"mono", "1644", 44100, 2, "1"},   {"mono", "2496", 96000, 3, "1"},
        {"frame1", "2444", 44100, 3, "1"},
    };
    for (const auto& c : cases) {
        const size_t frames_planned = (c.rate / 10 + 4095) / 4096 * 4096; // 0.1 s
        SCOPED_TRACE(std::string(c.device) + " " + c.format + " mode " + c.mode);
        const RunResult r = Run({c.format, "0.1", c.device, c.mode, "one.wav", "two.wav"});
        ASSERT_EQ(r.exit_code, 0);
        std::string left, right, frames;
        for (size_t n = 0; n < frames_planned; ++n) {
            const int bytes = static_cast<int>(c.size);
            left += Sample(SimRampSample(0, n, bytes), c.size);
            right += Sample(SimRampSample(1, n, bytes), c.size);
            frames += left.substr(left.size() - c.size) + right.substr(right.size() - c.size);
        }
        const bool stereo = c.mode[0] == 's';
        EXPECT_TRUE(SameBytes(Read("one.wav"),
                              ExpectedHeader(c.rate, stereo ? 2 : 1, c.size, frames_planned) +
                                  (stereo ? frames : left)));
        if (c.mode[0] == '2') {
            EXPECT_TRUE(SameBytes(Read("two.wav"),
                                  ExpectedHeader(c.rate, 1, c.size, frames_planned) + right));
        }
        unlink(Path("one.wav").c_str());
        unlink(Path("two.wav").c_str());
    }
}

TEST_F(Record, MadeNamesInTwoChannelModeNameBothChannels)
{
    const RunResult r = Run({"2448", "0.1", "null", "2"});
    ASSERT_EQ(r.exit_code, 0);
    const std::vector<std::string> files = ListDir(dir);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].rfind("rec_chan_1_", 0), 0u);
    EXPECT_EQ(files[1].rfind("rec_chan_2_", 0), 0u);
    for (const std::string& f : files)
        EXPECT_EQ(Read(f).size(), 44u + 8192 * 3);
}

TEST_F(Record, MadeNameTakesTheNextFreeNumber)
{
    const long now = static_cast<long>(time(nullptr) - 1349885340);
    for (long t = now; t < now + 4; ++t)
        WriteFile(Path("rec_chan_1_" + std::to_string(t) + ".wav"), "earlier take");
    const RunResult r = Run({"1644", "0.05", "null"});
    ASSERT_EQ(r.exit_code, 0);
    const std::vector<std::string> files = ListDir(dir);
    ASSERT_EQ(files.size(), 5u);
    for (long t = now; t < now + 4; ++t)
        EXPECT_TRUE(SameBytes(Read("rec_chan_1_" + std::to_string(t) + ".wav"), "earlier take"));
    EXPECT_EQ(Read(files.back()).size(), 44u + 4096 * 2);
}

TEST_F(Record, OutputInAMissingFolderIsRefusedBeforeRecording)
{
    const std::string missing = " for recording: No such file or directory\n";
    RunResult r = Run({"1644", "1", "null", "2", "ok.wav", "no/such/folder.wav"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Can't open no/such/folder.wav" + missing);
    EXPECT_TRUE(ListDir(dir).empty());
    // Every name that cannot be opened is named.
    r = Run({"1644", "1", "null", "2", "no/l.wav", "no/r.wav"});
    EXPECT_EQ(r.out, "Can't open no/l.wav" + missing + "Can't open no/r.wav" + missing);
}

TEST_F(Record, UnknownDeviceIsReportedOnStandardErrorAndNoFileIsMade)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"1644", "1", "nosuchdevice"},
          std::vector<std::string>{"1644", "1", "nosuchdevice", "1", "given.wav"}}) {
        const RunResult r = Run(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        // alsa-lib may say more before it; quillo's own report is the last line.
        const std::vector<std::string> lines = SplitLines(r.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(),
                  "unable to open pcm record device: nosuchdevice: No such file or directory");
        EXPECT_TRUE(ListDir(dir).empty());
    }
}

TEST_F(Record, DevFullIsRefusedWhenItsHeaderCannotBeWritten)
{
    const RunResult r = Run({"1644", "1", "null", "1", "/dev/full"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Can't write /dev/full: No space left on device\n");
    EXPECT_EQ(r.out.find("Recording"), std::string::npos);
}

TEST_F(Record, DevNullTakesAWholeTake)
{
    const RunResult r = Run({"2496", "1", "null", "s", "/dev/null"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("Recording in Stereo\n", 0), 0u) << "no question: a device holds no take";
    EXPECT_TRUE(r.out.ends_with("Done\n"));
}

} // namespace

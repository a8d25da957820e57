// Standard output and pipes as the output: takes of open length that no
// reader can rewind, a file behind standard output, and standard output
// that cannot hold a take.
#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "e2e.hpp"
#include "sim_signal.hpp"

namespace {

class Stream : public EndToEnd {
  protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        Devices("pcm.paced { type quillosim paced true signal \"ramp\" }\n");
    }
    // Records a stereo take of open length into `out` as standard output
    // until Ctrl-C after `ms`; gives the ramp's frames of the whole periods
    // that the report states.
    std::string TakeUntilStopped(const std::string& out, int ms)
    {
        RunOptions o = Options({"1644", "0", "paced", "s", "-"});
        o.stdout_path = Path(out);
        o.signal = SIGINT;
        o.signal_after_text = "Recording";
        o.signal_after_ms = ms;
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.term_signal, SIGINT) << r.err;
        const size_t at = r.err.rfind("Take length: ");
        const double seconds = at == std::string::npos ? 0 : std::atof(&r.err[at + 13]);
        const auto frames = static_cast<uint32_t>(std::lround(seconds * 44100 / 4096) * 4096);
        EXPECT_GE(frames, 4 * 4096u) << r.err;
        std::string data;
        for (uint32_t n = 0; n < frames; ++n)
            data += Sample(SimRampSample(0, n, 2), 2) + Sample(SimRampSample(1, n, 2), 2);
        return data;
    }
};

// Read live from a pipe until Ctrl-C after about 2 s, the take reaches each
// reader whole: its header, final in a pipe, states the longest stream.
// Behind standard output, a file (`- > f.wav`) ends exact for each reader.
TEST_F(Stream, OpenTakeReachesEachReaderWholeThroughAPipeOrAFile)
{
    const struct {
        std::string program, from_pipe, frames_of_file;
    } readers[] = {
        {"sox", "sox -t wav - -t raw out.raw", "soxi -s f.wav"},
        {"python3",
         "python3 -c 'import sys, wave; w = wave.open(sys.stdin.buffer); open(\"out.raw\", "
         "\"wb\").write(b\"\".join(iter(lambda: w.readframes(4096), b\"\")))'",
         "python3 -c 'import wave; print(wave.open(\"f.wav\").getnframes())'"},
        {"sndfile-convert", "sndfile-convert /dev/stdin out.raw",
         "sndfile-info f.wav | sed -n 's/^Frames *: //p'"},
        {"ffmpeg", "ffmpeg -v error -f wav -i - -f s16le -y out.raw",
         "ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 f.wav"},
    };
    const std::string data = TakeUntilStopped("f.wav", 1500);
    EXPECT_TRUE(SameBytes(Read("f.wav"), OpenHeader(44100, 2, 2, data.size() / 4) + data));
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
    std::string missing, frames;
    for (const auto& r : readers) {
        SCOPED_TRACE(r.program);
        if (Shell("command -v " + r.program + " >/dev/null") != 0) {
            missing += " " + r.program;
            continue;
        }
        EXPECT_EQ(Shell("cd '" + dir + "' && " + r.frames_of_file, &frames), 0);
        EXPECT_EQ(frames, std::to_string(data.size() / 4) + "\n");
        int status = -1;
        std::thread reader([&] { status = Shell("cd '" + dir + "' && " + r.from_pipe + "<pipe"); });
        const std::string streamed = TakeUntilStopped("pipe", 2000);
        reader.join();
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(SameBytes(Read("out.raw"), streamed));
    }
    if (!missing.empty())
        GTEST_SKIP() << "not installed, so not tried as readers:" << missing;
}

// Refused with one line before anything is made: no text enters a stream.
TEST_F(Stream, OutputThatCannotHoldATakeIsRefused)
{
    const std::string shared = ": standard error goes there too; send standard error elsewhere "
                               "(such as 2>/dev/null or 2>log)";
    const std::string to_stdout = "Can't record standard output: ";
    const std::string merged = to_stdout + shared.substr(2) + " or redirect standard output\n";
    const struct {
        std::string how; // what the shell did to standard output
        std::vector<std::string> names;
        std::string line; // where standard error goes
    } cases[] = {
        {">&-", {"1", "-"}, to_stdout + "it was closed when quillo started\n"},
        {"tty", {"1", "-"}, to_stdout + "it is a terminal; redirect it to a file or a pipe\n"},
        {"2>&1", {"s", "-"}, merged},
        {"2>&1", {"1", "/proc/self/fd/1"}, merged},
        {">f 2>&1", {"2", "l.wav", "-"}, merged},
        {">f 2>&1", {"1", "f.wav"}, "Can't record f.wav" + shared + "\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-y", "1644", "0", "paced"};
        args.insert(args.end(), c.names.begin(), c.names.end());
        RunOptions o = Options(args);
        o.stdout_closed = c.how == ">&-";
        o.terminal_columns = c.how == "tty" ? 80 : 0;
        o.stderr_to_stdout = c.how.ends_with("2>&1");
        o.stdout_path = c.how.starts_with(">f") ? Path("f.wav") : "";
        const RunResult r = RunQuillo(o);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(o.stdout_path.empty() ? (o.stderr_to_stdout ? r.out : r.err) : Read("f.wav"),
                  c.line);
        EXPECT_EQ(ListDir(dir).size(), o.stdout_path.empty() ? 1u : 2u) << c.how;
        std::remove(Path("f.wav").c_str());
    }
}

} // namespace

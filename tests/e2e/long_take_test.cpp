// A real take past 4 GiB and 2^31 frames, recorded at full speed from the
// stock "null" device (silence), checked without reading 4.3 GB back: its
// size, its header, and what an independent reader makes of that header.
#include <sys/stat.h>

#include <cstdio>

#include "e2e.hpp"
#include "wav/wav.hpp"

namespace {

TEST_F(EndToEnd, TakePastFourGibIsAnRf64FileThatOtherReadersOpen)
{
    // 48,800 s of 16-bit mono at 44.1 kHz: 525,411 periods. A take of open
    // length grows to the same size, ended there by a file-size limit: its
    // JUNK chunk has become ds64 on the way.
    const int64_t frames = int64_t{525411} * 4096;
    const int64_t data_bytes = frames * 2;
    SPACE_OR_SKIP(uint64_t(80 + data_bytes), "the 4.3 GB take");
    for (const char* duration : {"48800", "0"}) {
        SCOPED_TRACE(duration);
        const bool open = duration[0] == '0';
        RunOptions o = Options({"1644", duration, "null", "1", "long.wav"});
        o.timeout_ms = 600000;
        if (open)
            o.file_size_limit = 80 + data_bytes;
        const RunResult r = RunQuillo(o);
        const std::string path = Path("long.wav");
        struct stat st {};
        const int stat_rc = stat(path.c_str(), &st);
        std::string head(kRf64HeaderBytes, '\0');
        if (FILE* f = std::fopen(path.c_str(), "rb")) {
            head.resize(std::fread(head.data(), 1, head.size(), f));
            std::fclose(f);
        }
        // sndfile-info reads the header only, and counts the frames from it.
        std::string info;
        const int info_rc = Shell("sndfile-info '" + path + "'", &info);
        std::remove(path.c_str()); // 4.3 GB: gone before anything is judged

        if (open) {
            EXPECT_EQ(r.exit_code, 1);
            // A wait for the disk to take 4.3 GB may be said before it.
            EXPECT_TRUE(r.err.ends_with("Can't write long.wav: File too large\n")) << r.err;
            EXPECT_TRUE(r.out.ends_with("Take length: 48800.08 seconds\n")) << r.out;
        } else {
            ASSERT_EQ(r.exit_code, 0);
            EXPECT_TRUE(r.out.ends_with("Done\n"));
        }
        ASSERT_EQ(stat_rc, 0);
        EXPECT_EQ(st.st_size, 80 + data_bytes);
        unsigned char want[kRf64HeaderBytes];
        BuildRf64Header(want, 44100, frames, 2, 0);
        EXPECT_TRUE(SameBytes(head, std::string(reinterpret_cast<char*>(want), sizeof want)));

        for (const std::string line :
             {"Length : 4304166992\nRF64\n  WAVE\nds64 : 28\n  Riff size : 4304166984\n"
              "  Data size : 4304166912\n  Frames    : 2152083456\n  Table length : 0\n"
              "fmt  : 16\n",
              "data : 0xFFFFFFFF\n", "Sample Rate : 44100\n", "Frames      : 2152083456\n",
              "Channels    : 1\n", "Format      : 0x00220002\n"}) // RF64, 16-bit PCM
            EXPECT_NE(info.find(line), std::string::npos) << line << info;
        EXPECT_EQ(info_rc, 0);
    }
}

} // namespace

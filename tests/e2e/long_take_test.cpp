// A real take past 4 GiB and 2^31 frames, recorded at full speed from the
// stock "null" device (silence) and read back by independent readers.
#include <sys/stat.h>

#include <cstdio>

#include "e2e.hpp"

namespace {

TEST_F(EndToEnd, TakePastFourGibIsAnRf64FileThatOtherReadersOpen)
{
#ifdef QUILLO_SANITIZE
    GTEST_SKIP() << "writing 4.3 GB under the sanitizers is too slow: run in the plain build";
#endif
    // 48,800 s of 16-bit mono at 44.1 kHz: 525,411 periods.
    const int64_t frames = int64_t{525411} * 4096;
    const int64_t data_bytes = frames * 2;
    RunOptions o = Options({"1644", "48800", "null", "1", "long.wav"});
    o.timeout_ms = 600000;
    const RunResult r = RunQuillo(o);
    const std::string path = Path("long.wav");
    struct stat st {};
    const int stat_rc = stat(path.c_str(), &st);
    std::string info, soxi;
    const int info_rc = Shell("sndfile-info '" + path + "'", &info);
    // One soxi run: it reads the whole data of an RF64 file to count it.
    const int soxi_rc = Shell("soxi '" + path + "'", &soxi);
    std::remove(path.c_str()); // 4.3 GB: gone before anything is judged

    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("Done\n"));
    ASSERT_EQ(stat_rc, 0);
    EXPECT_EQ(st.st_size, 80 + data_bytes);

    for (const std::string line :
         {"Length : 4304166992\nRF64\n  WAVE\nds64 : 28\n  Riff size : 4304166984\n"
          "  Data size : 4304166912\n  Frames    : 2152083456\n  Table length : 0\n"
          "fmt  : 16\n",
          "data : 0xFFFFFFFF\n", "Frames      : 2152083456\n", "Channels    : 1\n",
          "Format      : 0x00220002\n"}) // RF64, 16-bit PCM
        EXPECT_NE(info.find(line), std::string::npos) << line << info;
    EXPECT_EQ(info_rc, 0);
    EXPECT_EQ(soxi_rc, 0);
    for (const std::string line :
         {"Channels       : 1\n", "Sample Rate    : 44100\n", "Precision      : 16-bit\n",
          "Duration       : 13:33:20.08 = 2152083456 samples", "File Size      : 4.30G\n"})
        EXPECT_NE(soxi.find(line), std::string::npos) << line << soxi;
}

} // namespace

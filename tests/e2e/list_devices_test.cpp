// --list-devices: the capture devices of alsa-lib's name hints, from an ALSA
// configuration that declares simulated devices.
#include <algorithm>

#include "e2e.hpp"

namespace {

class ListDevices : public EndToEnd {};

TEST_F(ListDevices, NamesATabAndTheFirstLineOfTheDescription)
{
    // Custom hints carry an IOID; a device for playback only is left out.
    Devices("pcm.simone { type quillosim hint { show on description \"Simulated card one\" } }\n"
            "pcm.simtwo { type quillosim hint { show on description \"Second card\nline two\" } }\n"
            "namehint.pcm { out \"simout|DESCPlayback only|IOIDOutput\" "
            "in \"simin|DESCCapture only|IOIDInput\" }\n");
    for (const std::string option : {"-L", "--list-devices"}) {
        const RunResult r = Run({option, "1644", "60"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("simone\tSimulated card one\nsimtwo\tSecond card\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("\nsimin\t"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("simout"), std::string::npos) << r.out;
        for (const std::string& line : SplitLines(r.out))
            EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 1) << line;
    }
    EXPECT_EQ(ListDir(dir).size(), 1u) << "only the configuration";
}

TEST_F(ListDevices, AnEmptyListIsNotAnError)
{
    WriteFile(Path("empty.conf"), "defaults.namehint.showall on\n");
    RunOptions o = Options({"--list-devices"});
    o.alsa_config = Path("empty.conf");
    const RunResult r = RunQuillo(o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

} // namespace

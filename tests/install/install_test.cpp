// What `make install` puts in place: the program, its man page and its bash
// completion, and that the last two work; and that `make uninstall` removes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli.hpp"
#include "support.hpp"

namespace {

const std::string kSource = QUILLO_SOURCE_DIR;
const std::string kBuild = QUILLO_BUILD_DIR;

std::vector<std::string> FilesUnder(const std::string& root)
{
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (!e.is_directory())
            files.push_back(e.path().lexically_relative(root).string());
    std::sort(files.begin(), files.end());
    return files;
}

class Installed : public ::testing::Test {
  protected:
    void SetUp() override { dir = MakeTempDir(); }
    void TearDown() override { RemoveTree(dir); }
    std::string dir;
};

TEST_F(Installed, MakeInstallPutsExactlyThreeFilesUnderPrefixAndDestdir)
{
    const struct {
        std::string prefix_arg, prefix;
    } cases[] = {{"", "usr/local"}, {"PREFIX=/opt/q", "opt/q"}};
    for (const auto& c : cases) {
        const std::string dest = dir + "/" + (c.prefix_arg.empty() ? "default" : "opt");
        const auto make = [&](const std::string& target, std::string* out) {
            return Shell("make -s -C '" + kSource + "' " + target + " BUILD_DIR='" + kBuild +
                             "' JOBS=1 DESTDIR='" + dest + "' " + c.prefix_arg + " 2>&1",
                         out);
        };
        std::string out;
        ASSERT_EQ(make("install", &out), 0) << out;
        EXPECT_EQ(FilesUnder(dest), (std::vector<std::string>{
                                        c.prefix + "/bin/quillo",
                                        c.prefix + "/share/bash-completion/completions/quillo",
                                        c.prefix + "/share/man/man1/quillo.1",
                                    }));
        EXPECT_EQ(Shell("'" + dest + "/" + c.prefix + "/bin/quillo' --version", &out), 0);
        EXPECT_EQ(out, "quillo 2.02\n");
        EXPECT_EQ(ReadFile(dest + "/" + c.prefix + "/share/bash-completion/completions/quillo"),
                  ReadFile(kSource + "/completion/quillo"));
        // make uninstall takes away exactly those.
        EXPECT_EQ(make("uninstall", &out), 0) << out;
        EXPECT_EQ(FilesUnder(dest), std::vector<std::string>{}) << out;
    }
}

TEST_F(Installed, ManPageHasNoWarningsAndCoversEveryCodeAndOption)
{
    const std::string page = kBuild + "/quillo.1";
    std::string out;
    EXPECT_EQ(Shell("groff -t -man -ww -z '" + page + "' 2>&1", &out), 0);
    EXPECT_EQ(out, "");
    if (Shell("command -v man >/dev/null") == 0) {
        EXPECT_EQ(Shell("man --warnings -l '" + page + "' 2>&1 >/dev/null", &out), 0);
        EXPECT_EQ(out, "");
    }
    const std::string text = ReadFile(page);
    EXPECT_NE(text.find("\"quillo " QUILLO_VERSION "\" \"User Commands\"\n"), std::string::npos);
    EXPECT_EQ(text.find('@'), std::string::npos) << "an unsubstituted variable";
    for (const FormatInfo& f : kFormats)
        EXPECT_NE(text.find(std::string("\n") + f.code + "\t"), std::string::npos) << f.code;
    for (const char* option : {"\\-h", "\\-\\-help", "\\-V", "\\-\\-version", "\\-q", "\\-\\-quiet",
                               "\\-L", "\\-\\-list\\-devices", "\\-\\-split"})
        EXPECT_NE(text.find(option), std::string::npos) << option;
    for (const char* section :
         {".SH SYNOPSIS", ".SH EXIT STATUS", ".SH SIGNALS", ".SH EXAMPLES", ".SH REFUSED OUTPUTS",
          ".SH REAL-TIME PRIORITY", ".SH TAKES ACROSS FILES", "RF64", ".BR arecord (1),",
          ".BR soxi (1)"})
        EXPECT_NE(text.find(section), std::string::npos) << section;
}

class Completion : public Installed {
  protected:
    // The words bash's completion offers for a command line typed so far.
    std::string Offered(const std::string& line)
    {
        WriteFile(dir + "/line", line);
        std::string out;
        const std::string script =
            "cd '" + dir + "' && source '" + kSource +
            "/completion/quillo' && "
            "COMP_LINE=$(cat line) && COMP_POINT=${#COMP_LINE} && "
            "read -ra COMP_WORDS <<<\"$COMP_LINE\" && COMP_CWORD=${#COMP_WORDS[@]} && "
            "_quillo && printf '%s\\n' \"${COMPREPLY[@]}\"";
        WriteFile(dir + "/complete.sh", script);
        EXPECT_EQ(Shell("ALSA_CONFIG_PATH='" + AlsaConfigPath(dir + "/asound.conf") + "' bash '" +
                            dir + "/complete.sh'",
                        &out),
                  0);
        return out;
    }
};

TEST_F(Completion, OffersOptionsCodesDevicesModesAndFiles)
{
    WriteFile(dir + "/asound.conf", "namehint.pcm { a \"plughw:CARD=Sim,DEV=0|DESCsim\" }\n"
                                    "pcm.simdev { type null hint { show on } }\n");
    WriteFile(dir + "/take.wav", "");
    const std::string quillo = kBuild + "/quillo";
    std::string out;
    EXPECT_EQ(
        Shell("bash -c \"source '" + kSource + "/completion/quillo' && complete -p quillo\"", &out),
        0);
    EXPECT_EQ(out, "complete -F _quillo quillo\n");

    const struct {
        std::string line, offered;
    } cases[] = {
        {"quillo ", "1644\n1648\n2444\n2448\n1688\n1696\n2488\n2496\n"},
        {"quillo 24", "2444\n2448\n2488\n2496\n"},
        {"quillo --q", "--quiet\n"},
        {"quillo -", "-h\n--help\n-V\n--version\n-q\n--quiet\n-y\n--overwrite\n-n\n"
                     "--no-overwrite\n--split\n-L\n--list-devices\n"},
        {"quillo --spl 1h 24", "2444\n2448\n2488\n2496\n"},
        {"quillo --split=1h -q 1644 60 d ", "1\n2\ns\n"},
        {"quillo --no", "--no-overwrite\n"},
        {"quillo -q -y 16", "1644\n1648\n1688\n1696\n"},
        {"quillo 1644 6", "\n"},
        {quillo + " 1644 60 sim", "simdev\n"},
        // bash completes only what follows the colon.
        {quillo + " 1644 60 plughw:CA", "CARD=Sim,DEV=0\n"},
        {"quillo 1644 60 d ", "1\n2\ns\n"},
        {"quillo -q 1644 60 d s", "s\n"},
        {"quillo 1644 60 d 2 ta", "take.wav\n"},
        {"quillo 1644 60 d 2 l.wav ta", "take.wav\n"},
        {"quillo 1644 60 d 2 l.wav r.wav ", "\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Offered(c.line), c.offered) << c.line;
}

} // namespace

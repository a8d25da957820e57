// Shared fixture of the end-to-end tests: a temporary folder that is the
// working directory of build/quillo, and an ALSA configuration in it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "support.hpp"

#ifdef __SANITIZE_THREAD__
// ThreadSanitizer's build, on two busy cores, can read a device late enough
// to overrun it: a test of the timeline then checks only what holds anyway.
constexpr bool kLateReads = true;
#else
constexpr bool kLateReads = false;
#endif

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { dir = MakeTempDir(); }
    void TearDown() override
    {
        fs.reset(); // unmounted before its folder goes
        RemoveTree(dir);
    }

    // Declares PCM devices for the runs that follow.
    void Devices(const std::string& definitions)
    {
        devices = definitions;
        config = WriteAlsaConfig(dir, definitions);
    }
    // Moves the test to a fresh folder that other users can reach, with its
    // own copies of the program and the simulated device (the build folder
    // may be out of their reach); false, with the reason, where there is none.
    bool MoveWithinOthersReach(std::string* why_not)
    {
        const std::string moved = MakeTempDirForOthers(why_not);
        if (moved.empty())
            return false;
        RemoveTree(dir);
        dir = moved; // removed by TearDown, copies and all
        std::string plugin;
        program = CopyProgramInto(dir, &plugin);
        config = WriteAlsaConfig(dir, devices, plugin);
        // The process's private configuration may be out of their reach too.
        alsa_conf = Path("alsa.conf");
        WriteFile(alsa_conf, ReadFile(PrivateAlsaConf()));
        return chmod(config.c_str(), 0644) == 0 && chmod(alsa_conf.c_str(), 0644) == 0;
    }

    RunResult Run(std::vector<std::string> args, const std::string& input = "")
    {
        RunOptions o = Options(std::move(args));
        o.stdin_text = input;
        return RunQuillo(o);
    }
    RunOptions Options(std::vector<std::string> args)
    {
        RunOptions o;
        o.args = std::move(args);
        o.program = program;
        o.cwd = dir;
        o.alsa_config = config.empty() ? alsa_conf : alsa_conf + ":" + config;
        return o;
    }
    // Mounts the test file system at Path("disk") (files there reach
    // Path("backing")), with quillofs's options; false, with the reason in
    // *why_not, where it cannot: the caller skips, saying why.
    bool MountTestFs(const std::string& options, std::string* why_not)
    {
        fs = TestFs::Mount(dir, options, why_not);
        return fs != nullptr;
    }
    std::string Path(const std::string& name) const { return dir + "/" + name; }
    std::string Read(const std::string& name) const { return ReadFile(Path(name)); }

    std::string dir;
    std::string config, devices;
    std::string alsa_conf = PrivateAlsaConf(); // what `config` adds to
    std::string program;                       // build/quillo when empty
    std::unique_ptr<TestFs> fs;
};

// Skips an EndToEnd test whose takes need `bytes` free in its folder.
#define SPACE_OR_SKIP(bytes, what)                                                                 \
    do {                                                                                           \
        if (FreeBytesAt(dir) < (bytes))                                                            \
            GTEST_SKIP() << what << " needs " << (bytes) << " bytes free in " << dir << ", has "   \
                         << FreeBytesAt(dir);                                                      \
    } while (0)

// Mounts the test file system in an EndToEnd test, or skips it saying why.
#define MOUNT_OR_SKIP(options)                                                                     \
    do {                                                                                           \
        std::string why;                                                                           \
        if (!MountTestFs(options, &why))                                                           \
            GTEST_SKIP() << "test file system not available: " << why;                             \
    } while (0)

// The samples of a simulated device in "peaks" mode: every sample of period
// k of a channel has the value list[k mod size].
inline std::string Sample(int32_t value, uint32_t size)
{
    std::string s(size, '\0');
    for (uint32_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
    return s;
}

inline std::string Repeat(const std::string& piece, size_t times)
{
    std::string s;
    s.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i)
        s += piece;
    return s;
}

// The 80-byte header a take of open length ends with, below 4 GiB: RIFF
// whose JUNK chunk holds what a ds64 chunk would, then the usual fmt and data.
inline std::string OpenHeader(uint32_t rate_hz, uint32_t channels, uint32_t size, uint32_t frames)
{
    const uint64_t data = uint64_t{frames} * channels * size;
    const auto le = [](uint64_t v, int bytes) {
        std::string s(static_cast<size_t>(bytes), '\0');
        for (int i = 0; i < bytes; ++i)
            s[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
        return s;
    };
    return "RIFF" + le(data + 72, 4) + "WAVEJUNK" + le(28, 4) + le(data + 72, 8) + le(data, 8) +
           le(frames, 8) + le(0, 4) + ExpectedHeader(rate_hz, channels, size, frames).substr(12);
}

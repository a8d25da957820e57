// A private sound server for tests: PipeWire with its PulseAudio service and
// session manager, headless, on a D-Bus of its own, with its sockets,
// configuration and logs in a folder of the test's. It plays a frame counter
// into a null sink, whose monitor tests record through ALSA's `pulse` and
// `pipewire` plugins, so that every lost, repeated or reordered frame shows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

class SoundServer {
  public:
    // The counter's format: 16-bit, 48 kHz, stereo. Frame i carries i & 0xffff
    // on channel 1 and i >> 16 on channel 2, from i = kFirstCounter on.
    static constexpr uint32_t kRateHz = 48000;
    // Never an all-zero frame, which would read as silence.
    static constexpr uint32_t kFirstCounter = 1u << 16;

    // Starts the server in `dir` (emptied, or made) and waits, a bounded time,
    // until the counter plays. Null, with the reason in *why_not, where it
    // cannot: a program or plugin missing, no D-Bus, a daemon that exits or a
    // socket that does not appear in time.
    static std::unique_ptr<SoundServer> Start(const std::string& dir, std::string* why_not);
    // Kills every process it started, by process group, and reaps them.
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // NAME=VALUE: what a client of this server needs in its environment.
    const std::vector<std::string>& environment() const { return environment_; }
    // ALSA_CONFIG_PATH for a client: the stock configuration without the
    // machine's own files (an installed plugin may make itself `default`),
    // plus the devices `srv` (the `pulse` plugin) and `pw` (the `pipewire`
    // plugin, "" from pipewire_plugin_missing() where it is not installed),
    // both recording the counter.
    const std::string& alsa_config() const { return alsa_config_; }
    const std::string& pipewire_plugin_missing() const { return pipewire_missing_; }
    // The server dies: SIGKILL to its daemons (D-Bus and the player stay).
    void Kill();

  private:
    SoundServer() = default;
    struct Process {
        pid_t pid; // leads its own process group; -1 once reaped
        std::string name;
        bool server; // killed by Kill()
    };
    bool Spawn(const std::string& name, bool server, const std::vector<std::string>& argv,
               std::string* why_not);
    bool WaitFor(const std::string& what, const std::string& path, std::string* why_not);
    std::string dir_, alsa_config_, pipewire_missing_;
    std::vector<std::string> environment_;
    std::vector<Process> processes_; // in the order started
};

// The counters of 16-bit stereo frames (a take's data), and of two 16-bit
// mono files (channel 1's and channel 2's data); 0 for a silent frame.
std::vector<uint32_t> Counters(const std::string& stereo);
std::vector<uint32_t> Counters(const std::string& left, const std::string& right);

// A stretch of consecutive counter values in a take: `frames` frames from
// frame `at` on carry first, first + 1, ... Silent frames belong to none.
struct CounterStretch {
    size_t at = 0, frames = 0;
    uint32_t first = 0;
};
std::vector<CounterStretch> Stretches(const std::vector<uint32_t>& counters);
std::string Describe(const std::vector<CounterStretch>& stretches, size_t total_frames);

#include "sound_server.hpp"

#include "alsa_config.hpp"

#include <alsa/asoundlib.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support.hpp"

namespace {

// Every start-up step waits at most this long; a slower server is skipped.
constexpr int kReadyMs = 10000;
// Longer than any take of the tests, with their start-up.
constexpr uint32_t kCounterSeconds = 60;

// Where alsa-lib looks for the plugin of a PCM type: beside itself.
std::string AlsaPluginMissing(const std::string& type, const std::string& package)
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&snd_pcm_open), &info) == 0 || info.dli_fname == nullptr)
        return "cannot tell where libasound is";
    const std::string plugin = std::filesystem::path(info.dli_fname).parent_path().string() +
                               "/alsa-lib/libasound_module_pcm_" + type + ".so";
    return FileExists(plugin) ? ""
                              : "the `" + type + "` ALSA plugin is not installed (" + plugin +
                                    ", package " + package + ")";
}

std::string Tail(const std::string& path)
{
    std::string text = ReadFile(path);
    if (text.size() > 400)
        text = "..." + text.substr(text.size() - 400);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text.empty() ? "(nothing in " + path + ")" : text;
}

void KillGroup(pid_t& pid)
{
    if (pid <= 0)
        return;
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

} // namespace

bool SoundServer::Spawn(const std::string& name, bool server, const std::vector<std::string>& argv,
                        std::string* why_not)
{
    const std::string log = dir_ + "/" + name + ".log";
    std::vector<std::string> args = argv;
    std::vector<char*> c_args;
    for (std::string& a : args)
        c_args.push_back(a.data());
    c_args.push_back(nullptr);
    FlushTestOutput();
    const pid_t pid = fork();
    if (pid < 0) {
        *why_not = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        // A group of its own, so that whatever it starts goes with it; and
        // gone with the test binary should that be killed.
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int null = open("/dev/null", O_RDONLY);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, 0);
        dup2(out, 1);
        dup2(out, 2);
        close_range(3, ~0U, 0);
        for (const std::string& name_value : environment_)
            putenv(const_cast<char*>(name_value.c_str()));
        execvp(c_args[0], c_args.data());
        std::fprintf(stderr, "cannot run %s: %s\n", c_args[0], std::strerror(errno));
        _exit(127);
    }
    processes_.push_back({pid, name, server});
    return true;
}

bool SoundServer::WaitFor(const std::string& what, const std::string& path, std::string* why_not)
{
    for (int waited = 0; waited < kReadyMs; waited += 10) {
        if (FileExists(path))
            return true;
        for (Process& p : processes_) {
            if (p.pid > 0 && waitpid(p.pid, nullptr, WNOHANG) == p.pid) {
                p.pid = -1;
                *why_not = p.name + " ended before " + what +
                           " appeared: " + Tail(dir_ + "/" + p.name + ".log");
                return false;
            }
        }
        usleep(10000);
    }
    *why_not = what + " did not appear within " + std::to_string(kReadyMs / 1000) + " s";
    return false;
}

std::unique_ptr<SoundServer> SoundServer::Start(const std::string& dir, std::string* why_not)
{
    std::unique_ptr<SoundServer> s(new SoundServer);
    s->dir_ = dir;
    // Sockets left by a server killed before would read as ready.
    RemoveTree(dir);
    const std::string run = dir + "/run", home = dir + "/home";
    const std::string conf_d = dir + "/config/pipewire/pipewire.conf.d";
    std::filesystem::create_directories(conf_d);
    std::filesystem::create_directories(run);
    std::filesystem::create_directories(home);
    chmod(run.c_str(), 0700);
    const std::string pulse_socket = run + "/pulse/native";
    s->environment_ = {"HOME=" + home,
                       "XDG_RUNTIME_DIR=" + run,
                       "XDG_CONFIG_HOME=" + dir + "/config",
                       "XDG_STATE_HOME=" + home + "/state",
                       "PIPEWIRE_RUNTIME_DIR=" + run,
                       "PIPEWIRE_REMOTE=pipewire-0",
                       "PULSE_SERVER=unix:" + pulse_socket,
                       "DBUS_SESSION_BUS_ADDRESS=unix:path=" + run + "/bus"};

    for (const char* program :
         {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "pw-cat", "pactl"}) {
        if (!OnPath(program)) {
            *why_not = std::string(program) +
                       " is not on PATH (scripts/install-deps installs the PipeWire stack)";
            return nullptr;
        }
    }
    *why_not = AlsaPluginMissing("pulse", "libasound2-plugins");
    if (!why_not->empty())
        return nullptr;
    s->pipewire_missing_ = AlsaPluginMissing("pipewire", "pipewire-alsa");
    WriteFile(dir + "/devices.conf",
              "pcm.srv { type pulse server \"unix:" + pulse_socket +
                  "\" device \"cnt.monitor\" }\n" +
                  (s->pipewire_missing_.empty() ? "pcm.pw { type pipewire capture_node \"cnt\" }\n"
                                                : ""));
    s->alsa_config_ = AlsaConfigPath(dir + "/devices.conf");

    // The null sink the counter plays into: the server's own clock paces it.
    // Its graph runs in cycles of 8192 frames (170 ms): in cycles of 2048, on
    // a busy machine, one run in four lost, inserted or misplaced a cycle's
    // audio now and then, with arecord as with quillo.
    WriteFile(conf_d + "/50-counter-sink.conf",
              "context.properties = { default.clock.quantum = 8192\n"
              "  default.clock.min-quantum = 8192 default.clock.max-quantum = 8192 }\n"
              "context.objects = [ { factory = adapter args = {\n"
              "  factory.name = support.null-audio-sink node.name = cnt\n"
              "  media.class = Audio/Sink audio.rate = 48000\n"
              "  audio.channels = 2 audio.position = [ FL FR ] } } ]\n");
    // Channel 1's sample, then channel 2's, both little-endian: frame i is
    // i as 4 little-endian bytes.
    const uint32_t frames = kCounterSeconds * kRateHz;
    std::string counter = ExpectedHeader(kRateHz, 2, 2, frames);
    const size_t at = counter.size();
    counter.resize(at + size_t{frames} * 4);
    for (uint32_t k = 0; k < frames; ++k)
        for (int b = 0; b < 4; ++b)
            counter[at + 4 * k + b] = static_cast<char>((kFirstCounter + k) >> (8 * b));
    WriteFile(dir + "/counter.wav", counter);

    // WirePlumber, which links streams to nodes, needs a session bus.
    if (!s->Spawn("dbus", false,
                  {"dbus-daemon", "--session", "--nofork", "--nopidfile",
                   "--address=unix:path=" + run + "/bus"},
                  why_not) ||
        !s->WaitFor("D-Bus's socket", run + "/bus", why_not) ||
        !s->Spawn("pipewire", true, {"pipewire"}, why_not) ||
        !s->WaitFor("PipeWire's socket", run + "/pipewire-0", why_not) ||
        !s->Spawn("wireplumber", true, {"wireplumber"}, why_not) ||
        !s->Spawn("pipewire-pulse", true, {"pipewire-pulse"}, why_not) ||
        !s->WaitFor("the PulseAudio service's socket", pulse_socket, why_not) ||
        !s->Spawn("player", false,
                  {"pw-cat", "--playback", "--target", "cnt", dir + "/counter.wav"}, why_not))
        return nullptr;
    // Playing once the session manager has linked the player to the sink.
    std::string command = "env";
    for (const std::string& name_value : s->environment_)
        command += " '" + name_value + "'";
    command += " pactl list short sinks 2>&1";
    std::string sinks;
    for (int waited = 0; waited < kReadyMs; waited += 20) {
        if (Shell(command, &sinks) == 0 && sinks.find("\tcnt\t") != std::string::npos &&
            sinks.find("RUNNING") != std::string::npos)
            return s;
        usleep(20000);
    }
    *why_not = "the counter did not play within " + std::to_string(kReadyMs / 1000) +
               " s; pactl lists: " + sinks + "; the player says: " + Tail(dir + "/player.log");
    return nullptr;
}

void SoundServer::Kill()
{
    for (Process& p : processes_)
        if (p.server)
            KillGroup(p.pid);
}

SoundServer::~SoundServer()
{
    for (auto p = processes_.rbegin(); p != processes_.rend(); ++p)
        KillGroup(p->pid);
}

std::vector<uint32_t> Counters(const std::string& stereo)
{
    std::vector<uint32_t> counters(stereo.size() / 4);
    for (size_t i = 0; i < counters.size(); ++i)
        counters[i] = Le32(stereo, 4 * i);
    return counters;
}

std::vector<uint32_t> Counters(const std::string& left, const std::string& right)
{
    std::vector<uint32_t> counters(std::min(left.size(), right.size()) / 2);
    for (size_t i = 0; i < counters.size(); ++i)
        counters[i] = Le16(left, 2 * i) | uint32_t{Le16(right, 2 * i)} << 16;
    return counters;
}

std::vector<CounterStretch> Stretches(const std::vector<uint32_t>& counters)
{
    std::vector<CounterStretch> stretches;
    for (size_t i = 0; i < counters.size(); ++i) {
        if (counters[i] == 0)
            continue;
        CounterStretch* last = stretches.empty() ? nullptr : &stretches.back();
        if (last != nullptr && last->at + last->frames == i &&
            last->first + last->frames == counters[i])
            ++last->frames;
        else
            stretches.push_back({i, 1, counters[i]});
    }
    return stretches;
}

std::string Describe(const std::vector<CounterStretch>& stretches, size_t total_frames)
{
    std::string text = std::to_string(total_frames) + " frames:";
    size_t shown = 0;
    for (const CounterStretch& s : stretches) {
        if (++shown > 8) {
            text += " ... (" + std::to_string(stretches.size()) + " stretches)";
            break;
        }
        text += " [" + std::to_string(s.frames) + " frames from " + std::to_string(s.at) +
                " counting from " + std::to_string(s.first) + "]";
    }
    return text;
}

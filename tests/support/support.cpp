#include "support.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

int64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

RunResult RunQuillo(const RunOptions& options)
{
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        std::abort();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (options.stdin_closed)
            close(0);
        if (options.stdout_closed)
            close(1);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        if (!options.alsa_config.empty()) {
            const std::string path = "/usr/share/alsa/alsa.conf:" + options.alsa_config;
            setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
        }
        if (!options.alsa_config_alone.empty())
            setenv("ALSA_CONFIG_PATH", options.alsa_config_alone.c_str(), 1);
        if (options.file_size_limit >= 0) {
            rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                         static_cast<rlim_t>(options.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        // The sanitizers' runtime reports on standard error, which tests read.
        std::vector<char*> argv;
        std::string program = QUILLO_BINARY;
        argv.push_back(program.data());
        std::vector<std::string> args = options.args;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    // Standard input is small: written whole, then closed (end of input).
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    while (written < options.stdin_text.size()) {
        const ssize_t n = write(in_pipe[1], options.stdin_text.data() + written,
                                options.stdin_text.size() - written);
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    close(in_pipe[1]);

    RunResult result;
    const int64_t start = NowMs();
    // The signal's clock starts at the start, or when the awaited text shows.
    int64_t signal_clock = options.signal_after_text.empty() ? start : -1;
    bool signalled = options.signal == 0;
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        int wait_ms = 50;
        if (!signalled && signal_clock >= 0) {
            const int64_t elapsed = NowMs() - signal_clock;
            if (options.signal_after_ms - elapsed < wait_ms)
                wait_ms = static_cast<int>(options.signal_after_ms - elapsed);
        }
        if (wait_ms < 0)
            wait_ms = 0;
        poll(fds, 2, wait_ms);
        char buf[65536];
        for (int i = 0; i < 2; ++i) {
            bool& open = i == 0 ? out_open : err_open;
            if (!open || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0)
                open = false;
            else
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
        }
        const int64_t now = NowMs() - start;
        if (signal_clock < 0 && result.out.find(options.signal_after_text) != std::string::npos)
            signal_clock = NowMs();
        if (!signalled && signal_clock >= 0 && NowMs() - signal_clock >= options.signal_after_ms) {
            kill(pid, options.signal);
            signalled = true;
        }
        if (now > options.timeout_ms && !result.timed_out) {
            kill(pid, SIGKILL);
            result.timed_out = true;
        }
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.term_signal = WTERMSIG(status);
    return result;
}

std::string MakeTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "quillo-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        std::abort();
    return pattern;
}

void RemoveTree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string ReadFile(const std::string& path)
{
    std::string bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return bytes;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.append(buf, n);
    std::fclose(f);
    return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string WriteAlsaConfig(const std::string& dir, const std::string& pcm_definitions)
{
    const std::string path = dir + "/asound-test.conf";
    WriteFile(path, std::string("pcm_type.quillosim { lib \"") + QUILLOSIM_PLUGIN + "\" }\n" +
                        pcm_definitions + "\n");
    return path;
}

std::string CaptureStdout(const std::function<void()>& body)
{
    std::fflush(stdout);
    const int saved = dup(1);
    FILE* tmp = std::tmpfile();
    dup2(fileno(tmp), 1);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::rewind(tmp);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0)
        text.append(buf, n);
    std::fclose(tmp);
    return text;
}

uint32_t Le32(const std::string& bytes, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(bytes.at(at + i));
    return v;
}

uint16_t Le16(const std::string& bytes, size_t at)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes.at(at)) |
                                 (static_cast<unsigned char>(bytes.at(at + 1)) << 8));
}

std::string ExpectedHeader(uint32_t rate_hz, uint32_t channels, uint32_t sample_bytes,
                           uint32_t frames)
{
    auto le32 = [](uint32_t v) {
        std::string s(4, '\0');
        for (int i = 0; i < 4; ++i)
            s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        return s;
    };
    auto le16 = [](uint32_t v) {
        return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
    };
    const uint32_t align = channels * sample_bytes;
    const uint32_t data = frames * align;
    return "RIFF" + le32(data + 36) + "WAVE" + "fmt " + le32(16) + le16(1) + le16(channels) +
           le32(rate_hz) + le32(rate_hz * align) + le16(align) + le16(sample_bytes * 8) + "data" +
           le32(data);
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

std::vector<std::string> SplitStatus(const std::string& text)
{
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!piece.empty())
                pieces.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty())
        pieces.push_back(piece);
    return pieces;
}

int Shell(const std::string& command, std::string* out)
{
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr)
        return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    const int status = pclose(p);
    if (out != nullptr)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

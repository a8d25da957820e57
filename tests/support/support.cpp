#include "support.hpp"

#include "files/shown_name.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <utility>

int64_t MonotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

namespace {

int64_t NowMs()
{
    return MonotonicMs();
}

void SetColumns(int master, int columns)
{
    const winsize size{24, static_cast<unsigned short>(columns), 0, 0};
    ioctl(master, TIOCSWINSZ, &size);
}

// A pseudo-terminal `columns` wide in place of a pipe: [0] the side the test
// reads, [1] the terminal. Raw, so the bytes arrive as they were written.
bool OpenTerminal(int fds[2], int columns)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return false;
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw{};
    if (terminal < 0 || tcgetattr(terminal, &raw) != 0)
        return false;
    cfmakeraw(&raw);
    tcsetattr(terminal, TCSANOW, &raw);
    SetColumns(master, columns);
    fds[0] = master;
    fds[1] = terminal;
    return true;
}

} // namespace

std::string SignalName(int signal)
{
    const char* abbreviation = sigabbrev_np(signal);
    if (abbreviation != nullptr)
        return std::string("SIG") + abbreviation;
    return signal >= SIGRTMIN ? "SIGRTMIN+" + std::to_string(signal - SIGRTMIN)
                              : "signal " + std::to_string(signal);
}

namespace {

// The last few hundred bytes of an output, a line of the log per line, with
// the program's own escaping of control bytes.
std::string Tail(const std::string& text)
{
    constexpr size_t kShownBytes = 400;
    if (text.empty())
        return " (nothing)";
    const bool cut = text.size() > kShownBytes;
    std::string shown = cut ? "\n    ..." : "";
    for (const std::string& line : SplitLines(cut ? text.substr(text.size() - kShownBytes) : text))
        shown += "\n    " + ShownName(line.c_str());
    return shown;
}

std::string Story(const RunResult& r)
{
    std::string story = r.term_signal != 0 ? "killed by " + SignalName(r.term_signal) + ", " +
                                                 strsignal(r.term_signal)
                                           : "exited with status " + std::to_string(r.exit_code);
    if (r.timed_out)
        story += ", at the time-out";
    return story + "; standard output ends:" + Tail(r.out) +
           "\n  standard error ends:" + Tail(r.err);
}

} // namespace

RunResult RunQuillo(const RunOptions& options)
{
    // Closed on exec: a test's other thread may start a program meanwhile
    // (Shell), which must not hold the program's input or output open.
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        std::abort();
    if (options.terminal_columns > 0 ? !OpenTerminal(out_pipe, options.terminal_columns)
                                     : pipe2(out_pipe, O_CLOEXEC) != 0)
        std::abort();
    if (options.stdout_pipe_bytes > 0)
        fcntl(out_pipe[1], F_SETPIPE_SZ, options.stdout_pipe_bytes);
    // Looked up before the fork: the child only makes system calls.
    long run_as_gid = -1;
    if (options.run_as_uid >= 0) {
        const passwd* user = getpwuid(static_cast<uid_t>(options.run_as_uid));
        if (user != nullptr)
            run_as_gid = static_cast<long>(user->pw_gid);
    }
    const std::string alsa_config =
        options.alsa_config.empty() ? AlsaConfigPath() : options.alsa_config;
    // Only the test's own streams: fflush(nullptr) would wait for the lock of
    // a stream another thread reads (a reader of the program's output, in
    // Shell), and that read waits for the program this call would start.
    FlushTestOutput();
    const pid_t pid = fork();
    if (pid == 0) {
        // Whatever the test runner ignores (a shell's background job
        // ignores SIGINT) the program does not inherit: only what the test
        // asks for is ignored.
        for (int sig = 1; sig < NSIG; ++sig)
            if (sig != SIGKILL && sig != SIGSTOP)
                signal(sig, SIG_DFL);
        for (int ignored : options.ignored_signals)
            signal(ignored, SIG_IGN);
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (options.stdin_closed)
            close(0);
        if (options.stdout_closed)
            close(1);
        if (!options.stdin_path.empty()) {
            const int fd = open(options.stdin_path.c_str(), O_RDONLY);
            if (fd < 0 || dup2(fd, 0) < 0)
                _exit(126);
            close(fd);
        }
        if (!options.stdout_path.empty()) {
            const int fd = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0)
                _exit(126);
            close(fd);
        }
        if (options.stderr_to_stdout)
            dup2(1, 2);
        if (options.run_as_uid >= 0) {
            if (run_as_gid < 0 || setgroups(0, nullptr) != 0 ||
                setgid(static_cast<gid_t>(run_as_gid)) != 0 ||
                setuid(static_cast<uid_t>(options.run_as_uid)) != 0)
                _exit(126);
        }
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        setenv("ALSA_CONFIG_PATH", alsa_config.c_str(), 1);
        for (const std::string& name_value : options.env)
            putenv(const_cast<char*>(name_value.c_str()));
        if (options.file_size_limit >= 0) {
            rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                         static_cast<rlim_t>(options.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.open_files_limit >= 0) {
            rlimit limit{static_cast<rlim_t>(options.open_files_limit),
                         static_cast<rlim_t>(options.open_files_limit)};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        // The sanitizers' runtime reports on standard error, which tests read.
        std::vector<char*> argv;
        std::string program = options.program.empty() ? QUILLO_BINARY : options.program;
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
    bool signalled = options.signal == 0 && !options.at_signal;
    int64_t signalled_at = -1;
    bool second_signalled = options.signal2 == 0;
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        const bool read_out = out_open && NowMs() - start >= options.stdout_unread_ms;
        pollfd fds[2] = {{read_out ? out_pipe[0] : -1, POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        int wait_ms = 50;
        if (!signalled && signal_clock >= 0) {
            const int64_t elapsed = NowMs() - signal_clock;
            if (options.signal_after_ms - elapsed < wait_ms)
                wait_ms = static_cast<int>(options.signal_after_ms - elapsed);
        }
        if (!second_signalled && signalled_at >= 0) {
            const int64_t elapsed = NowMs() - signalled_at;
            if (options.signal2_after_ms - elapsed < wait_ms)
                wait_ms = static_cast<int>(options.signal2_after_ms - elapsed);
        }
        if (wait_ms < 0)
            wait_ms = 0;
        poll(fds, 2, wait_ms);
        char buf[65536];
        for (int i = 0; i < 2; ++i) {
            bool& open = i == 0 ? out_open : err_open;
            if (!open || fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0 && i == 0)
                close(out_pipe[0]);
            if (n <= 0)
                open = false;
            else
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
        }
        const auto close_out = [&] {
            if (out_open)
                close(out_pipe[0]);
            out_open = false;
        };
        if (options.stdout_close_after > 0 && result.out.size() >= options.stdout_close_after)
            close_out();
        const int64_t now = NowMs() - start;
        // Standard error carries the text when standard output is the take.
        if (signal_clock < 0 && (result.out.find(options.signal_after_text) != std::string::npos ||
                                 result.err.find(options.signal_after_text) != std::string::npos)) {
            signal_clock = NowMs();
            result.text_ms = signal_clock;
        }
        if (!signalled && signal_clock >= 0 && NowMs() - signal_clock >= options.signal_after_ms) {
            if (options.columns_at_signal > 0)
                SetColumns(out_pipe[0], options.columns_at_signal);
            if (options.at_signal)
                options.at_signal();
            else
                kill(pid, options.signal);
            signalled = true;
            signalled_at = NowMs();
        }
        if (!second_signalled && signalled_at >= 0 &&
            NowMs() - signalled_at >= options.signal2_after_ms) {
            kill(pid, options.signal2);
            second_signalled = true;
            if (options.stdout_close_at_signal)
                close_out();
        }
        if (now > options.timeout_ms && !result.timed_out) {
            kill(pid, SIGKILL);
            result.timed_out = true;
        }
    }
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_ms = NowMs();
    if (WIFEXITED(status))
        result.exit_code.value = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.term_signal.value = WTERMSIG(status);
    result.exit_code.story = result.term_signal.story = Story(result);
    return result;
}

void PrintTo(const RunEnd& end, std::ostream* os)
{
    *os << end.value << " (" << end.story << ")";
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

std::string MakeTempDirForOthers(std::string* why_not)
{
    std::string tried;
    for (const std::filesystem::path& base :
         {std::filesystem::temp_directory_path(), std::filesystem::path("/tmp"),
          std::filesystem::path("/var/tmp")}) {
        // Others pass through every folder on the way, and may run programs there.
        bool reachable = true;
        for (std::filesystem::path p = base; reachable; p = p.parent_path()) {
            struct stat st;
            reachable = stat(p.c_str(), &st) == 0 && (st.st_mode & S_IXOTH) != 0;
            if (p == p.parent_path())
                break;
        }
        struct statvfs v;
        reachable = reachable && statvfs(base.c_str(), &v) == 0 && (v.f_flag & ST_NOEXEC) == 0;
        std::string pattern = (base / "quillo-test-XXXXXX").string();
        if (reachable && mkdtemp(pattern.data()) != nullptr && chmod(pattern.c_str(), 0755) == 0)
            return pattern;
        tried += (tried.empty() ? "" : ", ") + base.string();
    }
    *why_not = "no temporary folder that other users can reach and run programs from (tried " +
               tried + ")";
    return "";
}

std::string CopyProgramInto(const std::string& dir, std::string* plugin)
{
    namespace fs = std::filesystem;
    const fs::path program = fs::path(dir) / "quillo";
    *plugin = (fs::path(dir) / fs::path(QUILLOSIM_PLUGIN).filename()).string();
    for (const auto& [from, to] : {std::pair<fs::path, fs::path>{QUILLO_BINARY, program},
                                   std::pair<fs::path, fs::path>{QUILLOSIM_PLUGIN, *plugin}}) {
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
        fs::permissions(to, fs::perms(0755));
    }
    return program.string();
}

uint64_t FreeBytesAt(const std::string& path)
{
    struct statvfs v;
    return statvfs(path.c_str(), &v) == 0 ? uint64_t{v.f_bavail} * v.f_frsize : 0;
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

std::string WriteAlsaConfig(const std::string& dir, const std::string& pcm_definitions,
                            const std::string& plugin)
{
    const std::string path = dir + "/asound-test.conf";
    WriteFile(path, "pcm_type.quillosim { lib \"" + (plugin.empty() ? QUILLOSIM_PLUGIN : plugin) +
                        "\" }\n" + pcm_definitions + "\n");
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

::testing::AssertionResult SameBytes(const std::string& got, const std::string& expected)
{
    size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at])
        ++at;
    if (at == got.size() && at == expected.size())
        return ::testing::AssertionSuccess();
    // Eight bytes either side of the first difference, which is marked.
    const size_t from = at < 8 ? 0 : at - 8;
    const auto hex = [&](const std::string& bytes) {
        std::string text;
        char b[8];
        for (size_t i = from; i <= at + 8 && i < bytes.size(); ++i) {
            std::snprintf(b, sizeof b, i == at ? " [%02X]" : " %02X",
                          static_cast<unsigned char>(bytes[i]));
            text += b;
        }
        return at < bytes.size() ? text : text + " [end]";
    };
    return ::testing::AssertionFailure()
           << got.size() << " bytes, expected " << expected.size() << "; first difference at byte "
           << at << ":\n  got     " << hex(got) << "\n  expected" << hex(expected);
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

void FlushTestOutput()
{
    std::fflush(stdout);
    std::fflush(stderr);
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

int64_t FsEvent::Number(size_t i) const
{
    return i < fields.size() ? std::strtoll(fields[i].c_str(), nullptr, 0) : 0;
}

namespace {

dev_t DeviceOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
}

// Waits up to `ms` for the child to end; true when it did.
bool Reap(pid_t pid, int ms)
{
    for (int waited = 0; waited <= ms; waited += 10) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return true;
        usleep(10000);
    }
    return false;
}

} // namespace

bool OnPath(const std::string& program)
{
    return Shell("command -v " + program + " >/dev/null 2>&1") == 0;
}

std::unique_ptr<TestFs> TestFs::Mount(const std::string& dir, const std::string& options,
                                      std::string* why_not)
{
    const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) {
        *why_not = std::string("cannot open /dev/fuse: ") + std::strerror(errno);
        return nullptr;
    }
    close(fuse);
    // Without root, only the setuid fusermount3 can mount; it also undoes the
    // mount (auto_unmount) should the daemon die.
    if (!OnPath("fusermount3")) {
        *why_not = "fusermount3 is not installed (package fuse3)";
        return nullptr;
    }
    std::unique_ptr<TestFs> fs(new TestFs);
    fs->dir_ = dir;
    fs->mount_point_ = dir + "/disk";
    fs->backing_ = dir + "/backing";
    fs->log_ = dir + "/quillofs.log";
    mkdir(fs->mount_point_.c_str(), 0755);
    mkdir(fs->backing_.c_str(), 0755);
    const std::string err_path = dir + "/quillofs.err";
    unlink(fs->log_.c_str()); // a test that mounts again reads only the new log
    std::string all = "auto_unmount,log=" + fs->log_;
    if (!options.empty())
        all += "," + options;

    const dev_t outside = DeviceOf(dir);
    FlushTestOutput();
    const pid_t pid = fork();
    if (pid < 0) {
        *why_not = std::string("fork: ") + std::strerror(errno);
        return nullptr;
    }
    if (pid == 0) {
        // A test binary killed by its timeout takes the file system with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int null = open("/dev/null", O_RDWR);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, 0);
        dup2(err, 1);
        dup2(err, 2);
        execl(QUILLOFS_BINARY, "quillofs", fs->backing_.c_str(), fs->mount_point_.c_str(), "-f",
              "-o", all.c_str(), static_cast<char*>(nullptr));
        std::fprintf(stderr, "cannot run %s: %s\n", QUILLOFS_BINARY, std::strerror(errno));
        _exit(127);
    }
    // Live once the mount point is another file system.
    for (int waited = 0; waited < 10000; waited += 10) {
        if (DeviceOf(fs->mount_point_) != outside) {
            fs->pid_ = pid;
            return fs;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            std::string text = ReadFile(err_path);
            while (!text.empty() && text.back() == '\n')
                text.pop_back();
            *why_not = "quillofs could not mount: " + text;
            return nullptr;
        }
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    umount2(fs->mount_point_.c_str(), MNT_DETACH);
    *why_not = "quillofs did not mount within 10 s: " + ReadFile(err_path);
    return nullptr;
}

bool TestFs::Mounted() const
{
    return DeviceOf(mount_point_) != DeviceOf(dir_);
}

TestFs::~TestFs()
{
    if (pid_ <= 0)
        return; // never mounted
    // A held file system would keep its threads, and so the daemon, waiting.
    kill(pid_, SIGUSR2);
    // On SIGTERM libfuse leaves its loop and unmounts (lazily, so a busy
    // mount goes too); a daemon that does not end is killed, and then
    // auto_unmount's helper or we ourselves unmount.
    kill(pid_, SIGTERM);
    if (!Reap(pid_, 5000)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int tries = 0; tries < 100 && Mounted(); ++tries) {
        if (umount2(mount_point_.c_str(), MNT_DETACH) != 0)
            Shell("fusermount3 -u -z '" + mount_point_ + "' 2>/dev/null");
        usleep(10000);
    }
}

std::vector<std::string> TestFs::LogLines() const
{
    return SplitLines(ReadFile(log_));
}

std::vector<FsEvent> TestFs::Events() const
{
    std::vector<FsEvent> events;
    for (const std::string& line : LogLines()) {
        std::vector<std::string> words;
        size_t at = 0;
        while (at < line.size()) {
            const size_t space = line.find(' ', at);
            const size_t end = space == std::string::npos ? line.size() : space;
            words.push_back(line.substr(at, end - at));
            at = end + 1;
        }
        if (words.size() < 2)
            continue;
        FsEvent e;
        e.ms = std::strtoll(words[0].c_str(), nullptr, 10);
        e.op = words[1];
        e.fields.assign(words.begin() + 2, words.end());
        events.push_back(std::move(e));
    }
    return events;
}

void TestFs::Hold(bool on)
{
    if (pid_ <= 0)
        return;
    // The daemon logs the signal as it takes it: wait for that, so that the
    // hold is in force for whatever the test does next.
    auto count = [this, on] {
        size_t n = 0;
        for (const FsEvent& e : Events())
            n += e.op == (on ? "hold" : "unhold");
        return n;
    };
    const size_t before = count();
    kill(pid_, on ? SIGUSR1 : SIGUSR2);
    for (int waited = 0; waited < 5000 && count() == before; waited += 5)
        usleep(5000);
}

std::string Unwaited(std::string err)
{
    // The program's first line starts with the newline that ends a status
    // line; the second, "done", starts a line. Taken in the other order, the
    // first pattern would take the newline before "done" too.
    for (const std::string& line :
         {std::string("Waiting for the disk: done\n"), std::string("\nWaiting for the disk: ")}) {
        for (size_t at; (at = err.find(line)) != std::string::npos;)
            err.erase(at, err.find('\n', at + 1) + 1 - at);
    }
    return err;
}

// Test helpers: running build/quillo as a process, ALSA configurations for
// test devices, temporary folders, and capturing standard output in-process.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

#include "alsa_config.hpp"

struct RunOptions {
    std::vector<std::string> args;
    std::string program; // the program to run, when not build/quillo
    std::string stdin_text;
    bool stdin_closed = false;  // start with descriptor 0 closed
    bool stdout_closed = false; // start with descriptor 1 closed
    std::string stdin_path;     // a file as standard input, in place of stdin_text
    std::string stdout_path;    // standard output into this file (out stays empty)
    int run_as_uid = -1;        // this user and its group, without others (needs root)
    std::string cwd;
    std::string alsa_config;             // ALSA_CONFIG_PATH; AlsaConfigPath() when empty
    std::vector<std::string> env;        // NAME=VALUE set in the program's environment
    int signal = 0;                      // sent once, `signal_after_ms` after the start,
    int signal_after_ms = 0;             // or after `signal_after_text` appears on
    std::string signal_after_text;       // standard output or error, when given (also
                                         // without a signal: see RunResult::text_ms)
    std::function<void()> at_signal;     // called when the signal is due, in place of
                                         // sending one (a sound server killed mid-take)
    int signal2 = 0;                     // sent once, `signal2_after_ms` after the
    int signal2_after_ms = 0;            // first (SIGSTOP, then SIGCONT)
    int64_t file_size_limit = -1;        // RLIMIT_FSIZE in bytes, like ulimit -f
    int open_files_limit = -1;           // RLIMIT_NOFILE, like ulimit -n
    std::vector<int> ignored_signals;    // SIG_IGN from the start, like nohup
    int stdout_pipe_bytes = 0;           // a smaller standard output pipe
    int terminal_columns = 0;            // standard output a raw pseudo-terminal this wide
    int columns_at_signal = 0;           // ... resized to this just before the signal
    int stdout_unread_ms = 0;            // standard output not read until then
    size_t stdout_close_after = 0;       // its reader goes away after this many bytes
    bool stdout_close_at_signal = false; // ... or when the signal is sent
    bool stderr_to_stdout = false;       // standard error where standard output goes (2>&1)
    int timeout_ms = 60000;              // then SIGKILL: a test never hangs
};

// RunResult's exit status or signal number: it compares as the number, and
// a failed comparison prints how the run ended (the signal by its name) and
// the last lines of both outputs, control bytes escaped.
struct RunEnd {
    int value;
    std::string story;
    operator int() const { return value; }
};
void PrintTo(const RunEnd& end, std::ostream* os);

struct RunResult {
    std::string out;
    std::string err;
    RunEnd exit_code{-1, ""};  // when it exited
    RunEnd term_signal{0, ""}; // when a signal ended it
    bool timed_out = false;
    int64_t text_ms = -1; // MonotonicMs() when signal_after_text showed on standard output
    int64_t exit_ms = -1; // MonotonicMs() when the program had ended
};

RunResult RunQuillo(const RunOptions& options);

// "SIGTERM", "SIGRTMIN+3".
std::string SignalName(int signal);

// CLOCK_MONOTONIC in milliseconds: the clock of TestFs's log.
int64_t MonotonicMs();

// A fresh empty folder under the system's temporary folder.
std::string MakeTempDir();
void RemoveTree(const std::string& path);
// A fresh empty folder that every user can reach and run programs from (the
// build folder may be out of their reach, as in a clone in a 0700 folder);
// "" with the reason in *why_not where there is none.
std::string MakeTempDirForOthers(std::string* why_not);
// Copies build/quillo and the simulated device into `dir` for every user;
// returns the copied program, and the copied device in *plugin.
std::string CopyProgramInto(const std::string& dir, std::string* plugin);
// Bytes that an ordinary user may still write on the file system of `path`.
uint64_t FreeBytesAt(const std::string& path);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
std::vector<std::string> ListDir(const std::string& path);

// Writes an ALSA configuration that declares the simulated device type (the
// built one, or `plugin`) and the given PCM definitions; returns its path.
std::string WriteAlsaConfig(const std::string& dir, const std::string& pcm_definitions,
                            const std::string& plugin = "");

// Runs `body` with standard output sent to a file and returns what it wrote.
std::string CaptureStdout(const std::function<void()>& body);

// Little-endian fields of a byte string.
uint32_t Le32(const std::string& bytes, size_t at);
uint16_t Le16(const std::string& bytes, size_t at);

// Whole files or headers compared: on a difference, the sizes, the first
// differing offset and a few bytes around it in hex, never the whole file.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& expected);

// Standard error without the lines that say the end of a take waits for the
// disk: on a busy machine any take's last sync may be that slow.
std::string Unwaited(std::string err);

// The 44-byte header that a take of `frames` frames must have.
std::string ExpectedHeader(uint32_t rate_hz, uint32_t channels, uint32_t sample_bytes,
                           uint32_t frames);

// Lines of text split at "\n" (a trailing piece without newline kept).
std::vector<std::string> SplitLines(const std::string& text);

// Status-line pieces: the text split at "\r" and "\n", empty pieces dropped.
std::vector<std::string> SplitStatus(const std::string& text);

// Runs a shell command, returns its exit status and standard output.
int Shell(const std::string& command, std::string* out = nullptr);
// Flushes the test's standard output and error before a fork.
void FlushTestOutput();
// Whether a program of that name is on PATH.
bool OnPath(const std::string& program);

// One line of the test file system's log: "<ms> <op> <fields...>", e.g.
// "5123 write /take.wav 44 16384" or "5130 fsync /take.wav 1".
struct FsEvent {
    int64_t ms = 0; // when the operation completed, on MonotonicMs()'s clock
    std::string op;
    std::vector<std::string> fields; // the path first, for operations on a file

    std::string path() const { return fields.empty() ? "" : fields[0]; }
    int64_t Number(size_t i) const; // fields[i] as an integer (0 when absent)
};

// The test file system (tests/fusefs/quillofs) mounted for one test: the
// folder `dir`/disk mirrors `dir`/backing and logs to `dir`/quillofs.log.
// Destroying it unmounts it, also after a failed test.
class TestFs {
  public:
    // `options`: quillofs's own options, comma-separated, e.g.
    // "stall_after_bytes=100000,stall_ms=3000" (may be empty). Returns null,
    // with the reason in *why_not, where it cannot mount (no root, no
    // /dev/fuse, no fusermount3, mount refused).
    static std::unique_ptr<TestFs> Mount(const std::string& dir, const std::string& options,
                                         std::string* why_not);
    ~TestFs();
    TestFs(const TestFs&) = delete;
    TestFs& operator=(const TestFs&) = delete;

    const std::string& mount_point() const { return mount_point_; }
    const std::string& backing() const { return backing_; }
    std::vector<std::string> LogLines() const;
    std::vector<FsEvent> Events() const;
    // Holds every file operation until Hold(false): a disk that stops answering.
    void Hold(bool on);

  private:
    TestFs() = default;
    bool Mounted() const;
    std::string dir_, mount_point_, backing_, log_;
    pid_t pid_ = -1;
};

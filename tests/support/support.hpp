// Test helpers: running build/quillo as a process, ALSA configurations for
// test devices, temporary folders, and capturing standard output in-process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct RunOptions {
    std::vector<std::string> args;
    std::string stdin_text;
    bool stdin_closed = false;  // start with descriptor 0 closed
    bool stdout_closed = false; // start with descriptor 1 closed
    std::string cwd;
    std::string alsa_config;       // a file appended to the stock configuration
    std::string alsa_config_alone; // a file used instead of the stock configuration
    int signal = 0;                // sent once, `signal_after_ms` after the start,
    int signal_after_ms = 0;       // or after `signal_after_text` appears on
    std::string signal_after_text; // standard output, when it is given
    int64_t file_size_limit = -1;  // RLIMIT_FSIZE in bytes, like ulimit -f
    int timeout_ms = 60000;        // then SIGKILL: a test never hangs
};

struct RunResult {
    std::string out;
    std::string err;
    int exit_code = -1;  // when it exited
    int term_signal = 0; // when a signal ended it
    bool timed_out = false;
};

RunResult RunQuillo(const RunOptions& options);

// A fresh empty folder under the system's temporary folder.
std::string MakeTempDir();
void RemoveTree(const std::string& path);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
std::vector<std::string> ListDir(const std::string& path);

// Writes an ALSA configuration that declares the simulated device type and
// the given PCM definitions; returns its path.
std::string WriteAlsaConfig(const std::string& dir, const std::string& pcm_definitions);

// Runs `body` with standard output sent to a file and returns what it wrote.
std::string CaptureStdout(const std::function<void()>& body);

// Little-endian fields of a byte string.
uint32_t Le32(const std::string& bytes, size_t at);
uint16_t Le16(const std::string& bytes, size_t at);

// The 44-byte header that a take of `frames` frames must have.
std::string ExpectedHeader(uint32_t rate_hz, uint32_t channels, uint32_t sample_bytes,
                           uint32_t frames);

// Lines of text split at "\n" (a trailing piece without newline kept).
std::vector<std::string> SplitLines(const std::string& text);

// Status-line pieces: the text split at "\r" and "\n", empty pieces dropped.
std::vector<std::string> SplitStatus(const std::string& text);

// Runs a shell command, returns its exit status and standard output.
int Shell(const std::string& command, std::string* out = nullptr);

// The width of the terminal that shows the status line, followed through
// resizes. The capture thread reads it once per period, so it must cost no
// system call: SIGWINCH only raises a flag, and the width is read again on
// the capture thread when it finds the flag raised.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

#include "capture/capture.hpp"

namespace {

// Raised by the handler, lowered by the capture thread.
std::atomic<bool> resized{false};
static_assert(std::atomic<bool>::is_always_lock_free, "raised by a signal handler");
// Written and read by the capture thread only (the handler never reads them).
int terminal_fd = -1; // -1: the status text goes to no terminal
int columns = 0;      // 0: no limit
bool watching = false;
struct sigaction saved_action;

void OnResize(int)
{
    resized.store(true, std::memory_order_relaxed);
}

int ReadColumns(int fd)
{
    winsize size{};
    // A terminal that does not know its width (0) sets no limit.
    return ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

} // namespace

void WatchStatusWidth()
{
    // Standard output as it is before the terminal thread takes it over:
    // where the status text will go (standard error's copy when the take
    // itself goes to standard output).
    const int fd = fileno(stdout);
    terminal_fd = fd >= 0 && isatty(fd) ? fd : -1;
    columns = terminal_fd < 0 ? 0 : ReadColumns(terminal_fd);
    resized.store(false, std::memory_order_relaxed);
    if (terminal_fd < 0)
        return;
    struct sigaction action {};
    action.sa_handler = OnResize;
    sigemptyset(&action.sa_mask);
    // Interrupted waits of the capture loop go on by themselves.
    action.sa_flags = SA_RESTART;
    watching = sigaction(SIGWINCH, &action, &saved_action) == 0;
}

void UnwatchStatusWidth()
{
    if (watching)
        sigaction(SIGWINCH, &saved_action, nullptr);
    watching = false;
    terminal_fd = -1;
    columns = 0;
}

int StatusColumns()
{
    if (resized.exchange(false, std::memory_order_relaxed) && terminal_fd >= 0)
        columns = ReadColumns(terminal_fd);
    return columns;
}

// The take's terminal output: a queue of text pieces and the thread that
// writes them, so that printing never waits for the terminal.
#include "capture/console.hpp"

#include "capture/capture.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace {

// About 24 s of status lines at 44.1 kHz before they are thinned out, and
// room for hundreds of warnings beyond that.
constexpr uint32_t kConsoleSlots = 1024;
// Other threads print rarely, if ever (an ALSA plugin's error message).
constexpr uint32_t kForeignSlots = 64;
constexpr size_t kStreamBufferBytes = 16384;
constexpr size_t kWriteChunkBytes = 16384;
// A terminal thread asleep is woken for a line of its own or this many
// pieces; otherwise it looks for status lines by itself every 50 ms, which
// at real time is every period or two.
constexpr uint64_t kBatchPieces = 64;
constexpr int64_t kTextCheckNs = 50000000;
// How long the end of a take waits for the disk before it says so.
constexpr int64_t kDiskWaitSayNs = 2000000000;
// How long the terminal thread waits for a status line being rewritten.
constexpr long kRewriteWaitNs = 1000000;

bool Waiting(const ConsoleQueue* queue)
{
    return queue->pushed.load(std::memory_order_acquire) !=
           queue->taken.load(std::memory_order_relaxed);
}

struct CookieTarget {
    Console* console;
    int fd;
};

CookieTarget out_target;
CookieTarget err_target;

ssize_t QueueWrite(void* cookie, const char* text, size_t bytes)
{
    const CookieTarget* target = static_cast<const CookieTarget*>(cookie);
    Console* console = target->console;
    if (pthread_equal(pthread_self(), console->owner)) {
        ConsoleQueue* queue = &console->queue;
        const uint64_t before = queue->pushed.load(std::memory_order_relaxed);
        ConsoleQueueText(queue, target->fd, text, bytes);
        // A line of its own (a warning, the report) is written at once;
        // status lines faster than the eye are handed over in batches. The
        // terminal thread sleeps only on an empty queue, so the batch is
        // complete when the count waiting passes the mark.
        const uint64_t taken = queue->taken.load(std::memory_order_relaxed);
        if (std::memchr(text, '\n', bytes) != nullptr ||
            (before - taken < kBatchPieces &&
             queue->pushed.load(std::memory_order_relaxed) - taken >= kBatchPieces))
            DoorbellRing(&console->bell);
    } else {
        std::lock_guard<std::mutex> hold(console->foreign_lock);
        ConsoleQueueText(&console->foreign, target->fd, text, bytes);
        DoorbellRing(&console->bell);
    }
    return static_cast<ssize_t>(bytes);
}

// Writes all of it unless the reader is gone; a terminal that is merely
// slow is waited for here, in this thread only.
void WriteAll(int fd, const char* text, size_t bytes, bool* broken)
{
    while (bytes > 0 && !*broken) {
        const ssize_t n = write(fd, text, bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *broken = true;
            return;
        }
        text += n;
        bytes -= static_cast<size_t>(n);
    }
}

// Writes what waits in `queue`, one destination at a time. Returns whether
// anything was taken.
bool WriteWaiting(Console* console, ConsoleQueue* queue, char* chunk)
{
    if (chunk == nullptr) {
        // Without a buffer nothing can be written: drop what waits.
        queue->taken.store(queue->pushed.load(std::memory_order_acquire),
                           std::memory_order_release);
        return false;
    }
    int fd = 1;
    const size_t bytes = ConsoleQueueTake(queue, chunk, kWriteChunkBytes, &fd);
    if (bytes == 0)
        return false;
    if (fd == 1)
        WriteAll(console->out_fd, chunk, bytes, &console->out_broken);
    else
        WriteAll(console->err_fd, chunk, bytes, &console->err_broken);
    return true;
}

// The user who pressed Ctrl-C and sees nothing happen is told why: the
// take cannot end before the disk has taken it.
void SayWhatTheEndWaitsFor(Console* console, bool* said)
{
    const int64_t since = console->disk_wait_since_ns.load(std::memory_order_acquire);
    if (since == 0)
        return;
    char line[96];
    int bytes = 0;
    if (!*said && !console->disk_wait_over.load(std::memory_order_acquire) &&
        MonotonicNs() - since >= kDiskWaitSayNs) {
        bytes = std::snprintf(line, sizeof line,
                              "\nWaiting for the disk: %.1f s of audio still to write\n",
                              console->unwritten_seconds(console->unwritten_arg));
        *said = true;
    } else if (*said && console->disk_wait_over.load(std::memory_order_acquire)) {
        bytes = std::snprintf(line, sizeof line, "Waiting for the disk: done\n");
        console->disk_wait_since_ns.store(0, std::memory_order_relaxed);
    }
    if (bytes > 0)
        WriteAll(console->err_fd, line, static_cast<size_t>(bytes), &console->err_broken);
}

void* TerminalThreadMain(void* arg)
{
    Console* console = static_cast<Console*>(arg);
    char* chunk = static_cast<char*>(std::malloc(kWriteChunkBytes));
    bool said_disk_wait = false;
    for (;;) {
        SayWhatTheEndWaitsFor(console, &said_disk_wait);
        const bool wrote = WriteWaiting(console, &console->queue, chunk);
        if (wrote)
            DoorbellRing(&console->taken_bell);
        if (WriteWaiting(console, &console->foreign, chunk) || wrote)
            continue;
        if (Waiting(&console->queue) || Waiting(&console->foreign)) {
            // The one piece left is a status line being rewritten.
            const timespec pause{0, kRewriteWaitNs};
            nanosleep(&pause, nullptr);
            continue;
        }
        // Closed after the capture thread's last text.
        if (console->closing.load(std::memory_order_acquire)) {
            if (!Waiting(&console->queue) && !Waiting(&console->foreign))
                break;
            continue;
        }
        DoorbellSleep(&console->bell, kTextCheckNs, [console] {
            return Waiting(&console->queue) || Waiting(&console->foreign) ||
                   console->closing.load(std::memory_order_relaxed);
        });
    }
    SayWhatTheEndWaitsFor(console, &said_disk_wait);
    std::free(chunk);
    return nullptr;
}

// Frees what ConsoleOpen made, from its two streams on.
void FreeStreams(Console* console)
{
    if (console->out != nullptr)
        std::fclose(console->out);
    if (console->err != nullptr)
        std::fclose(console->err);
    std::free(console->out_buffer);
    console->out = nullptr;
    console->err = nullptr;
    console->out_buffer = nullptr;
    ConsoleQueueFree(&console->queue);
    ConsoleQueueFree(&console->foreign);
}

uint64_t Backlog(const Console* console)
{
    return console->queue.pushed.load(std::memory_order_relaxed) -
           console->queue.taken.load(std::memory_order_relaxed);
}

} // namespace

int ConsoleOpen(Console* console)
{
    if (ConsoleQueueInit(&console->queue, kConsoleSlots) != 0)
        return ENOMEM;
    if (ConsoleQueueInit(&console->foreign, kForeignSlots) != 0) {
        ConsoleQueueFree(&console->queue);
        return ENOMEM;
    }
    console->out_buffer = static_cast<char*>(std::malloc(kStreamBufferBytes));
    out_target = {console, 1};
    err_target = {console, 2};
    const cookie_io_functions_t io = {nullptr, QueueWrite, nullptr, nullptr};
    console->out = fopencookie(&out_target, "w", io);
    console->err = fopencookie(&err_target, "w", io);
    if (console->out_buffer == nullptr || console->out == nullptr || console->err == nullptr) {
        FreeStreams(console);
        return ENOMEM;
    }
    // Fully buffered: the status line of a period reaches the queue whole,
    // at the flush that ends the period.
    std::setvbuf(console->out, console->out_buffer, _IOFBF, kStreamBufferBytes);
    std::setvbuf(console->err, nullptr, _IONBF, 0);

    std::fflush(stdout);
    std::fflush(stderr);
    console->saved_out = stdout;
    console->saved_err = stderr;
    console->out_fd = fileno(stdout);
    console->err_fd = fileno(stderr);
    console->owner = pthread_self();

    const int started = StartThreadWithoutSignals(&console->thread, TerminalThreadMain, console);
    if (started != 0) {
        FreeStreams(console);
        return started;
    }

    stdout = console->out;
    stderr = console->err;
    return 0;
}

void ConsoleFlush()
{
    std::fflush(stdout);
}

bool ConsoleBehind(const Console* console)
{
    return Backlog(console) >= console->queue.relaxed / 2;
}

void ConsoleCatchUp(Console* console, int64_t timeout_ns)
{
    // Down to an eighth of the queue, so that the next wait is many
    // periods away.
    const uint64_t caught_up = console->queue.relaxed / 4;
    const int64_t until_ns = MonotonicNs() + timeout_ns;
    for (int64_t left_ns = timeout_ns; Backlog(console) > caught_up && left_ns > 0;
         left_ns = until_ns - MonotonicNs()) {
        DoorbellRing(&console->bell);
        DoorbellSleep(&console->taken_bell, left_ns,
                      [console, caught_up] { return Backlog(console) <= caught_up; });
    }
}

void ConsoleDiskWait(Console* console, double (*unwritten_seconds)(const void*), const void* arg)
{
    console->unwritten_seconds = unwritten_seconds;
    console->unwritten_arg = arg;
    console->disk_wait_over.store(false, std::memory_order_relaxed);
    console->disk_wait_since_ns.store(MonotonicNs(), std::memory_order_release);
}

void ConsoleDiskWaitOver(Console* console)
{
    console->disk_wait_over.store(true, std::memory_order_release);
    DoorbellRing(&console->bell);
}

uint64_t ConsoleClose(Console* console)
{
    std::fflush(console->out);
    std::fflush(console->err);
    stdout = console->saved_out;
    stderr = console->saved_err;
    console->closing.store(true, std::memory_order_release);
    DoorbellRing(&console->bell);
    pthread_join(console->thread, nullptr);
    const uint64_t dropped = console->queue.dropped_events + console->foreign.dropped_events;
    FreeStreams(console);
    return dropped;
}

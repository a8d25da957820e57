// The take's terminal output, written by a thread of its own so that a
// terminal that does not take text (Ctrl-S, a status pipe nobody reads)
// never holds up the capture.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <pthread.h>

#include "capture/doorbell.hpp"

// What one piece of queued text is. The status line (from "\r" up to the
// next newline) is rewritten every period, so only its newest version
// matters; everything else is an event that is kept, in order.
enum class TextKind : uint8_t { kStatus, kEvent };

inline constexpr int kConsoleSlotBytes = 248;

struct ConsoleSlot {
    uint8_t fd; // 1 or 2: which of the saved standard streams it goes to
    TextKind kind;
    uint16_t bytes;
    // Who holds the text of the newest slot, through std::atomic_ref: the
    // producer rewriting a status line, the consumer taking it, or neither.
    uint8_t claim;
    char text[kConsoleSlotBytes];
};

// A queue of text pieces between one producer and the terminal thread,
// without a lock: the producer publishes a slot by advancing `pushed`
// (release), the consumer frees it by advancing `taken` (release). While
// fewer than `relaxed` pieces wait, every piece is kept, so a terminal that
// keeps up gets exactly the bytes printed. Beyond that a new status line
// replaces a status line still waiting at the tail (unless the consumer is
// taking it just then); when the queue is full, status lines are dropped and
// events too, once the bound is reached.
struct ConsoleQueue {
    // Set by ConsoleQueueInit, then only read.
    ConsoleSlot* slots = nullptr;
    uint32_t capacity = 0;
    uint32_t relaxed = 0;
    // Written only by the producer.
    std::atomic<uint64_t> pushed{0}; // pieces ever queued
    uint64_t dropped = 0;            // status lines thinned and events dropped
    uint64_t dropped_events = 0;     // pieces of warnings that never reached the terminal
    // Written only by the consumer.
    std::atomic<uint64_t> taken{0}; // pieces taken by the terminal thread
};

// Sets up a queue of `capacity` slots (allocates); 0, or -1 without memory.
int ConsoleQueueInit(ConsoleQueue* queue, uint32_t capacity);
void ConsoleQueueFree(ConsoleQueue* queue);
// Producer: queues `bytes` of text bound for descriptor `fd` (1 or 2), cut
// into status and event pieces. Never blocks.
void ConsoleQueueText(ConsoleQueue* queue, int fd, const char* text, size_t bytes);
// Consumer: copies waiting pieces of one destination, in order, into `out`
// (room for `room` bytes, at least one slot's worth). Returns the bytes
// copied and sets *fd; 0 when nothing waits, or when the one piece waiting
// is being rewritten this moment.
size_t ConsoleQueueTake(ConsoleQueue* queue, char* out, size_t room, int* fd);

// The terminal output of a take: while it is open, standard output and
// standard error are streams that queue their text, and a thread writes it
// to the descriptors they had.
struct Console {
    // Text printed by the thread that opened the console (the capture
    // thread), in the order printed, whichever stream it went to; that
    // thread alone pushes it.
    ConsoleQueue queue;
    // Text of any other thread (an ALSA plugin's own thread writing to
    // standard error), pushed under `foreign_lock`, which the capture thread
    // never takes.
    ConsoleQueue foreign;
    std::mutex foreign_lock;
    // Set by ConsoleOpen; then read-only.
    pthread_t owner{};
    int out_fd = 1; // where standard output's text goes
    int err_fd = 2;
    // The terminal thread sleeps on `bell`, rung by any producer; the
    // capture thread on `taken_bell` while it lets the terminal catch up,
    // rung by the terminal thread.
    Doorbell bell;
    Doorbell taken_bell;
    // Set by ConsoleClose after the last text of the capture thread.
    std::atomic<bool> closing{false};
    // While the take ends: when the capture thread began to wait for the
    // disk (0: it does not), and what tells the audio still to write. Set
    // by the capture thread; the terminal thread says what it waits for.
    std::atomic<int64_t> disk_wait_since_ns{0};
    std::atomic<bool> disk_wait_over{false};
    double (*unwritten_seconds)(const void*) = nullptr;
    const void* unwritten_arg = nullptr;
    // The terminal thread's alone.
    bool out_broken = false; // a reader went away: its text is dropped
    bool err_broken = false;
    // The capture thread's alone.
    FILE* saved_out = nullptr;
    FILE* saved_err = nullptr;
    FILE* out = nullptr;
    FILE* err = nullptr;
    char* out_buffer = nullptr;
    pthread_t thread{};
};

// Starts the terminal thread and swaps standard output and error for
// queueing streams. Returns 0; or, with nothing changed, ENOMEM without
// memory, or the error of the thread that could not be started.
int ConsoleOpen(Console* console);
// Flushes what was printed into the queue. Never blocks on the terminal.
void ConsoleFlush();
// Whether so much of the capture thread's text waits that status lines will
// soon be thinned out.
bool ConsoleBehind(const Console* console);
// Waits, up to `timeout_ns`, until the terminal thread has caught up. Only
// for a source ahead of real time, which loses nothing by waiting: its
// status lines then all reach a terminal that is merely slow to be given
// a CPU.
void ConsoleCatchUp(Console* console, int64_t timeout_ns);
// The take's end waits for the disk from now on: when that lasts over 2 s,
// the terminal thread says so on standard error, with the seconds of audio
// `unwritten_seconds(arg)` still has to write, and again when it is over
// (ConsoleDiskWaitOver).
void ConsoleDiskWait(Console* console, double (*unwritten_seconds)(const void*), const void* arg);
void ConsoleDiskWaitOver(Console* console);
// Writes everything queued (blocking until the terminal takes it or its
// reader is gone), restores the standard streams and stops the thread.
// Returns the pieces of warnings that had to be dropped during the take.
uint64_t ConsoleClose(Console* console);

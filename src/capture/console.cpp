// The take's terminal output: a queue of text pieces and the thread that
// writes them, so that printing never waits for the terminal.
#include "capture/console.hpp"

#include "capture/capture.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace {

// About 24 s of status lines at 44.1 kHz before they are thinned out, and
// room for hundreds of warnings beyond that.
constexpr uint32_t kConsoleSlots = 1024;
constexpr size_t kStreamBufferBytes = 16384;
constexpr size_t kWriteChunkBytes = 16384;
constexpr uint64_t kBatchPieces = 64;
constexpr int64_t kBatchNs = 20000000;
constexpr auto kTextCheck = std::chrono::milliseconds(50);

void Push(ConsoleQueue* queue, int fd, TextKind kind, const char* text, size_t bytes)
{
    const uint64_t waiting = queue->pushed - queue->taken;
    if (kind == TextKind::kStatus && waiting >= queue->relaxed && waiting > 0) {
        ConsoleSlot& last = queue->slots[(queue->pushed - 1) % queue->capacity];
        if (last.kind == TextKind::kStatus && last.fd == fd) {
            std::memcpy(last.text, text, bytes);
            last.bytes = static_cast<uint16_t>(bytes);
            ++queue->dropped;
            return;
        }
    }
    if (waiting >= queue->capacity) {
        ++queue->dropped;
        return;
    }
    ConsoleSlot& slot = queue->slots[queue->pushed % queue->capacity];
    slot.fd = static_cast<uint8_t>(fd);
    slot.kind = kind;
    slot.bytes = static_cast<uint16_t>(bytes);
    std::memcpy(slot.text, text, bytes);
    ++queue->pushed;
}

void PushPieces(ConsoleQueue* queue, int fd, TextKind kind, const char* text, size_t bytes)
{
    // A status line too long for one slot is kept whole, as events.
    if (kind == TextKind::kStatus && bytes > kConsoleSlotBytes)
        kind = TextKind::kEvent;
    while (bytes > 0) {
        const size_t piece = bytes < kConsoleSlotBytes ? bytes : kConsoleSlotBytes;
        Push(queue, fd, kind, text, piece);
        text += piece;
        bytes -= piece;
    }
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
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(console->lock);
        ConsoleQueueText(&console->queue, target->fd, text, bytes);
        // A line of its own (a warning, the report) is written at once; status
        // lines faster than the eye are handed over in batches.
        const int64_t now = MonotonicNs();
        if (std::memchr(text, '\n', bytes) != nullptr ||
            console->queue.pushed - console->queue.taken >= kBatchPieces ||
            now - console->woken_ns >= kBatchNs) {
            console->woken_ns = now;
            wake = true;
        }
    }
    if (wake)
        console->wake.notify_one();
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

void* WriteText(void* arg)
{
    Console* console = static_cast<Console*>(arg);
    char* chunk = static_cast<char*>(std::malloc(kWriteChunkBytes));
    std::unique_lock<std::mutex> hold(console->lock);
    for (;;) {
        // The time-out takes a status line whose batch never filled.
        console->wake.wait_for(hold, kTextCheck, [&] {
            return console->closing || console->queue.pushed != console->queue.taken;
        });
        if (console->queue.pushed == console->queue.taken) {
            if (console->closing)
                break;
            continue;
        }
        int fd = 1;
        const size_t bytes =
            chunk == nullptr ? 0 : ConsoleQueueTake(&console->queue, chunk, kWriteChunkBytes, &fd);
        if (bytes == 0) {
            // Without a buffer nothing can be written: drop what waits.
            console->queue.taken = console->queue.pushed;
            continue;
        }
        hold.unlock();
        if (fd == 1)
            WriteAll(console->out_fd, chunk, bytes, &console->out_broken);
        else
            WriteAll(console->err_fd, chunk, bytes, &console->err_broken);
        hold.lock();
    }
    hold.unlock();
    std::free(chunk);
    return nullptr;
}

} // namespace

int ConsoleQueueInit(ConsoleQueue* queue, uint32_t capacity)
{
    *queue = ConsoleQueue{};
    queue->slots = static_cast<ConsoleSlot*>(std::calloc(capacity, sizeof(ConsoleSlot)));
    if (queue->slots == nullptr)
        return -1;
    queue->capacity = capacity;
    queue->relaxed = capacity / 2;
    return 0;
}

void ConsoleQueueFree(ConsoleQueue* queue)
{
    std::free(queue->slots);
    *queue = ConsoleQueue{};
}

void ConsoleQueueText(ConsoleQueue* queue, int fd, const char* text, size_t bytes)
{
    size_t at = 0;
    while (at < bytes) {
        size_t end = at;
        TextKind kind;
        if (text[at] == '\r') {
            kind = TextKind::kStatus;
            ++end;
            while (end < bytes && text[end] != '\n' && text[end] != '\r')
                ++end;
        } else {
            kind = TextKind::kEvent;
            while (end < bytes && text[end] != '\r')
                ++end;
        }
        if (fd != 1)
            kind = TextKind::kEvent;
        PushPieces(queue, fd, kind, text + at, end - at);
        at = end;
    }
}

size_t ConsoleQueueTake(ConsoleQueue* queue, char* out, size_t room, int* fd)
{
    size_t copied = 0;
    while (queue->taken != queue->pushed) {
        const ConsoleSlot& slot = queue->slots[queue->taken % queue->capacity];
        if (copied > 0 && (slot.fd != *fd || copied + slot.bytes > room))
            break;
        *fd = slot.fd;
        std::memcpy(out + copied, slot.text, slot.bytes);
        copied += slot.bytes;
        ++queue->taken;
    }
    return copied;
}

int ConsoleOpen(Console* console)
{
    if (ConsoleQueueInit(&console->queue, kConsoleSlots) != 0)
        return -1;
    console->out_buffer = static_cast<char*>(std::malloc(kStreamBufferBytes));
    out_target = {console, 1};
    err_target = {console, 2};
    const cookie_io_functions_t io = {nullptr, QueueWrite, nullptr, nullptr};
    console->out = fopencookie(&out_target, "w", io);
    console->err = fopencookie(&err_target, "w", io);
    if (console->out_buffer == nullptr || console->out == nullptr || console->err == nullptr) {
        if (console->out != nullptr)
            std::fclose(console->out);
        if (console->err != nullptr)
            std::fclose(console->err);
        std::free(console->out_buffer);
        ConsoleQueueFree(&console->queue);
        return -1;
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

    const int started = StartThreadWithoutSignals(&console->thread, WriteText, console);
    if (started != 0) {
        std::fclose(console->out);
        std::fclose(console->err);
        std::free(console->out_buffer);
        ConsoleQueueFree(&console->queue);
        return -1;
    }

    stdout = console->out;
    stderr = console->err;
    return 0;
}

void ConsoleFlush()
{
    std::fflush(stdout);
}

void ConsoleClose(Console* console)
{
    std::fflush(console->out);
    std::fflush(console->err);
    stdout = console->saved_out;
    stderr = console->saved_err;
    {
        std::lock_guard<std::mutex> hold(console->lock);
        console->closing = true;
    }
    console->wake.notify_one();
    pthread_join(console->thread, nullptr);
    std::fclose(console->out);
    std::fclose(console->err);
    std::free(console->out_buffer);
    ConsoleQueueFree(&console->queue);
}

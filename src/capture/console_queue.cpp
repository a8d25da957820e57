// The queue of text pieces between the capture thread and the terminal
// thread: lock-free, status lines thinned out when it backs up.
#include "capture/console.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// ConsoleSlot::claim.
constexpr uint8_t kUnclaimed = 0;
constexpr uint8_t kRewriting = 1;
constexpr uint8_t kTaking = 2;

void Push(ConsoleQueue* queue, int fd, TextKind kind, const char* text, size_t bytes)
{
    const uint64_t pushed = queue->pushed.load(std::memory_order_relaxed);
    const uint64_t waiting = pushed - queue->taken.load(std::memory_order_acquire);
    if (kind == TextKind::kStatus && waiting >= queue->relaxed && waiting > 0) {
        ConsoleSlot& last = queue->slots[(pushed - 1) % queue->capacity];
        uint8_t unclaimed = kUnclaimed;
        if (last.kind == TextKind::kStatus && last.fd == fd &&
            std::atomic_ref<uint8_t>(last.claim)
                .compare_exchange_strong(unclaimed, kRewriting, std::memory_order_acquire)) {
            std::memcpy(last.text, text, bytes);
            last.bytes = static_cast<uint16_t>(bytes);
            std::atomic_ref<uint8_t>(last.claim).store(kUnclaimed, std::memory_order_release);
            ++queue->dropped;
            return;
        }
    }
    if (waiting >= queue->capacity) {
        ++queue->dropped;
        if (kind == TextKind::kEvent)
            ++queue->dropped_events;
        return;
    }
    ConsoleSlot& slot = queue->slots[pushed % queue->capacity];
    slot.fd = static_cast<uint8_t>(fd);
    slot.kind = kind;
    slot.bytes = static_cast<uint16_t>(bytes);
    std::atomic_ref<uint8_t>(slot.claim).store(kUnclaimed, std::memory_order_relaxed);
    std::memcpy(slot.text, text, bytes);
    queue->pushed.store(pushed + 1, std::memory_order_release);
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

// Where `mark` first comes in text[from, end), or `end`.
size_t EndBefore(const char* text, size_t from, size_t end, char mark)
{
    const void* found = std::memchr(text + from, mark, end - from);
    return found == nullptr ? end : static_cast<size_t>(static_cast<const char*>(found) - text);
}

} // namespace

int ConsoleQueueInit(ConsoleQueue* queue, uint32_t capacity)
{
    queue->pushed.store(0, std::memory_order_relaxed);
    queue->taken.store(0, std::memory_order_relaxed);
    queue->dropped = 0;
    queue->dropped_events = 0;
    queue->slots = static_cast<ConsoleSlot*>(std::calloc(capacity, sizeof(ConsoleSlot)));
    queue->capacity = queue->slots == nullptr ? 0 : capacity;
    queue->relaxed = queue->capacity / 2;
    return queue->slots == nullptr ? -1 : 0;
}

void ConsoleQueueFree(ConsoleQueue* queue)
{
    std::free(queue->slots);
    queue->slots = nullptr;
    queue->capacity = 0;
    queue->relaxed = 0;
}

void ConsoleQueueText(ConsoleQueue* queue, int fd, const char* text, size_t bytes)
{
    size_t at = 0;
    while (at < bytes) {
        // A status line runs up to the next newline or carriage return, an
        // event up to the next carriage return.
        TextKind kind = text[at] == '\r' ? TextKind::kStatus : TextKind::kEvent;
        const size_t from = kind == TextKind::kStatus ? at + 1 : at;
        size_t end = EndBefore(text, from, bytes, '\r');
        if (kind == TextKind::kStatus)
            end = EndBefore(text, from, end, '\n');
        if (fd != 1)
            kind = TextKind::kEvent;
        PushPieces(queue, fd, kind, text + at, end - at);
        at = end;
    }
}

size_t ConsoleQueueTake(ConsoleQueue* queue, char* out, size_t room, int* fd)
{
    uint64_t taken = queue->taken.load(std::memory_order_relaxed);
    const uint64_t pushed = queue->pushed.load(std::memory_order_acquire);
    size_t copied = 0;
    for (; taken != pushed; ++taken) {
        ConsoleSlot& slot = queue->slots[taken % queue->capacity];
        // Only the newest piece can be rewritten by the producer: it is
        // claimed before it is read.
        const bool newest = taken + 1 == pushed;
        std::atomic_ref<uint8_t> claim(slot.claim);
        uint8_t unclaimed = kUnclaimed;
        if (newest && !claim.compare_exchange_strong(unclaimed, kTaking, std::memory_order_acquire))
            break;
        if (copied > 0 && (slot.fd != *fd || copied + slot.bytes > room)) {
            if (newest)
                claim.store(kUnclaimed, std::memory_order_release);
            break;
        }
        *fd = slot.fd;
        std::memcpy(out + copied, slot.text, slot.bytes);
        copied += slot.bytes;
    }
    queue->taken.store(taken, std::memory_order_release);
    return copied;
}

// A wake-up between two threads that costs the waker nothing while the
// other thread is awake: the sleeper raises a flag before it sleeps, and only
// a waker that finds the flag raised makes a system call.
#pragma once

#include <atomic>
#include <cstdint>

struct Doorbell {
    // 1 while a thread sleeps on it, or is about to; cleared by that thread,
    // or by the one that wakes it. A futex word.
    std::atomic<uint32_t> sleeping{0};
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "a futex word is a plain 32-bit integer");

// Wakes the thread sleeping on `bell`, if any. Safe from any thread; the
// caller has published the work (release) before.
void DoorbellRing(Doorbell* bell);

// The sleep itself: the futex wait while the flag is raised.
void DoorbellWait(Doorbell* bell, int64_t timeout_ns);

// Sleeps until rung or for `timeout_ns`, unless `has_work` (checked after
// the flag is raised, so that no ring is lost) says there is work already.
// A sleep may also end early, for no reason: the caller looks again.
template <class HasWork> void DoorbellSleep(Doorbell* bell, int64_t timeout_ns, HasWork has_work)
{
    // Both sides change the flag by read-modify-write, which orders them:
    // either the ringer's exchange comes first, and this one acquires the
    // work published before it, or this one does, and the ringer sees the
    // flag raised. (No fence: ThreadSanitizer does not model fences.)
    bell->sleeping.exchange(1, std::memory_order_acq_rel);
    if (!has_work())
        DoorbellWait(bell, timeout_ns);
    // Lowered by read-modify-write too: a ring that came while this thread
    // slept, or just after it looked, is acquired with the work before it,
    // so the caller's next look sees that work.
    bell->sleeping.exchange(0, std::memory_order_acquire);
}

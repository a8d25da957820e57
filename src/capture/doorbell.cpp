// The futex behind the doorbell.
#include "capture/doorbell.hpp"

#include "capture/capture.hpp"

#include <cerrno>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
uint32_t* FutexWord(Doorbell* bell)
{
    return reinterpret_cast<uint32_t*>(&bell->sleeping);
}
} // namespace

void DoorbellWait(Doorbell* bell, int64_t timeout_ns)
{
    const timespec timeout{static_cast<time_t>(timeout_ns / kNsPerSecond),
                           static_cast<long>(timeout_ns % kNsPerSecond)};
    // Returns at once when the flag was cleared in the meantime.
    syscall(SYS_futex, FutexWord(bell), FUTEX_WAIT_PRIVATE, 1u, &timeout, nullptr, 0);
}

void DoorbellRing(Doorbell* bell)
{
    // One system call per sleep, however many ring: the first to clear the
    // flag wakes the sleeper. The exchange also releases the work published
    // before it to a sleeper that raises the flag after it.
    if (bell->sleeping.exchange(0, std::memory_order_acq_rel) != 0)
        syscall(SYS_futex, FutexWord(bell), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

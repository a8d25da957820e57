// Signals that stop a take, and standard streams that must never be reused.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "capture/capture.hpp"

namespace {

// Every signal whose default action would end the process in the middle of
// a take: each ends the take instead, like Ctrl-C: whole periods, exact
// headers, synced files, and then death by the same signal. A UPS daemon
// sends SIGPWR before the power goes; the real-time signals (added at run
// time: their numbers are the C library's to choose) are a script's own.
constexpr int kStopSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,  SIGALRM,
                                SIGXCPU, SIGVTALRM, SIGPROF, SIGPWR,  SIGIO,   SIGSTKFLT};
// These dump core, and most of them are how the program's own faults show.
// Sent by another process they are a request to stop like any other; a
// fault of the program itself keeps its default action.
constexpr int kCoreSignals[] = {SIGABRT, SIGSYS, SIGTRAP, SIGBUS, SIGFPE, SIGILL, SIGSEGV};
constexpr int kFixedCount = sizeof kStopSignals / sizeof kStopSignals[0];
constexpr int kCoreCount = sizeof kCoreSignals / sizeof kCoreSignals[0];
constexpr int kMaxCaught = kFixedCount + kCoreCount + 64;

// Written by whichever thread takes a signal (a plugin's too), read by the
// capture thread: lock-free, as a signal handler needs.
std::atomic<int> stop_signal{0};
// Set once the take's files are sealed and synced: from then on a stop
// signal ends the process at once, whatever it waits for.
std::atomic<bool> take_safe{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

int caught_signals[kMaxCaught];
struct sigaction saved_actions[kMaxCaught];
int caught_count = 0;
struct sigaction saved_pipe, saved_file_size;
bool hazards_ignored = false;

[[noreturn]] void DieBy(int signal)
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal); // not reached: the default action ends the process
}

bool IsCoreSignal(int signal)
{
    for (int core : kCoreSignals)
        if (core == signal)
            return true;
    return false;
}

void OnStopSignal(int signal, siginfo_t* info, void*)
{
    // A core-dumping signal that this process raised itself (a fault, or
    // abort()) is no request: with the default action back, the fault
    // happens again on return, or abort() raises it again.
    if (IsCoreSignal(signal) &&
        (info == nullptr || info->si_code > 0 || info->si_pid == getpid())) {
        for (int i = 0; i < caught_count; ++i)
            if (caught_signals[i] == signal)
                sigaction(signal, &saved_actions[i], nullptr);
        return;
    }
    // The first signal decides; a second one while the take is being
    // finished is no reason to leave its files half sealed.
    int none = 0;
    stop_signal.compare_exchange_strong(none, signal);
    if (take_safe.load())
        DieBy(stop_signal.load());
}

void SetAction(int signal, void (*handler)(int), struct sigaction* old = nullptr)
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, old);
}

void Catch(int signal)
{
    struct sigaction old;
    if (caught_count == kMaxCaught || sigaction(signal, nullptr, &old) != 0)
        return;
    // A signal the caller ignores (nohup, a background job of a shell)
    // stays ignored.
    if (!(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_IGN)
        return;
    struct sigaction action {};
    action.sa_sigaction = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Any thread may take the signal; a write of the writer's or the
    // terminal's thread that it interrupts carries on. The capture loop
    // waits in slices and sees the flag within one.
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(signal, &action, nullptr);
    caught_signals[caught_count] = signal;
    saved_actions[caught_count] = old;
    ++caught_count;
}

} // namespace

void CatchStopSignals()
{
    stop_signal.store(0);
    take_safe.store(false);
    caught_count = 0;
    for (int signal : kStopSignals)
        Catch(signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        Catch(signal);
    for (int signal : kCoreSignals)
        Catch(signal);
    WatchStatusWidth();
}

void IgnoreTakeHazards()
{
    // A file-size limit then shows as a failed write, which the take reports
    // and survives, instead of killing the process mid-take; and a sound
    // server's client library that sizes its shared memory while the device
    // opens gets an error it handles, not a death.
    SetAction(SIGXFSZ, SIG_IGN, &saved_file_size);
    // The status text is not the recording: a reader that goes away costs
    // the take nothing.
    SetAction(SIGPIPE, SIG_IGN, &saved_pipe);
    hazards_ignored = true;
}

void TakeIsSafe()
{
    // A signal taken before this is not lost: the take's end raises it.
    take_safe.store(true);
}

void ReleaseStopSignals()
{
    for (int i = 0; i < caught_count; ++i)
        sigaction(caught_signals[i], &saved_actions[i], nullptr);
    caught_count = 0;
    if (hazards_ignored) {
        sigaction(SIGXFSZ, &saved_file_size, nullptr);
        sigaction(SIGPIPE, &saved_pipe, nullptr);
        hazards_ignored = false;
    }
    UnwatchStatusWidth();
}

int StopSignal()
{
    return stop_signal.load(std::memory_order_relaxed);
}

void RaiseAgain(int signal)
{
    DieBy(signal);
}

bool IsStopSignal(int signal)
{
    for (int stop : kStopSignals)
        if (stop == signal)
            return true;
    return (signal >= SIGRTMIN && signal <= SIGRTMAX) || IsCoreSignal(signal);
}

int StartThreadWithoutSignals(pthread_t* thread, void* (*body)(void*), void* arg)
{
    // Blocked here, inherited by the new thread from its first instruction:
    // everything but the stop signals, so that one sent to this very thread
    // (tgkill) still stops the take. Faults of the thread itself are never
    // blocked by the kernel.
    sigset_t blocked, old;
    sigfillset(&blocked);
    for (int signal = 1; signal < NSIG; ++signal)
        if (IsStopSignal(signal))
            sigdelset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    const int started = pthread_create(thread, nullptr, body, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return started;
}

void GuardStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open gives the lowest free descriptor, which is this one.
            const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null_fd >= 0 && null_fd != fd)
                close(null_fd);
        }
    }
}

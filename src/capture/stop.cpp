// Signals that stop a take, and standard streams that must never be reused.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "capture/capture.hpp"

namespace {

// Every signal whose default action would end the process in the middle of
// a take. Each ends the take instead, like Ctrl-C: whole periods, exact
// headers, synced files, and then death by the same signal.
constexpr int kStopSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1,
                                SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF};
constexpr int kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

volatile sig_atomic_t stop_signal = 0;
struct sigaction saved_actions[kStopSignalCount];
bool caught[kStopSignalCount];
struct sigaction saved_pipe, saved_file_size;

void OnStopSignal(int signal)
{
    // The first signal decides; a second one while the take is being
    // finished is no reason to leave its files half sealed.
    if (stop_signal == 0)
        stop_signal = signal;
}

void SetAction(int signal, void (*handler)(int), struct sigaction* old = nullptr)
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocked wait returns so the loop sees the flag soon.
    action.sa_flags = 0;
    sigaction(signal, &action, old);
}

} // namespace

void CatchStopSignals()
{
    stop_signal = 0;
    for (int i = 0; i < kStopSignalCount; ++i) {
        sigaction(kStopSignals[i], nullptr, &saved_actions[i]);
        // A signal the caller ignores (nohup, a background job of a shell)
        // stays ignored.
        caught[i] = saved_actions[i].sa_handler != SIG_IGN;
        if (caught[i])
            SetAction(kStopSignals[i], OnStopSignal);
    }
    // A file-size limit then shows as a failed write, which the take reports
    // and survives, instead of killing the process mid-take.
    SetAction(SIGXFSZ, SIG_IGN, &saved_file_size);
    // The status text is not the recording: a reader that goes away costs
    // the take nothing.
    SetAction(SIGPIPE, SIG_IGN, &saved_pipe);
}

void ReleaseStopSignals()
{
    for (int i = 0; i < kStopSignalCount; ++i)
        if (caught[i])
            sigaction(kStopSignals[i], &saved_actions[i], nullptr);
    sigaction(SIGXFSZ, &saved_file_size, nullptr);
    sigaction(SIGPIPE, &saved_pipe, nullptr);
}

int StopSignal()
{
    return stop_signal;
}

void RaiseAgain(int signal)
{
    SetAction(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal); // not reached: the default action ends the process
}

int StartThreadWithoutSignals(pthread_t* thread, void* (*body)(void*), void* arg)
{
    // Blocked here, inherited by the new thread from its first instruction.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
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

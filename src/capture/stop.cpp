// Signals that stop a take, and standard streams that must never be reused.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "capture/capture.hpp"

namespace {

volatile sig_atomic_t stop_signal = 0;

void OnStopSignal(int signal)
{
    stop_signal = signal;
}

void SetAction(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocked wait returns so the loop sees the flag soon.
    action.sa_flags = 0;
    sigaction(signal, &action, nullptr);
}

} // namespace

void CatchStopSignals()
{
    stop_signal = 0;
    SetAction(SIGINT, OnStopSignal);
    SetAction(SIGTERM, OnStopSignal);
    // A file-size limit then shows as a failed write, which the take reports
    // and survives, instead of killing the process mid-take.
    SetAction(SIGXFSZ, SIG_IGN);
}

void ReleaseStopSignals()
{
    SetAction(SIGINT, SIG_DFL);
    SetAction(SIGTERM, SIG_DFL);
    SetAction(SIGXFSZ, SIG_DFL);
}

void IgnoreFileSizeSignal()
{
    SetAction(SIGXFSZ, SIG_IGN);
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

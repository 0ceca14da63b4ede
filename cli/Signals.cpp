#include "Signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

namespace zentactl {

namespace {

volatile std::sig_atomic_t caught = 0;
// Written by the handler, so that a pause ends as soon as a signal comes,
// even one that arrives just before the pause begins.
int wakeRead = -1, wakeWrite = -1;

void onSignal(int sig)
{
    if (!caught)
        caught = sig;
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite, &byte, 1);
    errno = saved;
}

}  // namespace

void catchSignals()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead = fds[0];
        wakeWrite = fds[1];
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    // A reader that went away (zentactl status --watch | head) shows as a
    // failed write, which ends the program in order.
    std::signal(SIGPIPE, SIG_IGN);
}

int caughtSignal() { return caught; }

const char *signalName(int sig)
{
    switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

void pauseFor(std::chrono::milliseconds d)
{
    if (caught)
        return;
    pollfd p{wakeRead, POLLIN, 0};
    const int ms = static_cast<int>(d.count());
    if (wakeRead < 0 || ::poll(&p, 1, ms) < 0) {
        // No pipe (or poll failed): a plain sleep, which a signal still cuts short.
        const timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        ::nanosleep(&t, nullptr);
    }
}

}  // namespace zentactl

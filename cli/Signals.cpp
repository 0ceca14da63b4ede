#include "Signals.h"

#include "Exit.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace zentactl {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t caught = 0;
// Written by the handler, so that a wait ends as soon as a signal comes,
// even one that arrives just before the wait begins.
int wakeRead = -1, wakeWrite = -1;
bool inOrder = false;
Service *current = nullptr;

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
    // Without SA_RESTART: a system call that waits returns at a signal.
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

int signalStatus() { return inOrder ? 0 : 128 + caught; }

void signalEndsInOrder() { inOrder = true; }

void setService(Service *s) { current = s; }

Service *service() { return current; }

Waited waitFor(int fd, short events, int ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    for (;;) {
        if (caught)
            return Waited::Signal;
        int left = -1;
        if (ms >= 0) {
            left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (left <= 0)
                return Waited::TimedOut;
        }
        std::vector<pollfd> fds{{fd, events, 0}, {wakeRead, POLLIN, 0}};
        if (current)
            current->watch(fds);
        const int r = ::poll(fds.data(), fds.size(), left);
        if (r < 0 && errno != EINTR) {
            // poll failed: a plain sleep, which a signal still cuts short.
            const int nap = left < 0 ? 100 : std::min(left, 100);
            const timespec t{0, static_cast<long>(nap) * 1000000L};
            ::nanosleep(&t, nullptr);
            continue;
        }
        if (r > 0 && current)
            current->serve();
        if (fd >= 0 && fds[0].revents)
            return Waited::Ready;
    }
}

void pauseFor(std::chrono::milliseconds d) { waitFor(-1, 0, static_cast<int>(d.count())); }

namespace {

// Standard output as zentactl writes it: a descriptor of its own that never
// blocks where one can be had (a pipe or a terminal opened again, so the
// shell's own stays as it was), else standard output itself, written in
// pieces small enough that room for them is room enough.
struct Out {
    int fd = STDOUT_FILENO;
    bool own = false;     // never blocks
    bool socket = false;  // sent with MSG_DONTWAIT
};

Out &out()
{
    static Out o = [] {
        Out r;
        struct stat st {};
        if (::fstat(STDOUT_FILENO, &st) != 0)
            return r;
        if (S_ISSOCK(st.st_mode)) {
            r.socket = true;
            r.own = true;
        } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            const int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            struct stat again {};
            if (fd >= 0 && ::fstat(fd, &again) == 0 && again.st_dev == st.st_dev && again.st_ino == st.st_ino
                && again.st_rdev == st.st_rdev) {
                r.fd = fd;
                r.own = true;
            } else if (fd >= 0) {
                ::close(fd);
            }
        } else {
            r.own = true;  // a file, which never keeps a writer waiting
        }
        return r;
    }();
    return o;
}

// Room for more within `ms`, serving meanwhile; a signal that came earlier
// (a jog's last line, written after its STOP) still leaves it that time.
bool roomFor(int fd, int ms)
{
    if (caught) {
        pollfd p{fd, POLLOUT, 0};
        return ::poll(&p, 1, ms) > 0;
    }
    return waitFor(fd, POLLOUT, -1) == Waited::Ready;
}

constexpr int kGraceMs = 500;

}  // namespace

bool writeStandardOutput(const std::string &data, int &error)
{
    Out &o = out();
    std::size_t done = 0;
    while (done < data.size()) {
        std::size_t piece = data.size() - done;
        if (!o.own) {
            // Room is known only once the descriptor says so, and a piece
            // of 512 bytes fits whatever room a pipe or a terminal reports.
            pollfd p{o.fd, POLLOUT, 0};
            if (::poll(&p, 1, 0) <= 0 && !roomFor(o.fd, kGraceMs))
                stop(signalStatus(), {});
            piece = std::min<std::size_t>(piece, 512);
        }
        const ssize_t n = o.socket ? ::send(o.fd, data.data() + done, piece, MSG_DONTWAIT | MSG_NOSIGNAL)
                                   : ::write(o.fd, data.data() + done, piece);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            // A reader that takes nothing keeps us here only until a signal.
            if (!roomFor(o.fd, kGraceMs))
                stop(signalStatus(), {});
            continue;
        }
        error = n < 0 ? errno : EIO;
        return false;
    }
    return true;
}

}  // namespace zentactl

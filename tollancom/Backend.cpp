// What the backends share.
#include "Backend.h"

#include "DeviceFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <sys/time.h>

namespace tollancom {

void sayOnce(const std::string &message)
{
    // Several reasons may hold at once (a refused folder, a bad ID), so each
    // is remembered, not only the last one.
    static std::mutex mutex;
    static std::set<std::string> said;
    std::lock_guard lock(mutex);
    if (said.insert(message).second)
        std::fprintf(stderr, "libTollanCom: %s\n", message.c_str());
    // Bounded: a stream of distinct reasons (a node per plug-in) cannot grow it without end.
    if (said.size() > 256)
        said.clear();
}

int remainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// A device that is stopped or hung takes no connections, and once its queue
// of waiting ones is full a plain connect waits for it forever. A local
// socket never reports a connect "in progress": without blocking it fails at
// once and poll() has nothing to wait for, so the wait is the kernel's own,
// bounded by a send time-out that lasts until the deadline; it ends as soon
// as the queue has room.
bool connectBefore(int fd, const sockaddr_un &addr, Clock::time_point deadline)
{
    for (;;) {
        const int left = remainingMs(deadline);
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;  // a zero time-out would mean no time-out at all
        }
        const timeval bound{left / 1000, (left % 1000) * 1000};
        if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0)
            return false;
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
            break;
        if (errno != EINTR)
            return false;  // EAGAIN: still full at the deadline
    }
    // Writes are bounded by poll() from here; no time-out stays behind.
    const timeval none{0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    return true;
}

bool seamFolder(const char *variable, const char *fallback, std::string &folder)
{
    const char *value = std::getenv(variable);
    if (!value || !*value) {
        folder = fallback;
        return true;
    }
    folder = value;
    std::string error;
    if (!checkDeviceFolder(folder, error)) {
        sayOnce(std::string(variable) + ": " + error);
        return false;
    }
    return true;
}

}  // namespace tollancom

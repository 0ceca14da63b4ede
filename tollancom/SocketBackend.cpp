// Simulated devices: a Unix socket per device in the device folder.
#include "Backend.h"
#include "DeviceFolder.h"
#include "HidParse.h"
#include "TollanCom.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace tollancom {
namespace {

bool endsWith(const std::string &s, const std::string &suffix)
{
    return s.size() > suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isRegular(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Reads exactly n bytes before the deadline. Returns bytes read; sets lost on
// end of stream or error.
size_t readFully(int fd, unsigned char *buf, size_t n, Clock::time_point deadline, bool &lost)
{
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, remainingMs(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;  // time-out
        ssize_t k = ::recv(fd, buf + got, n - got, 0);
        if (k < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (k <= 0) {
            lost = true;
            break;
        }
        got += static_cast<size_t>(k);
    }
    return got;
}

// A socket with room takes the frame in one call; poll() waits only when it
// has none. A device that dropped us refuses the frame (EPIPE): lost.
bool writeFully(int fd, const unsigned char *buf, size_t n, Clock::time_point deadline, bool &lost)
{
    size_t put = 0;
    while (put < n) {
        ssize_t k = ::send(fd, buf + put, n - put, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k > 0) {
            put += static_cast<size_t>(k);
            continue;
        }
        if (k < 0 && errno == EINTR)
            continue;
        if (k == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            lost = true;
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        int r = ::poll(&p, 1, remainingMs(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
    }
    return true;
}

// Whether the device can run only on the one CPU that this thread can run
// on (both pinned there, or a machine of one CPU).
bool sharesOneCpu(int fd)
{
    ucred peer{};
    socklen_t len = sizeof peer;
    cpu_set_t mine, theirs;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 && peer.pid > 0
        && ::sched_getaffinity(0, sizeof mine, &mine) == 0
        && ::sched_getaffinity(peer.pid, sizeof theirs, &theirs) == 0 && CPU_COUNT(&mine) == 1
        && CPU_EQUAL(&mine, &theirs);
}

// Connects and waits for the grant byte, both within `timeoutMs`; -1 when
// the device is gone, busy or does not answer in time.
int connectDevice(const std::string &path, int timeoutMs)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!connectBefore(fd, addr, deadline)) {
        ::close(fd);
        return -1;
    }
    unsigned char grant = 0;
    bool lost = false;
    if (readFully(fd, &grant, 1, deadline, lost) != 1 || grant != 1) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class SocketLink : public Link {
public:
    SocketLink(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~SocketLink() override { abandon(); }

    int exchange(const unsigned char *frame, unsigned char *reply, const Timeouts &t) override
    {
        if (lost_)
            return -2;
        // A connection kept after an exchange carries nothing owed (an unfinished
        // exchange abandons its connection), so the frame goes out at once; a
        // device that dropped us (unplugged, powered off) refuses it or closes
        // before the reply, and the link is lost.
        if (fd_ < 0) {
            fd_ = connectDevice(path_, t.readMs);
            if (fd_ < 0) {
                lost_ = true;
                return -2;
            }
        }
        const auto writeDeadline = Clock::now() + std::chrono::milliseconds(t.writeMs);
        if (!writeFully(fd_, frame, TOLLANCOM_FRAME, writeDeadline, lost_)) {
            abandon();
            return lost_ ? -2 : 0;
        }
        if (readReply(reply, TOLLANCOM_FRAME, t.readMs) != TOLLANCOM_FRAME) {
            abandon();
            return lost_ ? -2 : 0;
        }
        return 1;
    }

private:
    // An exchange that did not finish leaves replies owed on the connection, and
    // they may arrive at any later moment, even while the next exchange waits.
    // Only a fresh connection is sure to carry nothing owed: the device drops
    // the replies of a connection that has gone.
    void abandon()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        recvTimeoutMs_ = 0;
        wait_ = Wait::Unknown;
    }

    // The reply in one blocking read bounded by the socket's read time-out (set
    // again only when it changes), so the wait costs no poll(). A read cut short
    // by a signal or by a reply in pieces goes on with poll() to the same deadline.
    //
    // A thread asleep in recv() is also woken when the device takes the frame
    // (the socket has room again) and finds nothing yet. On another CPU that only
    // readies this one for the reply; on the device's own CPU it takes the CPU
    // from the device twice per exchange. There, poll() waits, which only the
    // reply wakes.
    size_t readReply(unsigned char *buf, size_t n, int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        if (wait_ == Wait::Unknown)
            wait_ = sharesOneCpu(fd_) ? Wait::Poll : Wait::Recv;
        if (wait_ == Wait::Poll)
            return readFully(fd_, buf, n, deadline, lost_);
        if (recvTimeoutMs_ != timeoutMs) {
            const timeval bound{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
            if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0)
                return readFully(fd_, buf, n, deadline, lost_);
            recvTimeoutMs_ = timeoutMs;
        }
        const ssize_t k = ::recv(fd_, buf, n, MSG_WAITALL);
        if (k == 0 || (k < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            lost_ = true;
            return 0;
        }
        const size_t got = k < 0 ? 0 : static_cast<size_t>(k);
        return got == n ? n : got + readFully(fd_, buf + got, n - got, deadline, lost_);
    }

    int fd_ = -1;  // -1 after an unfinished exchange, until the next one reconnects
    std::string path_;  // the device socket, to reconnect to
    bool lost_ = false;
    int recvTimeoutMs_ = 0;  // the read time-out the socket holds; 0 for none yet
    enum class Wait { Unknown, Recv, Poll } wait_ = Wait::Unknown;  // how a reply is waited for
};

class SocketBackend : public Backend {
public:
    // Live devices; false when the folder cannot be used. What dead devices
    // left behind is cleaned up on the way.
    bool list(std::vector<Listed> &found) const override
    {
        const std::string dir = deviceFolder();
        std::string error;
        // The default folders are ours to create; devices publish into them.
        const bool ok = std::getenv("TOLLANCOM_DIR") ? checkDeviceFolder(dir, error)
                                                     : prepareDeviceFolder(dir, false, error);
        if (!ok) {
            sayOnce(error);
            return false;
        }
        DIR *d = ::opendir(dir.c_str());
        if (!d) {
            sayOnce(dir + ": " + std::strerror(errno));
            return false;
        }
        std::vector<std::string> serials;
        while (dirent *e = ::readdir(d)) {
            std::string name = e->d_name;
            if (endsWith(name, ".sock"))
                serials.push_back(name.substr(0, name.size() - 5));
        }
        ::closedir(d);
        for (const std::string &serial : serials)
            if (isRegular(entryPath(dir, serial, ".product")) && probeDevice(dir, serial) == Liveness::Live)
                found.push_back(Listed{serial, entryPath(dir, serial, ".sock"), {}, this});
        return true;
    }

    // Read anew each time: a device renamed by a store says so at once.
    bool product(const Listed &device, std::string &text) const override
    {
        const std::string path = device.address.substr(0, device.address.size() - 5) + ".product";
        // What does not fit the buffer is cut off, not refused.
        const zenta::lang::FileRead read = zenta::lang::readRegularFile(path, TOLLANCOM_PRODUCT_BUFFER - 1, false);
        if (read.status != zenta::lang::FileStatus::Ok && read.status != zenta::lang::FileStatus::TooLarge)
            return false;
        // A product string is one line; whatever follows is not part of it.
        text = firstLine(read.bytes);
        return true;
    }

    std::unique_ptr<Link> open(const Listed &device, const Timeouts &t) const override
    {
        const int fd = connectDevice(device.address, t.readMs);
        if (fd < 0)
            return nullptr;
        return std::make_unique<SocketLink>(fd, device.address);
    }
};

}  // namespace

const Backend &socketBackend()
{
    static const SocketBackend backend;
    return backend;
}

}  // namespace tollancom

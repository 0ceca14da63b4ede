#include "Hold.h"

#include "DeviceFolder.h"
#include "Exit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace zentactl {

namespace dev = zenta::device;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kFrame = TOLLANCOM_FRAME;

bool addressOf(const std::string &path, sockaddr_un &addr)
{
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

bool passesTheDoor(const std::string &command)
{
    // DN too: a device whose product string names no ID is chosen by the name it answers.
    static const char *const allowed[] = {"STOP", "ABORT",   "PX",      "MST",     "DI",  "DO",   "EO",  "DN",
                                          "AI",   "MM",      "SASTAT",  "SASTAT0", "SASTAT1", "SPC", "SPC0",
                                          "SPC1"};
    for (const char *a : allowed)
        if (command == a)
            return true;
    // V1 to V50, read.
    if (command.size() < 2 || command.size() > 3 || command[0] != 'V' || command[1] == '0')
        return false;
    int n = 0;
    for (std::size_t i = 1; i < command.size(); ++i) {
        if (command[i] < '0' || command[i] > '9')
            return false;
        n = n * 10 + (command[i] - '0');
    }
    return n >= 1 && n <= 50;
}

std::string doorPath(const std::string &serial)
{
    // No door rather than one outside the device folder.
    if (!tollancom::plainName(serial))
        return {};
    return tollancom::entryPath(tollancom::deviceFolder(), serial, ".hold");
}

DoorServer::DoorServer(const std::string &path, Exchange exchange) : path_(path), exchange_(std::move(exchange))
{
    // Made under a name of its own and renamed into place: a door left by a
    // holder that died is replaced in one step, never half.
    const std::string tmp = path + ".tmp";
    sockaddr_un addr{};
    if (path.empty() || !addressOf(tmp, addr))
        return;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    ::unlink(tmp.c_str());
    struct stat st {};
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 || ::chmod(tmp.c_str(), 0600) != 0
        || ::listen(fd, static_cast<int>(kDoorClients)) != 0 || ::lstat(tmp.c_str(), &st) != 0
        || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        ::close(fd);
        return;
    }
    listenFd_ = fd;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
}

DoorServer::~DoorServer()
{
    for (Client &c : clients_)
        ::close(c.fd);
    if (listenFd_ < 0)
        return;
    // Only our own: a later holder's door stays.
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
        ::unlink(path_.c_str());
    ::close(listenFd_);
}

void DoorServer::watch(std::vector<pollfd> &fds)
{
    if (listenFd_ < 0)
        return;
    if (Clock::now() >= acceptPausedUntil_)
        fds.push_back({listenFd_, POLLIN, 0});
    for (const Client &c : clients_)
        fds.push_back({c.fd, POLLIN, 0});
}

void DoorServer::drop(std::size_t i)
{
    ::close(clients_[i].fd);
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
}

void DoorServer::serve()
{
    if (listenFd_ < 0)
        return;
    const auto now = Clock::now();
    while (now >= acceptPausedUntil_) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                acceptPausedUntil_ = now + std::chrono::seconds(1);
            break;
        }
        if (clients_.size() >= kDoorClients) {
            // A full door must not keep a stop out: whoever has waited longest
            // without asking anything makes room (a zentactl asks at once).
            std::size_t oldest = 0;
            for (std::size_t i = 1; i < clients_.size(); ++i)
                if (clients_[i].since < clients_[oldest].since)
                    oldest = i;
            drop(oldest);
        }
        clients_.push_back({fd, {}, now});
    }
    // One request of each at a time, so that the holder's own work goes on.
    for (std::size_t i = clients_.size(); i-- > 0;) {
        Client &c = clients_[i];
        char buf[kFrame];
        const ssize_t n = ::recv(c.fd, buf, kFrame - c.in.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (now - c.since > std::chrono::milliseconds(kDoorIdleMs))
                drop(i);
            continue;
        }
        if (n <= 0) {
            drop(i);
            continue;
        }
        c.in.append(buf, static_cast<std::size_t>(n));
        c.since = now;
        if (c.in.size() < kFrame)
            continue;
        const std::string command(c.in.c_str());  // up to the first zero byte
        c.in.clear();
        unsigned char answer[1 + kFrame] = {};
        if (!passesTheDoor(command)) {
            answer[0] = Door::Refused;
        } else {
            const dev::Reply r = exchange_(command);
            answer[0] = r.outcome == dev::Outcome::Answered ? Door::Answered
                        : r.outcome == dev::Outcome::Silent  ? Door::Silent
                                                             : Door::Lost;
            std::memcpy(answer + 1, r.text.data(), std::min(r.text.size(), kFrame));
        }
        // A fresh request's answer always fits; one that does not is a client gone wrong.
        if (::send(clients_[i].fd, answer, sizeof answer, MSG_DONTWAIT | MSG_NOSIGNAL) != ssize_t(sizeof answer))
            drop(i);
    }
}

std::unique_ptr<DoorClient> DoorClient::connect(const std::string &path)
{
    sockaddr_un addr{};
    if (!addressOf(path, addr))
        return nullptr;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    // A holder whose queue is full does not serve: the wait to get in is bounded.
    const timeval bound{1, 0}, none{0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    int r;
    do
        r = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    while (r != 0 && errno == EINTR);
    // No door, or one nobody listens at any more (its holder died): none.
    if (r != 0) {
        ::close(fd);
        return nullptr;
    }
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    return std::unique_ptr<DoorClient>(new DoorClient(fd));
}

DoorClient::~DoorClient() { ::close(fd_); }

DoorClient::Result DoorClient::exchange(const std::string &command, int ms, bool signalsEnd)
{
    Result result;
    char frame[kFrame] = {};
    std::memcpy(frame, command.data(), std::min(command.size(), kFrame));
    // 64 bytes into a socket nobody has written to yet always fit.
    if (::send(fd_, frame, sizeof frame, MSG_DONTWAIT | MSG_NOSIGNAL) != ssize_t(sizeof frame))
        return result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    unsigned char answer[1 + kFrame];
    std::size_t got = 0;
    while (got < sizeof answer) {
        const int left = msLeft(deadline);
        bool ready;
        if (signalsEnd) {
            const Waited w = left > 0 ? waitFor(fd_, POLLIN, left) : Waited::TimedOut;
            if (w == Waited::Signal)
                stop(signalStatus(), {});
            ready = w == Waited::Ready;
        } else {
            pollfd p{fd_, POLLIN, 0};
            const int r = left > 0 ? ::poll(&p, 1, left) : 0;
            if (r < 0 && errno == EINTR)
                continue;
            ready = r > 0;
        }
        if (!ready) {
            result.timedOut = true;
            return result;
        }
        const ssize_t n = ::recv(fd_, answer + got, sizeof answer - got, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0)
            return result;  // the holder went away
        got += static_cast<std::size_t>(n);
    }
    result.answer = answer[0] <= Door::Refused ? static_cast<Door::Answer>(answer[0]) : Door::Lost;
    if (result.answer == Door::Answered)
        result.text.assign(reinterpret_cast<const char *>(answer + 1),
                           ::strnlen(reinterpret_cast<const char *>(answer + 1), kFrame));
    return result;
}

}  // namespace zentactl

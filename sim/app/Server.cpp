#include "Server.h"

#include "DeviceFolder.h"
#include "zenta/lang/decimal.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zsim {

namespace {

// The loop waits with epoll and hands its events to code written for poll().
static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLERR == POLLERR && EPOLLHUP == POLLHUP);

constexpr std::size_t kCtlLineMax = 1024;
// Replies held for a host that does not read them; past this its frames stay
// in its socket, so it blocks on its own writes.
constexpr std::size_t kBacklogBytes = 16 * 1024;
// Bytes read from the host before the loop looks at everything else again.
constexpr std::size_t kBurstBytes = 16 * 1024;
// Control clients are one line each; more at once are left in the backlog,
// and one that has not asked and taken its answer in time is dropped.
constexpr std::size_t kCtlClientsMax = 8;
constexpr auto kCtlTime = std::chrono::seconds(3);
// Out of descriptors: the listening sockets stay readable, so accepting again
// at once would spin; wait a little for some to be freed.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr long kLatencyMax = 10'000'000;        // 10 s per reply is plenty for any test
constexpr long long kAdvanceMax = 1'000'000'000;  // ms in one step, about 11 days

bool fillAddress(const std::string &p, sockaddr_un &addr)
{
    addr = {};
    addr.sun_family = AF_UNIX;
    if (p.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
    return true;
}

int listenOn(const std::string &p, std::string &error)
{
    sockaddr_un addr;
    if (!fillAddress(p, addr)) {
        error = p + ": path too long for a socket";
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    unlink(p.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        error = p + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

Server::Server(ServerOptions options) : opt_(std::move(options))
{
    if (opt_.flashPath.empty())
        flash_ = std::make_unique<MemoryFlash>();
    else
        flash_ = std::make_unique<FileFlash>(opt_.flashPath);
    model_ = std::make_unique<Model>(*flash_, opt_.name, 0);
    model_->setStatementTime(opt_.statementUs);
    clock_ = std::make_unique<DeviceClock>(*model_, opt_.lockstep);
}

Server::~Server()
{
    // Files first: a `quit` asker sees its connection close only once they are gone.
    if (owned_)
        for (const char *suffix : tollancom::kPublishedSuffixes)
            unlink(path(suffix).c_str());
    if (lockFd_ >= 0)
        unlink(path(".lock").c_str());  // last, and while still held
    dropClient();
    for (auto &c : ctl_)
        close(c.fd);
    if (ctlFd_ >= 0)
        close(ctlFd_);
    if (deviceFd_ >= 0)
        close(deviceFd_);
    if (lockFd_ >= 0)
        close(lockFd_);
    if (spareFd_ >= 0)
        close(spareFd_);
    if (epollFd_ >= 0)
        close(epollFd_);
}

std::string Server::path(const char *suffix) const { return tollancom::entryPath(opt_.dir, opt_.serial, suffix); }

bool Server::start(std::string &error)
{
    if (const std::string fault = flash_->fault(); !fault.empty())
        std::fprintf(stderr, "zenta-sim: flash %s: running on defaults; STORE is refused until it can be read\n",
                     fault.c_str());
    // The lock says for our whole life that this serial is served; files
    // left behind by a dead simulator may be replaced.
    lockFd_ = tollancom::holdDeviceLock(opt_.dir, opt_.serial, error);
    if (lockFd_ < 0)
        return false;
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) {
        error = std::string("epoll: ") + std::strerror(errno);
        return false;
    }
    ctlFd_ = listenOn(path(".ctl"), error);
    if (ctlFd_ < 0)
        return false;
    fresh(ctlFd_);
    owned_ = true;
    return plug(error);
}

bool Server::publishProduct()
{
    const std::string tmp = path(".product.tmp");
    std::FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    const std::string &name = opt_.product.empty() ? model_->deviceName() : opt_.product;
    const bool ok = std::fwrite(name.data(), 1, name.size(), f) == name.size();
    if (std::fclose(f) != 0 || !ok || std::rename(tmp.c_str(), path(".product").c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

bool Server::plug(std::string &error)
{
    if (deviceFd_ >= 0)
        return true;
    deviceFd_ = listenOn(path(".sock"), error);
    if (deviceFd_ < 0)
        return false;
    fresh(deviceFd_);
    if (!publishProduct()) {
        error = path(".product") + ": cannot write";
        close(deviceFd_);
        deviceFd_ = -1;
        unlink(path(".sock").c_str());
        return false;
    }
    return true;
}

void Server::unplug()
{
    dropClient();
    if (deviceFd_ >= 0) {
        close(deviceFd_);
        deviceFd_ = -1;
    }
    unlink(path(".sock").c_str());
    unlink(path(".product").c_str());
}

void Server::dropClient()
{
    if (clientFd_ >= 0) {
        close(clientFd_);
        model_->linkDropped();
    }
    clientFd_ = -1;
    // Give the memory back too: a flood must not leave the process large.
    std::string().swap(clientIn_);
    std::string().swap(clientOut_);
    std::deque<Pending>().swap(pending_);
}

int Server::acceptOn(int listenFd, bool useSpare)
{
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const auto outOfDescriptors = [] { return errno == EMFILE || errno == ENFILE; };
    if (fd < 0 && outOfDescriptors() && useSpare && spareFd_ >= 0) {
        // The host must still reach the device; the spare is taken back later.
        close(spareFd_);
        spareFd_ = -1;
        fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    }
    if (fd < 0 && (outOfDescriptors() || errno == ENOBUFS || errno == ENOMEM))
        acceptPausedUntil_ = std::chrono::steady_clock::now() + kAcceptPause;
    if (fd >= 0)
        fresh(fd);
    return fd;
}

void Server::fresh(int fd)
{
    std::erase_if(watched_, [fd](const auto &w) { return w.first == fd; });
}

void Server::watch()
{
    const auto registered = [this](int fd) {
        return std::find_if(watched_.begin(), watched_.end(), [fd](const auto &w) { return w.first == fd; });
    };
    for (const auto &[fd, events] : wanted_) {
        if (fd < 0)
            continue;
        const auto it = registered(fd);
        if (it != watched_.end() && it->second == events)
            continue;
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        // A number closed and opened again unseen is no longer registered.
        const bool ok = epoll_ctl(epollFd_, it == watched_.end() ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev) == 0 ||
                        epoll_ctl(epollFd_, errno == EEXIST ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) == 0;
        if (!ok && it != watched_.end())
            watched_.erase(it);  // tried again on the next turn
        else if (it != watched_.end())
            it->second = events;
        else if (ok)
            watched_.emplace_back(fd, events);
    }
    // What is no longer wanted; closing it has most often dropped it already.
    std::erase_if(watched_, [this](const auto &w) {
        if (std::any_of(wanted_.begin(), wanted_.end(), [&w](const auto &x) { return x.first == w.first; }))
            return false;
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, w.first, nullptr);
        return true;
    });
}

bool Server::wait(const std::optional<std::chrono::nanoseconds> &timeout)
{
    watch();
    epoll_event events[16];
    timespec bound{};
    if (timeout) {
        bound.tv_sec = static_cast<time_t>(timeout->count() / 1'000'000'000);
        bound.tv_nsec = static_cast<long>(timeout->count() % 1'000'000'000);
    }
    int n = epoll_pwait2(epollFd_, events, 16, timeout ? &bound : nullptr, nullptr);
    if (n < 0 && errno == ENOSYS) {  // a kernel before 5.11: milliseconds, rounded up
        const auto ms = timeout ? std::chrono::ceil<std::chrono::milliseconds>(*timeout).count() : -1;
        n = epoll_wait(epollFd_, events, 16, static_cast<int>(std::min<long long>(ms, 1'000'000'000)));
    }
    if (n < 0 && errno != EINTR)
        return false;
    ready_.assign(wanted_.size(), 0);
    for (int i = 0; i < n; ++i)
        for (std::size_t k = 0; k < wanted_.size(); ++k)
            if (wanted_[k].first == events[i].data.fd)
                ready_[k] |= events[i].events;
    return true;
}

void Server::acceptDevice()
{
    for (;;) {
        const int fd = acceptOn(deviceFd_, true);
        if (fd < 0)
            return;
        ++connections_;
        // The holder's close happens before its next connect, so a hang-up is
        // already visible here; the device must count as free at once.
        if (clientFd_ >= 0 && holderHungUp())
            finishHolder();
        const unsigned char granted = clientFd_ < 0 ? 1 : 0;
        if (send(fd, &granted, 1, MSG_NOSIGNAL) != 1 || !granted) {
            close(fd);
            continue;
        }
        clientFd_ = fd;
    }
}

bool Server::holderHungUp() const
{
    pollfd p{clientFd_, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

bool Server::backlogged() const
{
    return clientOut_.size() >= kBacklogBytes || pending_.size() >= kBacklogBytes / kFrame;
}

void Server::takeFrames(const char *data, std::size_t n, bool answer)
{
    clientIn_.append(data, n);
    std::size_t used = 0;
    for (; clientIn_.size() - used >= kFrame && clientFd_ >= 0; used += kFrame) {
        ++frames_;
        if (silent_)
            continue;  // a deaf device: the frame is lost unread
        Frame in;
        std::memcpy(in.data(), clientIn_.data() + used, kFrame);
        clock_->catchUpForInput();
        const Frame reply = model_->handleFrame(in);
        // The host only hears ?FLASH or OK; the reason is for whoever reads the log.
        if (const std::string why = flash_->takeWriteFault(); !why.empty())
            std::fprintf(stderr, "zenta-sim: flash: %s\n", why.c_str());
        if (!answer)
            continue;
        if (latencyUs_ == 0 && pending_.empty())
            sendReply(reply);
        else
            pending_.push_back({clock_->turnTime() + std::chrono::microseconds(latencyUs_), reply});
    }
    if (clientFd_ >= 0)
        clientIn_.erase(0, used);
}

void Server::readClient()
{
    // One burst at most, and none while replies back up: a host that floods
    // the device must not hold up the control socket or grow this process.
    char buf[4096];
    std::size_t budget = kBurstBytes;
    while (budget > 0 && !backlogged()) {
        const std::size_t want = std::min(sizeof buf, budget);
        const ssize_t n = recv(clientFd_, buf, want, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            dropClient();  // the host let go: the device is free again
            return;
        }
        if (n < 0)
            return;
        budget -= static_cast<std::size_t>(n);
        takeFrames(buf, static_cast<std::size_t>(n), true);
        if (clientFd_ < 0)
            return;
        // A short read drained the socket; poll says when more arrives, which
        // saves a recv() that would only answer EAGAIN on every exchange.
        if (static_cast<std::size_t>(n) < want)
            return;
    }
}

void Server::finishHolder()
{
    // What the host sent before it let go still reaches the device; the
    // replies have no one to go to. The socket buffer bounds the loop.
    char buf[4096];
    for (;;) {
        const ssize_t n = recv(clientFd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        takeFrames(buf, static_cast<std::size_t>(n), false);
    }
    dropClient();
}

void Server::sendReply(const Frame &reply)
{
    if (!clientOut_.empty()) {
        clientOut_.append(reinterpret_cast<const char *>(reply.data()), reply.size());
        return;
    }
    // The whole reply goes out in one call, as one USB transfer would.
    const ssize_t n = send(clientFd_, reply.data(), reply.size(), MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        dropClient();
        return;
    }
    const std::size_t sent = n < 0 ? 0 : static_cast<std::size_t>(n);
    clientOut_.append(reinterpret_cast<const char *>(reply.data()) + sent, reply.size() - sent);
}

void Server::flushClient()
{
    const ssize_t n = send(clientFd_, clientOut_.data(), clientOut_.size(), MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        dropClient();
    else if (n > 0)
        clientOut_.erase(0, static_cast<std::size_t>(n));
}

void Server::flushDue()
{
    const auto now = clock_->turnTime();
    while (!pending_.empty() && pending_.front().due <= now && clientFd_ >= 0) {
        const Frame reply = pending_.front().reply;
        pending_.pop_front();
        sendReply(reply);
    }
}

void Server::acceptCtl()
{
    while (ctl_.size() < kCtlClientsMax) {
        const int fd = acceptOn(ctlFd_, false);
        if (fd < 0)
            return;
        ctl_.push_back({fd, {}, {}, clock_->turnTime() + kCtlTime, std::nullopt});
    }
}

void Server::dropIdleCtl(std::chrono::steady_clock::time_point now)
{
    // One that waits for its advance has asked and is not idle.
    for (auto &c : ctl_)
        if (c.fd >= 0 && !c.awaiting && c.deadline <= now) {
            close(c.fd);
            c.fd = -1;
        }
    std::erase_if(ctl_, [](const CtlClient &c) { return c.fd < 0; });
}

bool Server::serviceCtl(CtlClient &c, short events)
{
    if (c.awaiting)  // its line is taken; only a hang-up matters until the answer
        return !(events & (POLLHUP | POLLERR));
    if (!c.out.empty()) {
        if (events & (POLLOUT | POLLERR | POLLHUP)) {
            const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN)
                return false;
            if (n > 0)
                c.out.erase(0, static_cast<std::size_t>(n));
        }
        return !c.out.empty();
    }
    if (!(events & (POLLIN | POLLHUP | POLLERR)))
        return true;
    char buf[512];
    const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    if (n > 0)
        c.in.append(buf, static_cast<std::size_t>(n));
    const auto nl = c.in.find('\n');
    std::string line;
    if (nl != std::string::npos)
        line = c.in.substr(0, nl);
    else if (n == 0 && !c.in.empty())
        line = c.in;  // last line without a newline
    else if (n == 0)
        return false;
    else if (c.in.size() > kCtlLineMax)
        line = "\x01";  // refused below as unknown
    else
        return true;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const std::string answer = control(line, c);
    c.in.clear();
    if (c.awaiting)
        return true;
    c.out = answer + "\n";
    return serviceCtl(c, POLLOUT);
}

std::string Server::control(const std::string &line, CtlClient &c)
{
    std::istringstream words(line);
    std::string cmd, arg, extra;
    words >> cmd >> arg >> extra;
    if (!extra.empty())
        return "ERR too many words";
    std::int64_t v = 0;
    clock_->catchUpForInput();
    if (cmd == "state" && arg.empty()) {
        std::ostringstream s;
        s << model_->stateLine() << " plugged=" << (deviceFd_ >= 0) << " client=" << (clientFd_ >= 0)
          << " silent=" << silent_ << " latency_us=" << latencyUs_ << " lockstep=" << opt_.lockstep
          << " connections=" << connections_ << " frames=" << frames_;
        return s.str();
    }
    if (cmd == "quit" && arg.empty()) {
        quit_ = true;
        return "OK";
    }
    if (cmd == "unplug" && arg.empty()) {
        unplug();
        return "OK";
    }
    if (cmd == "replug" && arg.empty()) {
        std::string error;
        return plug(error) ? "OK" : "ERR " + error;
    }
    if (cmd == "silent" && (arg == "on" || arg == "off")) {
        silent_ = arg == "on";
        return "OK";
    }
    if (cmd == "latency" && zenta::lang::parseDecimalIn(arg, 0, kLatencyMax, v)) {
        latencyUs_ = static_cast<long>(v);
        return "OK";
    }
    if (cmd == "power-cycle" && arg.empty()) {
        // The host sees the device go away and come back, as on a real power cut.
        dropClient();
        model_->powerUp(model_->now());
        if (deviceFd_ >= 0 && !publishProduct())
            return "ERR cannot write " + path(".product");
        return "OK";
    }
    if (cmd == "di" && zenta::lang::parseDecimalIn(arg, 0, Model::kInputMask, v)) {
        model_->setInputs(static_cast<unsigned>(v));
        return "OK";
    }
    if (cmd == "ai" && zenta::lang::parseDecimalIn(arg, 0, Model::kAnalogMax, v)) {
        model_->setAnalog(static_cast<int>(v));
        return "OK";
    }
    if (cmd == "advance") {
        if (!opt_.lockstep)
            return "ERR advance needs --lockstep";
        if (!zenta::lang::parseDecimalIn(arg, 0, kAdvanceMax, v))
            return "ERR advance takes milliseconds, 0 to 1000000000";
        // Answered by answerAdvances() once the statements due have run.
        c.awaiting = clock_->advance(v * 1000);
        return {};
    }
    if (cmd == "unplug" || cmd == "replug" || cmd == "silent" || cmd == "latency" || cmd == "power-cycle" ||
        cmd == "di" || cmd == "ai" || cmd == "state" || cmd == "quit")
        return "ERR bad argument for " + cmd;
    return "ERR unknown command; try state, unplug, replug, silent on|off, latency US, power-cycle, "
           "di BITS, ai VALUE, advance MS, quit";
}

int Server::run(int signalFd)
{
    clock_->beginTurn(std::chrono::steady_clock::now());
    for (;;) {
        if (spareFd_ < 0)
            spareFd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
        // The time of the last wake-up: the clock is read once a turn.
        const auto now = clock_->turnTime();
        dropIdleCtl(now);
        const bool accepting = now >= acceptPausedUntil_;
        wanted_.clear();
        constexpr std::uint32_t in = EPOLLIN, out = EPOLLOUT, none = 0;
        wanted_.emplace_back(signalFd, in);
        wanted_.emplace_back(ctlFd_, accepting && ctl_.size() < kCtlClientsMax ? in : none);
        wanted_.emplace_back(deviceFd_, accepting ? in : none);  // ignored while -1
        // A host that writes without reading is left to block on its own
        // writes rather than have replies pile up in here.
        const bool backlog = backlogged();
        wanted_.emplace_back(clientFd_, (backlog ? none : in) | (clientOut_.empty() ? none : out));
        for (const auto &c : ctl_)
            wanted_.emplace_back(c.fd, c.awaiting ? none : c.out.empty() ? in : out);

        // Wake for the next delayed reply, control deadline, end of a pause,
        // or what the device's clock needs.
        std::optional<std::chrono::steady_clock::time_point> wake;
        const auto wakeAt = [&wake](std::chrono::steady_clock::time_point t) {
            if (!wake || t < *wake)
                wake = t;
        };
        if (!pending_.empty() && clientOut_.empty())
            wakeAt(pending_.front().due);
        if (!accepting)
            wakeAt(acceptPausedUntil_);
        for (const auto &c : ctl_)
            if (!c.awaiting)
                wakeAt(c.deadline);
        if (const auto model = clock_->nextWake())
            wakeAt(*model);
        std::optional<std::chrono::nanoseconds> timeout;
        if (wake)
            timeout = std::max(std::chrono::nanoseconds(0), std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                                *wake - std::chrono::steady_clock::now()));
        if (!wait(timeout)) {
            std::perror("zenta-sim: epoll");
            return 1;
        }
        // Whatever this turn reads arrived by now.
        clock_->beginTurn(std::chrono::steady_clock::now());

        if (ready_[0] & EPOLLIN) {
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                return 0;
        }
        // Control first: a test that unplugs and then connects must see the unplug.
        if (ready_[1] & EPOLLIN)
            acceptCtl();
        for (std::size_t i = 0; i < ctl_.size() && 4 + i < wanted_.size(); ++i) {
            if (ready_[4 + i] == 0 || wanted_[4 + i].first != ctl_[i].fd)
                continue;
            if (!serviceCtl(ctl_[i], static_cast<short>(ready_[4 + i]))) {
                if (quit_)
                    return 0;
                close(ctl_[i].fd);
                ctl_[i].fd = -1;
            }
        }
        std::erase_if(ctl_, [](const CtlClient &c) { return c.fd < 0; });

        if (clientFd_ >= 0 && clientFd_ == wanted_[3].first) {
            if (ready_[3] & EPOLLOUT)
                flushClient();
            if (clientFd_ >= 0 && (ready_[3] & (EPOLLHUP | EPOLLERR)))
                finishHolder();
            else if (clientFd_ >= 0 && (ready_[3] & EPOLLIN))
                readClient();
        }
        if (deviceFd_ >= 0 && deviceFd_ == wanted_[2].first && (ready_[2] & EPOLLIN))
            acceptDevice();
        if (clientFd_ >= 0)
            flushDue();
        clock_->runDue();
        answerAdvances();
    }
}

void Server::answerAdvances()
{
    for (auto &c : ctl_) {
        if (!c.awaiting || !clock_->reached(*c.awaiting))
            continue;
        c.awaiting.reset();
        c.out = "OK\n";
        c.deadline = clock_->turnTime() + kCtlTime;  // to take the answer
        if (!serviceCtl(c, POLLOUT)) {
            close(c.fd);
            c.fd = -1;
        }
    }
    std::erase_if(ctl_, [](const CtlClient &c) { return c.fd < 0; });
}

}  // namespace zsim

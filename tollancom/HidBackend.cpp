// USB drivers through Linux hidraw: one 64-byte input and output report per
// frame. Tests stand in for the kernel at <sysfs> (TOLLANCOM_SYSFS) and
// <devroot> (TOLLANCOM_DEVROOT), where a node may be a SOCK_SEQPACKET socket
// served by a peer that speaks the same reports.
#include "HidBackend.h"

#include "Backend.h"
#include "DeviceFolder.h"
#include "HidParse.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace tollancom {
namespace hid {
namespace {

// Far more than any machine has; a tree that claims more is not read further.
constexpr int kMaxNodes = 4096;
// A device path of sysfs is a handful of folders deep.
constexpr int kMaxDepth = 64;
// Right after a plug-in udev sets the node's permissions a moment later.
constexpr int kYoungNodeMs = 2000;
constexpr int kRetryPauseMs = 50;

std::string realPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// Whether `path` lies inside `root` (both resolved): a link of the tree that
// leads out of it is not followed.
bool inside(const std::string &path, const std::string &root)
{
    if (root == "/")
        return path.size() > 1;
    return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

std::string parentOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// An attribute: read through the size-capped reader, a regular file only.
bool attribute(const std::string &dir, const char *name, std::string &bytes)
{
    const zenta::lang::FileRead r = zenta::lang::readRegularFile(dir + "/" + name, kAttributeCap, false);
    if (r.status != zenta::lang::FileStatus::Ok && r.status != zenta::lang::FileStatus::TooLarge)
        return false;
    bytes = r.bytes;
    return true;
}

// The USB device of a hidraw node: the first folder up from its `device`
// link that has a `product` file; empty when there is none inside the tree.
std::string usbDeviceOf(const std::string &nodeDir, const std::string &root)
{
    std::string at = realPath(nodeDir + "/device");
    for (int depth = 0; depth < kMaxDepth && inside(at, root); ++depth) {
        struct stat st {};
        if (::lstat((at + "/product").c_str(), &st) == 0 && S_ISREG(st.st_mode))
            return at;
        at = parentOf(at);
    }
    return {};
}

}  // namespace

std::vector<Found> listDrivers(const std::string &sysfs, const std::vector<std::string> &ids)
{
    std::vector<Found> drivers;
    const std::string root = realPath(sysfs);
    if (root.empty())
        return drivers;
    const std::string classDir = root + "/class/hidraw";
    DIR *d = ::opendir(classDir.c_str());
    if (!d)
        return drivers;  // no hidraw at all: nothing plugged in, or no such driver loaded
    std::vector<std::string> nodes;
    while (dirent *e = ::readdir(d)) {
        if (e->d_name[0] != '.' && nodes.size() < kMaxNodes)
            nodes.emplace_back(e->d_name);
    }
    ::closedir(d);

    std::map<std::string, Found> byUsbDevice;  // one listing per USB device, by its lowest node
    for (const std::string &node : nodes) {
        const std::string usb = usbDeviceOf(classDir + "/" + node, root);
        std::string productBytes, vendor, productId, serialBytes;
        if (usb.empty() || !attribute(usb, "product", productBytes))
            continue;
        const std::string product = firstLine(productBytes);
        const std::string id = attribute(usb, "idVendor", vendor) && attribute(usb, "idProduct", productId)
                                   ? usbId(vendor, productId)
                                   : std::string();
        if (!isDriver(product, id, ids))
            continue;
        const std::string serial = attribute(usb, "serial", serialBytes) ? firstLine(serialBytes) : std::string();
        auto [it, fresh] = byUsbDevice.try_emplace(usb, Found{node, serial, product});
        if (!fresh && nodeBefore(node, it->second.node))
            it->second.node = node;
    }
    // Without a serial the device is named by its node: the one it is listed by.
    for (auto &entry : byUsbDevice)
        if (entry.second.serial.empty())
            entry.second.serial = entry.second.node.substr(0, kTextCap);
    for (auto &entry : byUsbDevice)
        drivers.push_back(std::move(entry.second));
    return drivers;
}

std::vector<std::string> idsFromEnvironment()
{
    const char *value = std::getenv("TOLLANCOM_HID_IDS");
    if (!value)
        return {};
    std::vector<std::string> bad;
    std::vector<std::string> ids = parseIds(value, bad);
    for (const std::string &entry : bad)
        sayOnce("TOLLANCOM_HID_IDS: \"" + entry + "\" is not vvvv:pppp (hex); ignored");
    return ids;
}

namespace {

// One frame out as an output report, one input report back. hidraw keeps a
// queue of input reports per open file, so a reply that came too late waits
// there; it is taken off before the next frame goes out.
class HidLink : public Link {
public:
    HidLink(int fd, bool socket, std::string node) : fd_(fd), socket_(socket), node_(std::move(node)) {}
    ~HidLink() override { ::close(fd_); }

    int exchange(const unsigned char *frame, unsigned char *reply, const Timeouts &t) override
    {
        if (lost_ || !settle(t.readMs))
            return lose();
        unsigned char report[kOutputReport] = {0};
        std::memcpy(report + 1, frame, kFrame);
        const int sent = write(report, t.writeMs);
        if (sent < 0)
            return lose();
        if (sent == 0)
            return gone() ? lose() : 0;
        const int got = read(reply, t.readMs);
        if (got < 0)
            return lose();
        if (got == 0) {
            ++owed_;
            return gone() ? lose() : 0;
        }
        return 1;
    }

private:
    int lose()
    {
        lost_ = true;
        return -2;
    }

    // A node that is no longer there is a driver unplugged, even if the
    // open file has not said so yet.
    bool gone() const
    {
        struct stat st {};
        return ::lstat(node_.c_str(), &st) != 0 && errno == ENOENT;
    }

    // One input report: its length, 0 when none came by the deadline, -1
    // when the link is lost. `buf` holds kFrame bytes; a longer report is
    // read whole into scratch and only its length kept. What is queued is
    // read at once, without a poll() first, so draining costs one call.
    // With `blockMs`, the time left to the deadline, a stand-in's socket
    // waits in recv() itself, bounded by its receive time-out: one call for
    // the wait and the report, where a hidraw node (which has no such
    // time-out) needs poll() and read().
    long take(unsigned char *buf, Clock::time_point deadline, int blockMs = 0)
    {
        for (;; blockMs = 0) {
            // Larger than any report hidraw gives, so a long one is seen as long.
            unsigned char scratch[4097];
            const bool block = blockMs > 0 && socket_ && receiveTimeout(blockMs);
            const ssize_t n = socket_ ? ::recv(fd_, scratch, sizeof scratch, block ? 0 : MSG_DONTWAIT)
                                      : ::read(fd_, scratch, sizeof scratch);
            if (n > 0) {
                std::memcpy(buf, scratch, std::min<std::size_t>(static_cast<std::size_t>(n), kFrame));
                return n;
            }
            if (n == 0)
                return -1;  // the stand-in's end of connection
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;  // the driver has gone (hidraw says EIO or ENODEV)
            if (block && remainingMs(deadline) <= 0)
                return 0;  // the receive time-out, which was the time left
            if (!wait(deadline))
                return lostWaiting_ ? -1 : 0;
        }
    }

    // The stand-in socket's receive time-out, set again only when it changes.
    bool receiveTimeout(int ms)
    {
        if (ms == receiveTimeoutMs_)
            return true;
        const timeval bound{ms / 1000, (ms % 1000) * 1000};
        if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0)
            return false;
        receiveTimeoutMs_ = ms;
        return true;
    }

    // Until a report can be read: false when the deadline passed first, or
    // (lostWaiting_) the link was lost.
    bool wait(Clock::time_point deadline)
    {
        lostWaiting_ = false;
        for (;;) {
            const int left = remainingMs(deadline);
            if (left <= 0)
                return false;
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, left);
            if (r < 0 && errno == EINTR)
                continue;
            if (r == 0)
                return false;
            if (r < 0 || !(p.revents & POLLIN)) {
                lostWaiting_ = true;  // hang-up or error with nothing left to read
                return false;
            }
            return true;
        }
    }

    // Before a frame goes out: what is queued is thrown away, and the replies
    // owed by exchanges that ran out of time are awaited, within the read
    // time-out, so that none of them answers this frame. False: lost.
    bool settle(int readMs)
    {
        unsigned char scratch[kFrame];
        // Bounded even for a device that sends reports without end.
        for (int i = 0; i < 1024; ++i) {
            const long n = take(scratch, Clock::now());
            if (n < 0)
                return false;
            if (n == 0)
                break;
            if (owed_ > 0)
                --owed_;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(readMs);
        while (owed_ > 0) {
            const long n = take(scratch, deadline);
            if (n < 0)
                return false;
            if (n == 0)
                break;  // never came: nothing more to wait for
            --owed_;
        }
        owed_ = 0;
        return true;
    }

    // 1 written, 0 no room before the deadline, -1 lost.
    int write(const unsigned char *report, int writeMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(writeMs);
        for (;;) {
            const ssize_t n = socket_ ? ::send(fd_, report, kOutputReport, MSG_NOSIGNAL | MSG_DONTWAIT)
                                      : ::write(fd_, report, kOutputReport);
            if (n == static_cast<ssize_t>(kOutputReport))
                return 1;
            if (n >= 0)
                return -1;  // a report goes whole or not at all
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
            pollfd p{fd_, POLLOUT, 0};
            const int r = ::poll(&p, 1, remainingMs(deadline));
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 || (r > 0 && !(p.revents & POLLOUT)))
                return -1;
            if (r == 0)
                return 0;
        }
    }

    // 1 with the reply, 0 none by the read time-out, -1 lost. Reports that
    // are not one whole frame answer nothing and are passed over.
    int read(unsigned char *reply, int readMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(readMs);
        unsigned char buf[kFrame];
        for (int blockMs = readMs;; blockMs = 0) {
            const long n = take(buf, deadline, blockMs);
            if (n < 0)
                return -1;
            if (n == 0)
                return 0;
            if (isReply(n)) {
                std::memcpy(reply, buf, kFrame);
                return 1;
            }
        }
    }

    int fd_;
    bool socket_;
    std::string node_;
    bool lostWaiting_ = false;
    int receiveTimeoutMs_ = 0;  // the stand-in socket's, 0 for none yet
    int owed_ = 0;  // replies still due to exchanges that ran out of time
    bool lost_ = false;
};

// The node was just made (or its permissions just changed): udev may not
// have finished with it.
bool young(const struct stat &st)
{
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const long long ageMs = (now.tv_sec - st.st_ctim.tv_sec) * 1000LL + (now.tv_nsec - st.st_ctim.tv_nsec) / 1000000;
    return ageMs < kYoungNodeMs;
}

std::string permissionMessage(const std::string &path)
{
    return path + ": permission denied; the driver's udev rule lets the logged-in user open it: install the "
                  "package's rule (70-zenta-kdr.rules: SUBSYSTEM==\"hidraw\", ATTRS{product}==\"*CFG*\", "
                  "TAG+=\"uaccess\") or add it to /etc/udev/rules.d, then plug the driver in again "
                  "(docs/devices.md)";
}

enum class Opened { Yes, Busy, Denied, Failed };

// A stand-in grants the connection with one message of one byte, 1, and
// refuses one while it has a holder by closing it at once: busy.
Opened connectStandIn(const std::string &path, Clock::time_point deadline, int &fd)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return Opened::Failed;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Opened::Failed;
    if (!connectBefore(fd, addr, deadline)) {
        const int why = errno;
        ::close(fd);
        return why == EACCES || why == EPERM ? Opened::Denied : Opened::Failed;
    }
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, remainingMs(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        unsigned char grant[2] = {0, 0};
        const ssize_t n = r > 0 ? ::recv(fd, grant, sizeof grant, MSG_DONTWAIT) : -1;
        if (n < 0 && r > 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        // The socket stays blocking: each call says whether it waits.
        if (n == 1 && grant[0] == 1)
            return Opened::Yes;
        ::close(fd);
        return n == 0 || (r > 0 && n < 0) ? Opened::Busy : Opened::Failed;
    }
}

Opened openNode(const std::string &path, const struct stat &st, int &fd)
{
    if (S_ISSOCK(st.st_mode))
        return Opened::Failed;
    if (!S_ISCHR(st.st_mode) && !S_ISREG(st.st_mode))
        return Opened::Failed;
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0)
        return errno == EACCES || errno == EPERM ? Opened::Denied : Opened::Failed;
    // Any number of processes may open a hidraw node; the lock makes it one.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        ::close(fd);
        return why == EWOULDBLOCK ? Opened::Busy : Opened::Failed;
    }
    return Opened::Yes;
}

class HidBackend : public Backend {
public:
    bool list(std::vector<Listed> &found) const override
    {
        std::string sysfs, devroot;
        // Devices listed from one tree and opened in another could be anybody's.
        const bool sysOk = seamFolder("TOLLANCOM_SYSFS", "/sys", sysfs);
        const bool devOk = seamFolder("TOLLANCOM_DEVROOT", "/dev", devroot);
        if (!sysOk || !devOk)
            return false;
        for (Found &f : listDrivers(sysfs, idsFromEnvironment()))
            found.push_back(Listed{std::move(f.serial), std::move(f.node), std::move(f.product), this});
        return true;
    }

    // A USB product string is fixed in the driver: the listing's is kept.
    bool product(const Listed &device, std::string &text) const override
    {
        text = device.product;
        return true;
    }

    std::unique_ptr<Link> open(const Listed &device, const Timeouts &t) const override
    {
        std::string devroot;
        if (!seamFolder("TOLLANCOM_DEVROOT", "/dev", devroot))
            return nullptr;
        const std::string path = devroot + "/" + device.address;
        const auto deadline = Clock::now() + std::chrono::milliseconds(t.readMs);
        for (;;) {
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0)
                return nullptr;  // unplugged since the listing
            int fd = -1;
            const bool socket = S_ISSOCK(st.st_mode);
            const Opened opened = socket ? connectStandIn(path, deadline, fd) : openNode(path, st, fd);
            if (opened == Opened::Yes)
                return std::make_unique<HidLink>(fd, socket, path);
            if (opened != Opened::Denied)
                return nullptr;
            if (!young(st) || remainingMs(deadline) <= 0) {
                sayOnce(permissionMessage(path));
                return nullptr;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kRetryPauseMs, remainingMs(deadline))));
        }
    }
};

}  // namespace

std::unique_ptr<Link> linkOver(int fd, bool socket, const std::string &node)
{
    return std::make_unique<HidLink>(fd, socket, node);
}

}  // namespace hid

const Backend &hidBackend()
{
    static const hid::HidBackend backend;
    return backend;
}

}  // namespace tollancom

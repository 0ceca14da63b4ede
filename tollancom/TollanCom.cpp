// libTollanCom over local sockets. See TollanCom.h for the contract.
#include "TollanCom.h"

#include "DeviceFolder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
    int fd = -1;       // -1 after an unfinished exchange, until the next one reconnects
    std::string path;  // the device socket, to reconnect to
    std::string note;  // the holder note written when it was opened
    bool lost = false;
    int recvTimeoutMs = 0;  // the read time-out the socket holds; 0 for none yet
    enum class Wait { Unknown, Recv, Poll } wait = Wait::Unknown;  // how a reply is waited for
};

// One open handle. Its exchanges go one at a time under its own lock, so
// that devices are served side by side; a handle closed meanwhile is only
// marked, and the memory goes with the last thread that still uses it.
struct Device {
    std::mutex mutex;
    Connection c;
    bool closed = false;
};

struct State {
    std::mutex mutex;  // the listing and the table of handles; never held across an exchange or a connect
    std::vector<std::string> serials;  // snapshot of the last listing
    bool listed = false;
    std::atomic<int> readTimeoutMs{5000};
    std::atomic<int> writeTimeoutMs{5000};
    std::map<int32_t, std::shared_ptr<Device>> connections;
    int32_t nextHandle = 0x100;
};

State &state()
{
    static State s;
    return s;
}

std::string deviceDir()
{
    return tollancom::deviceFolder();
}

bool endsWith(const std::string &s, const std::string &suffix)
{
    return s.size() > suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isRegular(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The folder is checked on every listing; a refusal is said once per reason,
// not on every refresh of a device list.
void refuse(const std::string &error)
{
    static std::string said;
    if (error != said)
        std::fprintf(stderr, "libTollanCom: %s\n", error.c_str());
    said = error;
}

// Live devices in ascending order of serial; false when the folder cannot be
// used. What dead devices left behind is cleaned up on the way.
bool listSerials(std::vector<std::string> &serials)
{
    serials.clear();
    const std::string dir = deviceDir();
    std::string error;
    // The default folders are ours to create; devices publish into them.
    const bool ok = std::getenv("TOLLANCOM_DIR") ? tollancom::checkDeviceFolder(dir, error)
                                                 : tollancom::prepareDeviceFolder(dir, false, error);
    if (!ok) {
        refuse(error);
        return false;
    }
    DIR *d = ::opendir(dir.c_str());
    if (!d) {
        refuse(dir + ": " + std::strerror(errno));
        return false;
    }
    std::vector<std::string> found;
    while (dirent *e = ::readdir(d)) {
        std::string name = e->d_name;
        if (endsWith(name, ".sock"))
            found.push_back(name.substr(0, name.size() - 5));
    }
    ::closedir(d);
    for (const std::string &serial : found)
        if (isRegular(tollancom::entryPath(dir, serial, ".product"))
            && tollancom::probeDevice(dir, serial) == tollancom::Liveness::Live)
            serials.push_back(serial);
    std::sort(serials.begin(), serials.end());
    return true;
}

const std::string *serialAt(State &s, int32_t index)
{
    if (!s.listed)
        s.listed = listSerials(s.serials);
    if (index < 0 || static_cast<size_t>(index) >= s.serials.size())
        return nullptr;
    return &s.serials[static_cast<size_t>(index)];
}

int remainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
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

// The reply in one blocking read bounded by the socket's read time-out (set
// again only when it changes), so the wait costs no poll(). A read cut short
// by a signal or by a reply in pieces goes on with poll() to the same deadline.
//
// A thread asleep in recv() is also woken when the device takes the frame
// (the socket has room again) and finds nothing yet. On another CPU that only
// readies this one for the reply; on the device's own CPU it takes the CPU
// from the device twice per exchange. There, poll() waits, which only the
// reply wakes.
size_t readReply(Connection &c, unsigned char *buf, size_t n, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (c.wait == Connection::Wait::Unknown)
        c.wait = sharesOneCpu(c.fd) ? Connection::Wait::Poll : Connection::Wait::Recv;
    if (c.wait == Connection::Wait::Poll)
        return readFully(c.fd, buf, n, deadline, c.lost);
    if (c.recvTimeoutMs != timeoutMs) {
        const timeval bound{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (::setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0)
            return readFully(c.fd, buf, n, deadline, c.lost);
        c.recvTimeoutMs = timeoutMs;
    }
    const ssize_t k = ::recv(c.fd, buf, n, MSG_WAITALL);
    if (k == 0 || (k < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
        c.lost = true;
        return 0;
    }
    const size_t got = k < 0 ? 0 : static_cast<size_t>(k);
    return got == n ? n : got + readFully(c.fd, buf + got, n - got, deadline, c.lost);
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
        if (left <= 0)
            return false;  // a zero time-out would mean no time-out at all
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

// An exchange that did not finish leaves replies owed on the connection, and
// they may arrive at any later moment, even while the next exchange waits.
// Only a fresh connection is sure to carry nothing owed: the device drops
// the replies of a connection that has gone.
void abandon(Connection &c)
{
    if (c.fd >= 0)
        ::close(c.fd);
    c.fd = -1;
    c.recvTimeoutMs = 0;
    c.wait = Connection::Wait::Unknown;
}

// The holder note, <serial>.holder: who holds the device, so that whoever
// finds it busy can say by whom. Its first line is "<pid> <start> <handle>"
// (the process's start time, in clock ticks after boot, tells a live holder
// from a later process that got its number); its second line the program's
// name. Written only while the device's grant is ours, by replace-rename, so
// that a reader never sees half of one.

// The start time of `pid` as /proc says it; empty when the process is gone.
std::string processStart(long pid)
{
    const zenta::lang::FileRead stat =
        zenta::lang::readRegularFile("/proc/" + std::to_string(pid) + "/stat", 4096, false);
    if (stat.status != zenta::lang::FileStatus::Ok)
        return {};
    // The name in parentheses may hold anything; the fields after it are plain.
    const std::size_t close = stat.bytes.rfind(')');
    if (close == std::string::npos)
        return {};
    std::size_t at = close + 1;
    // "state" is field 3, "starttime" field 22: the 20th after the name.
    for (int field = 3; field <= 22; ++field) {
        while (at < stat.bytes.size() && stat.bytes[at] == ' ')
            ++at;
        const std::size_t end = std::min(stat.bytes.find(' ', at), stat.bytes.size());
        if (field == 22)
            return end > at ? stat.bytes.substr(at, end - at) : std::string();
        at = end;
    }
    return {};
}

// This program's name, as its command line gave it, without the folder and
// without anything that would make it more than one short printable line.
std::string programName()
{
    std::string name;
    for (const char *c = program_invocation_short_name; c && *c && name.size() < 64; ++c)
        if (static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7f)
            name += *c;
    return name.empty() ? std::string("a program") : name;
}

std::string noteLine(int32_t handle)
{
    const long pid = static_cast<long>(::getpid());
    return std::to_string(pid) + " " + processStart(pid) + " " + std::to_string(handle);
}

void writeNote(const std::string &note, int32_t handle)
{
    const std::string tmp = note + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return;  // no note: whoever finds the device busy cannot say by whom
    const std::string text = noteLine(handle) + "\n" + programName() + "\n";
    const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !whole || ::rename(tmp.c_str(), note.c_str()) != 0)
        ::unlink(tmp.c_str());
}

struct Note {
    long pid = 0;
    std::string start;
    std::string first;  // the whole first line
    std::string name;
};

bool readNote(const std::string &note, Note &n)
{
    const zenta::lang::FileRead f = zenta::lang::readRegularFile(note, 256, false);
    if (f.status != zenta::lang::FileStatus::Ok)
        return false;
    const std::size_t eol = f.bytes.find('\n');
    if (eol == std::string::npos)
        return false;
    n.first = f.bytes.substr(0, eol);
    const std::size_t eol2 = f.bytes.find('\n', eol + 1);
    n.name = f.bytes.substr(eol + 1, (eol2 == std::string::npos ? f.bytes.size() : eol2) - eol - 1);
    // "<pid> <start> <handle>"
    const std::size_t a = n.first.find(' ');
    const std::size_t b = a == std::string::npos ? a : n.first.find(' ', a + 1);
    if (b == std::string::npos)
        return false;
    char *end = nullptr;
    n.pid = std::strtol(n.first.c_str(), &end, 10);
    if (end != n.first.c_str() + a || n.pid <= 0)
        return false;
    n.start = n.first.substr(a + 1, b - a - 1);
    return true;
}

// "<name> (pid <pid>)" while the holder the note names lives; else empty.
std::string holderOf(const std::string &note)
{
    Note n;
    if (!readNote(note, n))
        return {};
    std::string name;
    for (char c : n.name)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            name += c;
    if (name.empty())
        return {};
    const std::string start = processStart(n.pid);
    if (start.empty() || start != n.start)
        return {};  // gone, or its number now belongs to another process
    return name + " (pid " + std::to_string(n.pid) + ")";
}

// Removes the note on closing, if it is still this handle's: after a lost
// link someone else may hold the device and have written their own.
void dropNote(const std::string &note, int32_t handle)
{
    Note n;
    if (!note.empty() && readNote(note, n) && n.first == noteLine(handle))
        ::unlink(note.c_str());
}

}  // namespace

extern "C" {

int32_t fnTollanComGetNumDevices(int32_t *count)
{
    if (!count)
        return 0;
    State &s = state();
    std::lock_guard lock(s.mutex);
    s.listed = listSerials(s.serials);
    *count = static_cast<int32_t>(s.serials.size());
    return s.listed ? 1 : 0;
}

int32_t fnTollanComGetProductString(int32_t index, char *buffer, int32_t selector)
{
    if (!buffer)
        return -1;
    buffer[0] = '\0';
    if (selector < 0 || selector > 2)
        return -1;
    State &s = state();
    std::lock_guard lock(s.mutex);
    const std::string *serial = serialAt(s, index);
    if (!serial)
        return 0;
    if (selector != 0) {
        const std::string text =
            selector == 1 ? *serial : holderOf(tollancom::entryPath(deviceDir(), *serial, ".holder"));
        const std::size_t len = std::min<std::size_t>(text.size(), TOLLANCOM_PRODUCT_BUFFER - 1);
        std::memcpy(buffer, text.data(), len);
        buffer[len] = '\0';
        return 1;
    }
    // What does not fit the buffer is cut off, not refused.
    const zenta::lang::FileRead product = zenta::lang::readRegularFile(
        tollancom::entryPath(deviceDir(), *serial, ".product"), TOLLANCOM_PRODUCT_BUFFER - 1, false);
    if (product.status != zenta::lang::FileStatus::Ok && product.status != zenta::lang::FileStatus::TooLarge)
        return 0;
    // A product string is one line; whatever follows is not part of it.
    const std::string &text = product.bytes;
    size_t len = 0;
    while (len < text.size() && text[len] != '\n' && text[len] != '\r' && text[len] != '\0')
        ++len;
    std::memcpy(buffer, text.data(), len);
    buffer[len] = '\0';
    return 1;
}

int32_t fnTollanComOpen(int32_t index, int32_t *handle)
{
    if (!handle)
        return 0;
    State &s = state();
    std::string serial;
    int32_t h = 0;
    {
        std::lock_guard lock(s.mutex);
        const std::string *listed = serialAt(s, index);
        if (!listed)
            return 0;
        serial = *listed;
        h = s.nextHandle++;
    }
    // Reaching a stopped device may take the whole read time-out: other
    // devices are listed, opened and served meanwhile.
    const std::string dir = deviceDir();
    const std::string path = tollancom::entryPath(dir, serial, ".sock");
    const int fd = connectDevice(path, s.readTimeoutMs);
    if (fd < 0)
        return 0;
    const std::string note = tollancom::entryPath(dir, serial, ".holder");
    writeNote(note, h);
    auto device = std::make_shared<Device>();
    device->c = Connection{fd, path, note, false};
    {
        std::lock_guard lock(s.mutex);
        s.connections[h] = std::move(device);
    }
    *handle = h;
    return 1;
}

int32_t fnTollanComClose(int32_t handle)
{
    State &s = state();
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(s.mutex);
        auto it = s.connections.find(handle);
        if (it == s.connections.end())
            return 0;
        device = std::move(it->second);
        s.connections.erase(it);
    }
    // An exchange under way on another thread ends first (bounded by the
    // time-outs); nothing is closed under it.
    std::lock_guard lock(device->mutex);
    device->closed = true;
    // The note goes first, while the grant is still ours.
    dropNote(device->c.note, handle);
    abandon(device->c);
    return 1;
}

int32_t fnTollanComSetTimeouts(int32_t readTimeoutMs, int32_t writeTimeoutMs)
{
    if (readTimeoutMs < 1 || writeTimeoutMs < 1)
        return 0;
    State &s = state();
    s.readTimeoutMs = readTimeoutMs;
    s.writeTimeoutMs = writeTimeoutMs;
    return 1;
}

int32_t fnTollanComSendRecv(int32_t handle, const unsigned char *send, int32_t bytesToWrite,
                            int32_t bytesToRead, unsigned char *receive)
{
    if (receive && bytesToRead > 0 && bytesToRead <= TOLLANCOM_FRAME)
        std::memset(receive, 0, static_cast<size_t>(bytesToRead));
    if (!send || !receive || bytesToWrite < 0 || bytesToWrite > TOLLANCOM_FRAME || bytesToRead < 0
        || bytesToRead > TOLLANCOM_FRAME)
        return -1;

    State &s = state();
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(s.mutex);
        auto it = s.connections.find(handle);
        if (it == s.connections.end())
            return -1;
        device = it->second;
    }
    // One exchange at a time per device: a reply belongs to the frame just sent.
    std::lock_guard lock(device->mutex);
    if (device->closed)
        return -1;  // closed while this call waited its turn
    Connection &c = device->c;
    if (c.lost)
        return -2;
    const int readTimeoutMs = s.readTimeoutMs, writeTimeoutMs = s.writeTimeoutMs;

    // A connection kept after an exchange carries nothing owed (an unfinished
    // exchange abandons its connection), so the frame goes out at once; a
    // device that dropped us (unplugged, powered off) refuses it or closes
    // before the reply, and the link is lost.
    if (c.fd < 0) {
        c.fd = connectDevice(c.path, readTimeoutMs);
        if (c.fd < 0) {
            c.lost = true;
            return -2;
        }
    }

    unsigned char frame[TOLLANCOM_FRAME] = {};
    std::memcpy(frame, send, static_cast<size_t>(bytesToWrite));
    auto writeDeadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs);
    if (!writeFully(c.fd, frame, sizeof frame, writeDeadline, c.lost)) {
        abandon(c);
        return c.lost ? -2 : 0;
    }

    unsigned char reply[TOLLANCOM_FRAME] = {};
    size_t got = readReply(c, reply, sizeof reply, readTimeoutMs);
    if (got != sizeof reply) {
        abandon(c);
        return c.lost ? -2 : 0;
    }
    std::memcpy(receive, reply, static_cast<size_t>(bytesToRead));
    return 1;
}

}  // extern "C"

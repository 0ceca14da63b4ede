// libTollanCom: the six C functions over the transports' backends. See
// TollanCom.h for the contract.
#include "TollanCom.h"

#include "Backend.h"
#include "DeviceFolder.h"
#include "HidParse.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// One open handle. Its exchanges go one at a time under its own lock, so
// that devices are served side by side; a handle closed meanwhile is only
// marked, and the memory goes with the last thread that still uses it.
struct Device {
    std::mutex mutex;
    std::unique_ptr<tollancom::Link> link;
    std::string note;  // the holder note written when it was opened; empty for none
    bool closed = false;
};

struct State {
    std::mutex mutex;  // the listing and the table of handles; never held across an exchange or a connect
    std::vector<tollancom::Listed> devices;  // snapshot of the last listing
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

tollancom::Timeouts timeouts(const State &s)
{
    return tollancom::Timeouts{s.readTimeoutMs.load(), s.writeTimeoutMs.load()};
}

// Every transport's devices in one order: ascending by serial, a tie (the
// same serial on two transports) broken by the transport and its address.
// False when a transport could not look; what the others found is kept.
bool listDevices(std::vector<tollancom::Listed> &devices)
{
    devices.clear();
    bool ok = true;
    for (const tollancom::Backend *backend : {&tollancom::socketBackend(), &tollancom::hidBackend()})
        ok = backend->list(devices) && ok;
    std::stable_sort(devices.begin(), devices.end(), [](const tollancom::Listed &a, const tollancom::Listed &b) {
        if (a.serial != b.serial)
            return a.serial < b.serial;
        if (a.backend != b.backend)
            return a.backend == &tollancom::socketBackend();
        return a.address < b.address;
    });
    return ok;
}

const tollancom::Listed *deviceAt(State &s, int32_t index)
{
    if (!s.listed)
        s.listed = listDevices(s.devices);
    if (index < 0 || static_cast<size_t>(index) >= s.devices.size())
        return nullptr;
    return &s.devices[static_cast<size_t>(index)];
}

// Where the note of who holds a device goes: beside a simulator's files, and
// for a USB driver in the same folder, when its serial (which the driver
// chose) can name a file there and the folder is fit for it; empty when not.
std::string notePath(const tollancom::Listed &device)
{
    const std::string dir = tollancom::deviceFolder();
    if (device.backend == &tollancom::socketBackend())
        return tollancom::entryPath(dir, device.serial, ".holder");
    if (!tollancom::plainName(device.serial))
        return {};
    std::string error;
    if (!tollancom::checkDeviceFolder(dir, error))
        return {};
    return tollancom::entryPath(dir, device.serial, ".holder");
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
    s.listed = listDevices(s.devices);
    *count = static_cast<int32_t>(s.devices.size());
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
    const tollancom::Listed *device = deviceAt(s, index);
    if (!device)
        return 0;
    std::string text;
    if (selector == 1)
        text = device->serial;
    else if (selector == 2) {
        const std::string note = notePath(*device);
        text = note.empty() ? std::string() : holderOf(note);
    } else if (!device->backend->product(*device, text))
        return 0;
    // What does not fit the buffer is cut off, not refused.
    const std::size_t len = std::min<std::size_t>(text.size(), TOLLANCOM_PRODUCT_BUFFER - 1);
    std::memcpy(buffer, text.data(), len);
    buffer[len] = '\0';
    return 1;
}

int32_t fnTollanComOpen(int32_t index, int32_t *handle)
{
    if (!handle)
        return 0;
    State &s = state();
    tollancom::Listed listed;
    int32_t h = 0;
    {
        std::lock_guard lock(s.mutex);
        const tollancom::Listed *device = deviceAt(s, index);
        if (!device)
            return 0;
        listed = *device;
        h = s.nextHandle++;
    }
    // Reaching a stopped device may take the whole read time-out: other
    // devices are listed, opened and served meanwhile.
    auto device = std::make_shared<Device>();
    device->link = listed.backend->open(listed, timeouts(s));
    if (!device->link)
        return 0;
    device->note = notePath(listed);
    if (!device->note.empty())
        writeNote(device->note, h);
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
    // The note goes first, while the device is still ours.
    dropNote(device->note, handle);
    device->link.reset();
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
    unsigned char frame[TOLLANCOM_FRAME] = {};
    std::memcpy(frame, send, static_cast<size_t>(bytesToWrite));
    unsigned char reply[TOLLANCOM_FRAME] = {};
    const int status = device->link->exchange(frame, reply, timeouts(s));
    if (status == 1)
        std::memcpy(receive, reply, static_cast<size_t>(bytesToRead));
    return status;
}

}  // extern "C"

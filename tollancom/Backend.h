// Inside the device library: one backend per transport (simulators over the
// device folder's sockets, USB drivers over hidraw) behind one small
// interface. The six C functions in TollanCom.cpp are the only face; they
// merge the listings, hand out handles and keep the holder notes.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <sys/un.h>
#include <vector>

namespace tollancom {

using Clock = std::chrono::steady_clock;

struct Timeouts {
    int readMs = 5000;
    int writeMs = 5000;
};

class Backend;

// One device as a listing found it.
struct Listed {
    std::string serial;
    std::string address;  // where its backend reaches it: a socket path, a node name
    std::string product;  // what the backend read while listing, if it reads it then
    const Backend *backend = nullptr;
};

// An open device. exchange() sends one 64-byte frame and fills `reply` with
// the 64-byte answer: 1 answered, 0 no answer within the time-outs, -2 the
// link is lost (and stays lost). Called one at a time per link.
class Link {
public:
    virtual ~Link() = default;
    virtual int exchange(const unsigned char *frame, unsigned char *reply, const Timeouts &t) = 0;
};

class Backend {
public:
    virtual ~Backend() = default;
    // Appends what it finds; false when it could not look (the reason said once on stderr).
    virtual bool list(std::vector<Listed> &found) const = 0;
    // The device's product string, one line of at most 256 bytes; false when unreadable.
    virtual bool product(const Listed &device, std::string &text) const = 0;
    // Null when the device is busy, gone, refused or does not answer in time.
    virtual std::unique_ptr<Link> open(const Listed &device, const Timeouts &t) const = 0;
};

const Backend &socketBackend();
const Backend &hidBackend();

// Shared by the backends.

// A refusal or a fault of the setup goes to standard error, said once per
// reason, not on every refresh of a device list.
void sayOnce(const std::string &message);

int remainingMs(Clock::time_point deadline);

// connect() bounded by `deadline`, even when the listener's queue is full.
bool connectBefore(int fd, const sockaddr_un &addr, Clock::time_point deadline);

// A folder named by one of our environment variables: checked as the device
// folder is (ours alone). `fallback` when the variable is unset or empty,
// then not checked: the system's own folders belong to root. False with the
// reason said once when refused.
bool seamFolder(const char *variable, const char *fallback, std::string &folder);

}  // namespace tollancom

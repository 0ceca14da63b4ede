// libTollanCom as the command-line tools see it: the library loaded by path,
// one open device and its exchanges. Merrow and zentactl reach devices
// through here; the panel has its own table of the same six functions, which
// its tests fill with a scripted device.
#pragma once

#include "TollanCom.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zenta::device {

struct Library {
    decltype(&fnTollanComGetNumDevices) getNumDevices = nullptr;
    decltype(&fnTollanComGetProductString) getProductString = nullptr;
    decltype(&fnTollanComOpen) open = nullptr;
    decltype(&fnTollanComClose) close = nullptr;
    decltype(&fnTollanComSetTimeouts) setTimeouts = nullptr;
    decltype(&fnTollanComSendRecv) sendRecv = nullptr;

    // Loads the library at `path` for the life of the process. Empty on
    // success, else why not.
    std::string load(const std::string &path);
};

enum class Outcome {
    Answered,  // a whole reply came (it may be empty)
    Silent,    // no reply within the library's read time-out
    Lost,      // the link itself went: unplugged, powered off, gone
};

struct Reply {
    Outcome outcome = Outcome::Silent;
    std::string text;  // up to the first zero byte; empty unless answered
    bool answered() const { return outcome == Outcome::Answered; }
};

// One open device; closed when it goes.
class Device {
public:
    Device(Library &lib, int32_t handle) : lib_(lib), handle_(handle) {}
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;
    ~Device() { lib_.close(handle_); }

    // One frame out, one back. A command longer than a frame is cut to it:
    // callers that take commands from people check the length first.
    Reply exchange(std::string_view command);

private:
    Library &lib_;
    int32_t handle_;
};

// Opens device `index`, trying again every `pause` while it cannot be
// opened (another program holds it) until `retry` has passed or `stop`
// says so. The handle, or nothing.
std::optional<int32_t> openWithRetry(Library &lib, int32_t index, std::chrono::milliseconds retry,
                                     std::chrono::milliseconds pause = std::chrono::milliseconds(50),
                                     const std::function<bool()> &stop = {});

}  // namespace zenta::device

#include "DeviceLink.h"

#include <algorithm>
#include <dlfcn.h>
#include <thread>

namespace zenta::device {

std::string Library::load(const std::string &path)
{
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        // dlerror() clears its text as it returns it: read it once.
        const char *why = dlerror();
        return why ? why : path + ": cannot be loaded";
    }
    auto sym = [h](const char *name) { return dlsym(h, name); };
    getNumDevices = reinterpret_cast<decltype(getNumDevices)>(sym("fnTollanComGetNumDevices"));
    getProductString = reinterpret_cast<decltype(getProductString)>(sym("fnTollanComGetProductString"));
    open = reinterpret_cast<decltype(open)>(sym("fnTollanComOpen"));
    close = reinterpret_cast<decltype(close)>(sym("fnTollanComClose"));
    setTimeouts = reinterpret_cast<decltype(setTimeouts)>(sym("fnTollanComSetTimeouts"));
    sendRecv = reinterpret_cast<decltype(sendRecv)>(sym("fnTollanComSendRecv"));
    if (!getNumDevices || !getProductString || !open || !close || !setTimeouts || !sendRecv)
        return "The device library " + path + " lacks one of its functions.";
    return {};
}

Reply Device::exchange(std::string_view command)
{
    unsigned char send[TOLLANCOM_FRAME] = {};
    unsigned char recv[TOLLANCOM_FRAME] = {};
    std::copy_n(command.begin(), std::min(command.size(), sizeof send), send);
    const int32_t r = lib_.sendRecv(handle_, send, TOLLANCOM_FRAME, TOLLANCOM_FRAME, recv);
    if (r != 1)
        return Reply{r == 0 ? Outcome::Silent : Outcome::Lost, {}};
    std::size_t n = 0;
    while (n < sizeof recv && recv[n] != 0)
        ++n;
    return Reply{Outcome::Answered, std::string(reinterpret_cast<const char *>(recv), n)};
}

std::optional<int32_t> openWithRetry(Library &lib, int32_t index, std::chrono::milliseconds retry,
                                     std::chrono::milliseconds pause, const std::function<bool()> &stop)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + retry;
    for (;;) {
        int32_t handle = 0;
        if (lib.open(index, &handle) != 0)
            return handle;
        if (Clock::now() + pause > deadline || (stop && stop()))
            return std::nullopt;
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace zenta::device

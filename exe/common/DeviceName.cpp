#include "DeviceName.h"

#include "zenta/lang/transfer.hpp"

namespace zenta::device {

std::string DeviceName::why() const
{
    switch (from) {
    case From::Product:
    case From::Answer: return {};
    case From::Busy: return "busy (held by another program), so its ID cannot be asked";
    case From::Silent: return "not answering \"DN\", so its ID is unknown";
    case From::Odd: return "answering \"DN\" with no device name, so its ID is unknown";
    }
    return {};
}

DeviceName nameOf(std::string_view product, const std::function<Reply(std::string_view)> &ask)
{
    if (auto name = lang::deviceNameIn(product))
        return {DeviceName::From::Product, std::move(*name), {}};
    const Reply reply = ask("DN");
    if (!reply.answered())
        return {DeviceName::From::Silent, {}, {}};
    if (!lang::isDeviceName(reply.text))
        return {DeviceName::From::Odd, {}, reply.text};
    return {DeviceName::From::Answer, reply.text, {}};
}

DeviceName nameOfListed(Library &lib, int32_t index, std::string_view product, std::chrono::milliseconds busyRetry)
{
    if (auto name = lang::deviceNameIn(product))
        return {DeviceName::From::Product, std::move(*name), {}};
    const auto handle = openWithRetry(lib, index, busyRetry);
    if (!handle)
        return {DeviceName::From::Busy, {}, {}};
    Device device(lib, *handle);
    return nameOf(product, [&device](std::string_view command) { return device.exchange(command); });
}

}  // namespace zenta::device

// The ID of a listed device, for every front-end that chooses a device by it
// (the loader, the panel's Reconnect and transfer checks, zentactl's -d and
// list). A product string is fixed in the driver's firmware: it may name no
// device at all ("ZENTA CFG USB driver"), and never follows a new name set
// by "DN=". So the product string speaks first (lang::deviceNameIn), and
// when it names nobody the device itself is opened and asked "DN". A device
// that cannot be asked has no known ID; nobody guesses one for it.
#pragma once

#include "DeviceLink.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace zenta::device {

struct DeviceName {
    enum class From {
        Product,  // the product string names it
        Answer,   // the device answered "DN" with it
        Busy,     // could not be opened: another program holds it
        Silent,   // opened, but "DN" went unanswered (or the link went)
        Odd,      // answered "DN" with something that is no device name
    };
    From from = From::Busy;
    std::string name;    // "CFG" and two digits, when known
    std::string answer;  // the odd answer, for the message

    bool known() const { return from == From::Product || from == From::Answer; }
    // The two digits, or empty when the ID is unknown.
    std::string id() const { return known() ? name.substr(3) : std::string(); }
    // Why the ID is unknown, in a few words for a message; empty when known.
    std::string why() const;
};

// The name of the device listed with `product`, asking the open device
// through `ask` only when the product string names none.
DeviceName nameOf(std::string_view product, const std::function<Reply(std::string_view)> &ask);

// The same for the device listed at `index`, which is opened (tried again
// for `busyRetry` while another program holds it) only when the product
// string names none, and closed again.
DeviceName nameOfListed(Library &lib, int32_t index, std::string_view product,
                        std::chrono::milliseconds busyRetry = std::chrono::milliseconds(0));

}  // namespace zenta::device

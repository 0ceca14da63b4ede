// zentactl's way to a device: libTollanCom from its own folder, the devices
// it lists as the panel's selection window does, the one chosen with -d, and
// exchanges whose every failure ends the program with its exit status.
#pragma once

#include "DeviceLink.h"

#include <memory>
#include <string>
#include <vector>

namespace zentactl {

struct Listed {
    int32_t index = 0;    // the library's index, as the selection window shows it
    std::string name;     // "CFGnn" as found in the product string
    std::string product;  // the whole product string (Latin-1)
};

class Link {
public:
    // Loads libTollanCom.so from zentactl's own folder.
    Link();

    // The devices whose product string holds "CFG", in the library's order.
    std::vector<Listed> list();

    // Opens the device `choice` names (-d: a name, a product string or #N;
    // empty: the only device listed). A device another program holds is
    // tried again for `retrySeconds`.
    void open(const std::string &choice, double retrySeconds);
    const Listed &device() const { return chosen_; }

    // One exchange; the reply (Latin-1). A device that does not answer ends
    // the program (status 6).
    std::string ask(const std::string &command);
    // A set command: anything but "OK" ends the program (status 2).
    void set(const std::string &command);
    zenta::device::Device &raw() { return *open_; }
    // The program's end when the device does not answer `command`.
    [[noreturn]] void noAnswer(const std::string &command, const zenta::device::Reply &reply) const;

private:
    zenta::device::Library lib_;
    Listed chosen_;
    std::unique_ptr<zenta::device::Device> open_;
};

// How long one exchange, and the grant of a connection, may take.
inline constexpr int kExchangeTimeoutMs = 2000;

}  // namespace zentactl

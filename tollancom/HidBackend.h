// The parts of the hidraw backend that tests and the fuzz target reach
// without going through the C functions.
#pragma once

#include "Backend.h"

#include <memory>
#include <string>
#include <vector>

namespace tollancom::hid {

struct Found {
    std::string node;  // the lowest hidraw node of the USB device
    std::string serial;
    std::string product;
};

// The drivers under <sysfs>/class/hidraw: a product string with "CFG", or an
// ID among `ids`; one per USB device. In no particular order.
std::vector<Found> listDrivers(const std::string &sysfs, const std::vector<std::string> &ids);

// TOLLANCOM_HID_IDS, its malformed entries said once on stderr.
std::vector<std::string> idsFromEnvironment();

// The link over an open node (`socket`: a stand-in's connection), which it
// then owns; `node` is its path, to tell when it has gone.
std::unique_ptr<Link> linkOver(int fd, bool socket, const std::string &node);

}  // namespace tollancom::hid

#pragma once

#include "SettingsFile.h"

#include <string>
#include <vector>

// What each driver setting sends to the device, built once for the panel's
// "Down" and zentactl's "settings set", in the panel's order.
namespace DownCommands {

struct Command {
    std::string key;    // the settings file's key(s) it carries; empty for a register the file has no value for
    std::string name;   // the register: "P6"
    std::string value;  // what follows "="
    bool signPosition = false;  // the value follows a sign position, a blank ("POL= 3")
    std::string text() const { return name + "=" + value; }
};

// The register the device ID goes to; its command is the first of the list.
inline constexpr const char *kDeviceName = "DN";

// The commands for `settings` (the settings file's keys and values, in any
// order), in the panel's order: "DN=CFG<id>" for DeviceName, then "P1=",
// "P2=", "P6=", "P7=", "P8=", "P9=", "PA=", "PB=", "POL=", "DOBOOT=",
// "SLOAD=". A list setting goes as its 1-based position in its list, 0 for a
// value not in it (the panel's list with nothing selected); "PA=" goes only
// for a ControlMode of its list (the window may show neither option, and
// then the device keeps its mode); "DN=" goes only when DeviceName is given.
// A free text goes exactly as given; values are bytes, never converted.
std::vector<Command> build(const std::vector<SettingsFile::Entry> &settings);

}  // namespace DownCommands

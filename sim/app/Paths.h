// Where devices publish their sockets, shared by the simulator and its ctl
// client. Must match the device library's rule.
#pragma once

#include <string>

namespace zsim {

// $TOLLANCOM_DIR, else $XDG_RUNTIME_DIR/tollancom, else /tmp/tollancom-<uid>.
std::string deviceDir();
// Creates the folder (mode 0700) if it is missing; false with `error` filled if
// that fails or the folder is not the user's alone.
bool ensureDeviceDir(const std::string &dir, std::string &error);

}  // namespace zsim

#pragma once

#include <QString>

// Taking the device back after the link was closed: by the tools (download,
// upload) or by a lost link. The list position chosen at selection may name
// another device by then, so the device is found again by its product string.
namespace Reopen {

enum class Result {
    Opened,  // open; modTollan::DeviceHandle and DeviceIndex name it
    Gone,    // no listed device has its product string
    Busy,    // listed, but another program held it for the whole wait
    Ambiguous,  // more than one device has (or had at selection) its product string
};

// How long a device held by another program (another panel's loader asking
// every device for its name) is asked again before it counts as busy.
inline constexpr int kBusyWaitMs = 3000;

// Finds modTollan::DeviceProduct (or, when that is no longer listed, the new
// name the panel set) in the device list and opens it; asks again for up to
// `waitMs` while it is listed but held. Never waits longer than that. A
// product string that is not the only one of its kind is never opened.
Result reopenDevice(int waitMs = kBusyWaitMs);

// The message for a reopening that failed, naming the device.
QString failureText(Result result);

}  // namespace Reopen

#pragma once

#include <QString>
#include <QStringList>

// Taking the device back after the link was closed: by the tools (download,
// upload) or by a lost link. The list position chosen at selection may name
// another device by then, so the device is found again by its serial, or,
// from a library that gives no serial, by its product string.
namespace Reopen {

enum class Result {
    Opened,  // open; modTollan::DeviceHandle and DeviceIndex name it
    Gone,    // no listed device has its serial (or product string)
    Busy,    // listed, but another program held it for the whole wait
    Ambiguous,  // without a serial: more than one device has (or had at selection) its product string
};

// How long a device held by another program (another panel's loader) is
// asked again before it counts as busy.
inline constexpr int kBusyWaitMs = 3000;

// Finds the device the panel chose and opens it: by modTollan::DeviceSerial
// when the library gave one at selection; otherwise by modTollan::
// DeviceProduct (or, when that is no longer listed, the new name the panel
// set), and never a product string that is not the only one of its kind.
// Asks again for up to `waitMs` while it is listed but held, never longer;
// each listing and open runs off the GUI thread and the wait between them in
// the event loop, so repaints and Esc go on meanwhile while every other input
// waits (EventWait::InputHold).
Result reopenDevice(int waitMs = kBusyWaitMs);

// The product strings listed now, by list position; opens nothing.
QStringList listedProducts();

// The message for a reopening that failed, naming the device.
QString failureText(Result result);

}  // namespace Reopen

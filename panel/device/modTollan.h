#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "core/Bits24.h"

// Shared link state and the raw exchange every window uses.
namespace modTollan {

inline constexpr int FrameSize = 64;

extern bool CommOpen;         // link usable; goes false once and stays false
extern int32_t DeviceHandle;  // handle of the open device
extern int16_t LastResult;    // low 16 bits of the last library status
extern int16_t DeviceIndex;   // library index of the open device
extern QString DeviceProduct; // its product string, as listed when it was last opened
extern QString DeviceSerial;  // its serial (selector 1), to find it again wherever it is listed;
                              // empty from a library that gives none
extern bool DeviceProductUnique;  // no other listed device had that product string at selection
extern QString DeviceRenamedTo;   // a new name set by "DN=", listed after a store and a power cycle
extern QString DeviceAnswered;    // the device name it last gave to "DN" when read into the window:
                                  // who it is when its product string names nobody

// One command out, one reply back, nothing judged. Returns 1 after an
// exchange, -1 for a command longer than one frame or holding a character
// that Latin-1 cannot carry (nothing sent, reply unchanged). A device that answers nothing gives an empty reply.
int16_t SendRecvString(const QString &command, QString &reply);

// The device ID in a reply to "DN": zenta::lang::deviceIdOf, the fourth and
// fifth characters of a reply that is "CFG" and two digits; none for any
// other reply, which is refused wherever an ID is needed.
std::optional<QString> DeviceIdOf(const QString &dnReply);

// Bytes up to the first zero byte, at most 256 and at most `size`, as Latin-1.
QString BytesToString(const char *buffer, int size);

// Puts the shared values back to their start-of-run state (used by tests).
void resetLinkState();

}  // namespace modTollan

// zentactl's way to a device: libTollanCom from its own folder, the devices
// it lists as the panel's selection window does, the one chosen with -d, and
// exchanges whose every failure ends the program with its exit status.
//
// A device is chosen once, and from then on known by its serial: opened,
// and opened again, by serial, never by an index that a new listing may
// shift. Whoever holds it keeps it for the whole run and opens its door
// (Hold.h) to other zentactl processes; one that finds it held may go
// through that door for what passes it (stop, status, variable reads).
#pragma once

#include "DeviceLink.h"
#include "Hold.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zentactl {

struct Listed {
    int32_t index = 0;    // the library's index, as the selection window shows it
    std::string name;     // "CFGnn" as the product string names it, else as "DN" answers;
                          // the product string when neither can say
    std::string product;  // the whole product string (Latin-1)
    std::string serial;   // the device's serial: the same device whatever its index
    std::string unnamed;  // why the name is not known (busy, silent); empty when it is
};

class Link {
public:
    // Loads libTollanCom.so from zentactl's own folder.
    Link();
    ~Link();

    // The devices whose product string holds "CFG", in the library's order;
    // with `serial`, only the device of that serial.
    std::vector<Listed> list(const std::optional<std::string> &serial = std::nullopt);

    // The one device `choice` names (-d: a name, a product string, a serial
    // or #N; empty: the only device listed), or the end of the program
    // (status 3 or 4). With `bySerial`, `choice` is a serial and nothing else.
    Listed choose(const std::string &choice, bool bySerial = false);
    // The same from a listing already made (not by serial).
    Listed choose(const std::string &choice, const std::vector<Listed> &devices);
    // Opens the device `choose` gives. A device another program holds is
    // tried again for `retrySeconds`. With `throughDoor`, a device another
    // zentactl holds is reached through its door instead.
    void open(const std::string &choice, double retrySeconds, bool throughDoor = false, bool bySerial = false);
    const Listed &device() const { return chosen_; }

    // One exchange; the reply (Latin-1). A device that does not answer ends
    // the program (status 6).
    std::string ask(const std::string &command);
    // A set command: anything but "OK" ends the program (status 2).
    void set(const std::string &command);
    // The open device itself, for the exchanges of a transfer.
    zenta::device::Device &raw();
    // The program's end when the device does not answer `command`; if the
    // axis was set moving, STOP is tried first over a new connection.
    [[noreturn]] void noAnswer(const std::string &command, const zenta::device::Reply &reply);

    // While zentactl has the axis moving: a link that fails then is reached
    // again for STOP (noAnswer), and the program never ends without one.
    void setMoving(bool moving) { moving_ = moving; }
    bool moving() const { return moving_; }
    // STOP without judging its reply, if the axis is still ours to stop:
    // for an end that unwinds (a signal, a time-out, an error).
    void stopIfMoving();

private:
    // The index of `serial` in a fresh listing; -1 when no device, or more
    // than one, carries it (`carriers`: how many do).
    int32_t indexOf(const std::string &serial, int *carriers = nullptr);
    // Who holds the chosen device, as its note says; empty when unknown.
    std::string holder();
    bool openDirect(std::chrono::milliseconds within);
    // Keeps the device opened as `handle`, and opens our door.
    void hold(int32_t handle);
    std::string rescueStop();
    zenta::device::Reply exchange(const std::string &command);

    zenta::device::Library lib_;
    Listed chosen_;
    std::unique_ptr<zenta::device::Device> open_;
    std::unique_ptr<DoorServer> door_;    // ours, while we hold the device
    std::unique_ptr<DoorClient> remote_;  // another holder's, when we go through it
    bool moving_ = false;
};

// How long one exchange, and the grant of a connection, may take.
inline constexpr int kExchangeTimeoutMs = 2000;
// How long a link that failed while the axis moves is tried again for STOP.
inline constexpr int kRescueMs = 2000;

}  // namespace zentactl

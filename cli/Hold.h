// The door beside a held device: whoever holds a device serves other
// zentactl processes through a local socket, <serial>.hold in the device
// folder (DeviceFolder.h), so that a second shell can still stop the axis,
// or read the status and the variables, while one zentactl waits, watches,
// jogs or moves. The holder keeps the device for its whole run and carries
// out what comes through the door between its own exchanges; only STOP,
// ABORT and reads pass (kThroughTheDoor).
//
// One request is one 64-byte frame, as to the device; its answer one byte
// (how it went: Door::Answer) and the device's 64-byte reply.
#pragma once

#include "DeviceLink.h"
#include "Signals.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zentactl {

namespace Door {
enum Answer : unsigned char { Answered = 0, Silent = 1, Lost = 2, Refused = 3 };
}

// How long a holder may take to pass a request on: its own exchange and the
// request's, each bounded by the device's time-outs, and room.
inline constexpr int kDoorAnswerMs = 10000;
// At most this many other zentactl processes at the door at once (a new one
// takes the place of whoever has been quiet longest); one that sends nothing
// for this long is let go.
inline constexpr std::size_t kDoorClients = 8;
inline constexpr int kDoorIdleMs = 30000;

// Whether `command` may pass the door: STOP, ABORT, or a read of what the
// status shows, of a variable or of the device ID.
bool passesTheDoor(const std::string &command);

// The door of `serial` in the device folder; empty (no door) for a serial
// that cannot name a file there.
std::string doorPath(const std::string &serial);

// The holder's side: opened when a device is held, closed (and its socket
// removed, if still its own) when the holder lets go.
class DoorServer : public Service {
public:
    using Exchange = std::function<zenta::device::Reply(const std::string &)>;
    // Nothing is served when the socket cannot be made (a folder path too
    // long for a socket, say): the device is held as before.
    DoorServer(const std::string &path, Exchange exchange);
    ~DoorServer() override;
    DoorServer(const DoorServer &) = delete;
    DoorServer &operator=(const DoorServer &) = delete;

    void watch(std::vector<pollfd> &fds) override;
    void serve() override;

private:
    struct Client {
        int fd;
        std::string in;
        std::chrono::steady_clock::time_point since;
    };
    void drop(std::size_t i);
    std::string path_;
    Exchange exchange_;
    int listenFd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::vector<Client> clients_;
    // Out of descriptors or memory: the door is not watched for a while,
    // rather than found ready again and again with nothing to take.
    std::chrono::steady_clock::time_point acceptPausedUntil_{};
};

// The other side: a door that a live holder serves, or nothing (no door, or
// one whose holder has gone).
class DoorClient {
public:
    static std::unique_ptr<DoorClient> connect(const std::string &path);
    ~DoorClient();
    DoorClient(const DoorClient &) = delete;
    DoorClient &operator=(const DoorClient &) = delete;

    struct Result {
        Door::Answer answer = Door::Lost;
        std::string text;  // the device's reply, up to its first zero byte
        bool timedOut = false;  // the holder did not answer within kDoorAnswerMs
    };
    // One request, answered within `ms`. A signal while it waits ends the
    // program (with signalStatus()), unless `signalsEnd` is false.
    Result exchange(const std::string &command, int ms = kDoorAnswerMs, bool signalsEnd = true);

private:
    explicit DoorClient(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace zentactl

// How zentactl ends: its exit statuses (documented in zentactl(1)) and the
// one line that says why.
#pragma once

#include <string>

namespace zentactl {

enum Status : int {
    Success = 0,
    BadArguments = 1,  // usage; nothing was sent
    Failed = 2,        // the device refused, a file is invalid, a compile failed, a read-back differs
    NoSuchDevice = 3,
    NoDeviceChosen = 4,  // several devices and none chosen
    InUse = 5,           // another program holds the device
    NoAnswer = 6,        // the device stopped answering
    TimedOut = 7,        // a wait ran out
};

// Thrown to end the program: `message` goes to standard error as one line
// (nothing when empty), `status` is the exit status.
struct Stop {
    int status;
    std::string message;
    bool plain = false;  // the line as it is, without "zentactl: " (a compiler's error line)
};

[[noreturn]] inline void stop(int status, std::string message) { throw Stop{status, std::move(message)}; }

}  // namespace zentactl

// How zentactl ends: its exit statuses (documented in zentactl(1)) and the
// one line that says why.
#pragma once

#include <nlohmann/json.hpp>

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
    // Several devices (-d all, a list): each device's own status is in its line.
    LineFailed = 8,  // at least one device failed
    Differs = 9,     // a comparison (settings diff, program verify) found a difference, and no device failed
};

// Thrown to end the program: `message` goes to standard error as one line
// (nothing when empty), `status` is the exit status. With --json a failure
// is also one object on standard output: {"device", "error": {"exit",
// "message"}}, with `result`'s keys before "error" (a send's reply, a
// check's failing lines).
struct Stop {
    int status;
    std::string message;
    bool plain = false;  // the line as it is, without "zentactl: " (a compiler's error line)
    nlohmann::ordered_json result = nlohmann::ordered_json::object();
    // The result is out already, and with --json no failure object follows:
    // a difference found is an answer, not a failure.
    bool shown = false;
};

[[noreturn]] inline void stop(int status, std::string message) { throw Stop{status, std::move(message)}; }

}  // namespace zentactl

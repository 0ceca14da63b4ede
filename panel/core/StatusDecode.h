#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// The status words as the device gives them, decoded in one place for the
// panel's poll, its thread window and zentactl. A reply not read leaves its
// part absent; so does a reply that is no number, so a front-end keeps what
// it showed before. Replies are the device's Latin-1 bytes.
namespace StatusDecode {

// Replies as received; absent when not read.
struct Replies {
    std::optional<std::string> mst, di, dout, eo, ai, mm, sastat;
    // The thread window's "SASTAT0" and "SASTAT1".
    std::optional<std::string> threadState[2];
};

struct Status {
    std::optional<std::string> motionState;  // "IDLE", "CONST", "ACCEL" or "DECEL"
    std::optional<int32_t> currentTenths;    // present current in tenths of an ampere; 0 for none
    std::optional<std::array<bool, 6>> inputs;   // DI1 to DI6
    std::optional<std::array<bool, 2>> outputs;  // DO1, DO2
    std::optional<bool> outputEnabled;           // EO
    std::optional<int32_t> analogInput;
    std::optional<std::string> moveMode;    // "ABS" or "INC"
    std::optional<int32_t> programState;    // the "SASTAT" code
    std::optional<int32_t> threadState[2];  // the "SASTAT0"/"SASTAT1" codes
};

// The main window's poll reads an empty reply as 0 (a closed link answers
// nothing); the thread window takes an empty "SASTAT0"/"SASTAT1" as no
// reading, since it bypasses the link's guard.
Status decode(const Replies &replies);

// A program state code as the windows show it: "Idle", "Running", "Paused",
// "Errored"; empty for a code that has no text (the display stays as it was).
std::string programStateText(int32_t code);

}  // namespace StatusDecode

// A compiled program to the device and back over the transfer frames of
// zenta/lang/transfer.hpp, with every reply judged and every refusal said in
// the operator's words. Shared by Merrow and zentactl.
#pragma once

#include "DeviceLink.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zenta::device {

// Why a transfer did not happen or did not finish: the lines an operator
// reads, first the reason.
struct Failure {
    std::vector<std::string> lines;
    bool noAnswer = false;  // the device stopped answering or the link went
    bool stopped = false;   // the caller's progress callback stopped it
    bool noProgram = false; // upload: the device holds no program, which a comparison takes as an empty one
};

Failure failure(std::string reason, std::string more = {});

// A text quoted in a report, cut to `n` characters with "..." after it.
std::string clip(const std::string &s, std::size_t n = 60);

// Whether the device can take these compiled lines, checked as it will
// check them: not empty, at most `maxLines`, and the whole parses (which
// includes every line fitting its frame). Nothing on success.
std::optional<Failure> checkProgram(const std::vector<std::string> &lines, int maxLines);

// Called after each frame with the frames done and their total; false
// abandons the transfer at that point.
using Progress = std::function<bool(int done, int total)>;

struct Sent {
    int lines = 0;
    std::uint32_t crc = 0;  // the checksum the device confirmed
};

// Sends a checked program (checkProgram) and has the device confirm count
// and checksum. On a failure the device keeps its previous program, except
// where the failure says otherwise.
std::variant<Sent, Failure> download(Device &device, const std::vector<std::string> &lines,
                                     const Progress &progress = {});

// The device's stored program, its checksum verified.
std::variant<std::vector<std::string>, Failure> upload(Device &device, const Progress &progress = {});

}  // namespace zenta::device

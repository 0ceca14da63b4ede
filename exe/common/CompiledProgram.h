// The loader's judgement of a compiled file before it touches any device,
// shared with the panel, which makes it before it stops the device's
// programs for a download.
#pragma once

#include "ProgramTransfer.h"

#include <string>
#include <variant>
#include <vector>

namespace zenta::device {

// The compiled lines of a compiler's result file, or why they cannot be
// sent: a failed compile, a file that is no compiler result, a count that
// does not match the lines after it, and whatever checkProgram refuses
// (`maxLines` is the setup's LIN). `name` names the file in the reasons.
std::variant<std::vector<std::string>, Failure> compiledProgram(const std::string &bytes, const std::string &name,
                                                                int maxLines);

}  // namespace zenta::device

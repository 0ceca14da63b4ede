// A program on its way into the device: the lines of an unfinished transfer.
//
// Nothing here touches the stored program. A transfer either ends with a
// program that passed every check, which the model then commits in one step,
// or it is abandoned and leaves no trace: on any refused frame, a new begin,
// a lost host or a power cycle.
#pragma once

#include "zenta/lang/program.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zsim {

class ProgramTransfer {
public:
    struct Checked {
        std::vector<std::string> lines;
        zenta::lang::Program program;
    };
    struct Step {
        std::string reply;               // empty when `checked` is to be committed
        std::optional<Checked> checked;  // a finished transfer that passed every check
    };

    // The begin, line and end commands; nullopt for any other command.
    // `threadsBusy`: a program thread runs, so nothing may be replaced.
    std::optional<Step> handle(std::string_view name, bool hasValue, std::string_view value, bool threadsBusy);

    void abandon();
    bool active() const { return expected_ > 0; }
    int received() const { return static_cast<int>(lines_.size()); }
    int expected() const { return expected_; }

private:
    Step refuse(std::string reply);
    Step finish(std::string_view value, bool threadsBusy);

    int expected_ = 0;  // 0: no transfer under way
    std::vector<std::string> lines_;
};

}  // namespace zsim

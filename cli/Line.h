// A production line: one command over several devices (-d all, -d A,B, -d
// given more than once). Everything is checked once, here, before anything
// is opened; then each device gets a zentactl of its own, fixed to it by
// serial, so that a device that hangs, goes away or is held elsewhere ends
// only its own run: every command keeps its own bounds, its own door and
// its own STOP on a signal, exactly as with one device. What the children
// print comes back here, line by line, named by device.
#pragma once

#include "Link.h"

#include <string>
#include <vector>

namespace zentactl {

// The -d texts as given, each split at its commas.
std::vector<std::string> deviceWords(const std::vector<std::string> &given);
// Whether they ask for a line (a list, -d more than once, or all) rather
// than for one device.
bool asksForLine(const std::vector<std::string> &given);
// The devices the words choose, each once, in the order first named; a word
// that names none, or several, ends the program (3, 4) as with one device.
std::vector<Listed> chooseLine(Link &link, const std::vector<std::string> &words);

// At most this many devices at once, unless --jobs says otherwise.
inline constexpr int kDefaultJobs = 8;
inline constexpr int kMostJobs = 64;

struct LineRun {
    std::string program;                 // zentactl itself
    std::vector<std::string> arguments;  // the command line without -d and --jobs
    // What each device's zentactl reads for the file argument `inputName`
    // (the bytes checked here, so that every device gets the same).
    std::string input, inputName;
    bool json = false;
    int jobs = kDefaultJobs;
};

// Runs the command on every device; the exit status: 0 all done, 9 a
// difference found, 8 any device failed, 128+N after signal N.
int runLine(const std::vector<Listed> &devices, const LineRun &run);

// The options a device's own zentactl is started with.
inline constexpr const char *kLineSerialOption = "--line-serial";
inline constexpr const char *kLineInputOption = "--line-input";

}  // namespace zentactl

// What the external tools share: finding their own folder, reading their setup
// and input files with a size cap, and writing result files whole or not at all.
#pragma once

#include "zenta/lang/regularfile.hpp"

#include <map>
#include <string_view>
#include <string>
#include <vector>

namespace zenta::tools {

// The folder holding the running executable, whatever the current directory.
std::string ownFolder();

enum class Read { Ok, Missing, TooLarge };
inline constexpr std::size_t kMaxInput = zenta::lang::kMaxTextFile;
// Read as zenta::lang::readRegularFile reads. Missing also covers unreadable
// files and anything that is not a regular file.
Read readFile(const std::string &path, std::string &out, std::size_t cap = kMaxInput);

// Lines joined with CR LF into a temporary file beside `path`, synced, renamed
// over `path`, and the folder synced (zenta::lang::replaceFile). On failure
// the temporary file is gone, `path` is as it was, and "<tool>: cannot write
// <path>: <why>" goes to standard error.
bool writeResult(const char *tool, const std::string &path, const std::vector<std::string> &lines);

// A report line for the operator: control characters would split it, and the
// panel takes the last line holding "Line" as a compiler's failing line.
std::string scrub(std::string s);

// A name for a file in the tool's own folder: no path, not "." or "..".
bool bareName(const std::string &name);

// KEY:VALUE lines; keys and values trimmed of blanks and tabs, blank lines
// skipped. A later entry of a key replaces an earlier one.
struct Setup {
    std::map<std::string, std::string> values;
    std::string problem;  // the first line that is not KEY:VALUE, if any
    const std::string *get(const std::string &key) const;
};
Setup parseSetup(const std::string &bytes);

// The first line of a result file: "<WHAT> OK <n> lines" or "<WHAT> FAILED".
// Other: not a result line of `what`; Failed: lang::reportsFailure. The count
// is checked by lang::readCompiledFile.
enum class ResultLine { Other, Ok, Failed };
ResultLine judgeResultLine(std::string_view line, std::string_view what);
std::string okLine(const std::string &what, std::size_t lines);

}  // namespace zenta::tools

#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The driver settings file: a header line naming the format and its version,
// then one key=value line per setting (docs/settings-file.md). Values are kept
// exactly as written; nothing is trimmed or converted. The panel's "Save
// Settings..."/"Load Settings..." and zentactl's "settings" read and write it
// through here. Texts are the file's Latin-1 bytes.
namespace SettingsFile {

inline constexpr int kVersion = 1;
// Far beyond any settings file; a larger one is the wrong file.
inline constexpr std::size_t kMaxFileBytes = 64 * 1024;
std::string headerLine(int version = kVersion);

// What one key accepts: nothing when the value is fine, else why not.
struct Rule {
    std::string key;
    std::function<std::optional<std::string>(const std::string &value)> check;
};

struct Entry {
    std::string key;
    std::string value;
};

// Why a file was refused; `key` is empty when the fault is not about a key.
struct Refusal {
    int line = 0;
    std::string key;
    std::string reason;
    std::string message() const;
};

// The file's bytes for these entries, in this order: CR LF after each line.
// A value with a line break gives a refusal instead, naming its key.
std::variant<std::string, Refusal> format(const std::vector<Entry> &entries);

// Reads a whole file against the rules: every rule's key exactly once, no
// other key, every value accepted. Entries come back in the rules' order.
std::variant<std::vector<Entry>, Refusal> parse(std::string_view bytes, const std::vector<Rule> &rules);

// Rule helpers.
std::optional<std::string> checkOneOf(const std::string &value, const std::vector<std::string> &allowed);
std::optional<std::string> checkFlag(const std::string &value);

// The lists the "Configuration" area offers, in the order it shows them. A
// list setting travels to the device as its 1-based position in its list.
std::vector<std::string> deviceIds();     // "00" to "99"
std::vector<std::string> runCurrents();   // "0.1" to "2.0"
std::vector<std::string> idleCurrents();  // the run currents, then "0"
std::vector<std::string> microsteps();    // "1", "2", "4", "16"
std::vector<std::string> controlModes();  // "USB", "Analog": "PA" 1 and 2

// The keys in the order a file lists them.
inline const std::vector<std::string> keys{"DeviceName", "RunCurrent", "IdleCurrent", "Microstep",
                                           "ControlMode", "TimeOut",   "DOPolarity",  "DIPolarity",
                                           "DOBoot",     "AutoRun0",   "AutoRun1"};

// What the file accepts for each key, in the order of `keys`. A free text
// value must fit its command ("PB=", "DOBOOT=") into one frame, since it goes
// to the device exactly as written.
std::vector<Rule> rules();

}  // namespace SettingsFile

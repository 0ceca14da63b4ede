// zentactl's text rules: arguments arrive as UTF-8, the device and the files
// speak Latin-1, and output goes out as UTF-8. A conversion that would change
// a text refuses instead.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zentactl {

// Latin-1 bytes (a reply, a file's text) as UTF-8 for the terminal or JSON.
std::string utf8(std::string_view latin1);
// A UTF-8 argument as the Latin-1 bytes the device would get; nothing when
// it is not UTF-8 or holds a character Latin-1 has no code for, with `why`
// naming it.
std::optional<std::string> latin1Argument(std::string_view argument, std::string *why);

// A whole decimal number of 32 bits, as the device reads one: an optional
// sign and digits, nothing else (no blanks, fractions, exponents, hexadecimal).
std::optional<int32_t> strictInt32(std::string_view text);
// Seconds: a plain decimal number from 0 to `max`, fractions allowed.
std::optional<double> seconds(std::string_view text, double max);
// Seconds as people write them: "2", "0.5", "1.25".
std::string secondsText(double s);

// The words of the command line, compared without regard to case.
bool sameWord(std::string_view a, std::string_view b);

}  // namespace zentactl

#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The one way numbers are read from replies and fields, for the panel and
// zentactl alike: surrounding blanks, a sign, a fraction (rounded half to
// even) and an exponent are accepted; anything else (grouping, hexadecimal,
// infinities), or a value outside the target range, gives no value. Texts
// are bytes: the device's Latin-1, or UTF-8, where no digit lies outside ASCII.
namespace zenta::core {

std::optional<double> parseNumber(std::string_view text);
std::optional<int32_t> parseInt32(std::string_view text);
std::optional<int16_t> parseInt16(std::string_view text);

// Device replies where an empty text stands for 0 (a refused exchange).
std::optional<int32_t> replyToInt32(std::string_view reply);
std::optional<int16_t> replyToInt16(std::string_view reply);

}  // namespace zenta::core

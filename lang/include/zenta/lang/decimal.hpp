// Whole decimal numbers as the device, its simulator and the tools read them:
// an optional sign and digits, nothing else. Failure is a value, never an
// exception, and the kind of failure is kept, as the device answers a number
// it cannot hold differently from one it cannot read.
#pragma once

#include <cstdint>
#include <string_view>

namespace zenta::lang {

enum class Decimal { Ok, Empty, Syntax, Range };

// Any number of digits is read; a magnitude of 10^15 or more is Range, not an
// overflow. Blanks are not skipped: callers that allow them trim first.
Decimal parseDecimal(std::string_view text, std::int64_t &out);

// The same, true only for a number within [lo, hi].
bool parseDecimalIn(std::string_view text, std::int64_t lo, std::int64_t hi, std::int64_t &out);

}  // namespace zenta::lang

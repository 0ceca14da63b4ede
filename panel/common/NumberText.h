#pragma once

#include <QString>
#include <cstdint>
#include <optional>

// The panel's texts through the one number rule of core/Numbers.h:
// surrounding blanks, a sign, a fraction (rounded half to even) and an
// exponent are accepted; anything else, or a value outside the target range,
// gives no value.
std::optional<double> parseNumber(const QString &text);
std::optional<int32_t> parseInt32(const QString &text);
std::optional<int16_t> parseInt16(const QString &text);

// Device replies where an empty text stands for 0 (a refused exchange).
std::optional<int32_t> replyToInt32(const QString &reply);
std::optional<int16_t> replyToInt16(const QString &reply);

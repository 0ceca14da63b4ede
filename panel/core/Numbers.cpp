#include "Numbers.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace zenta::core {

std::optional<double> parseNumber(std::string_view s)
{
    constexpr std::string_view blanks = " \t\n\v\f\r";
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return std::nullopt;
    s = s.substr(first, s.find_last_not_of(blanks) - first + 1);
    if (s[0] == '+') {
        s.remove_prefix(1);
        if (!s.empty() && (s[0] == '+' || s[0] == '-'))
            return std::nullopt;
    }
    // Digits, a point and an exponent: "1,000" typed for a speed is more
    // likely a slip than a thousand, and "inf" is no speed at all.
    if (s.empty() || s.find_first_not_of("0123456789.eE+-") != std::string_view::npos)
        return std::nullopt;
    double v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

namespace {
template <typename Int>
std::optional<Int> parseInt(std::string_view text)
{
    const auto v = parseNumber(text);
    if (!v)
        return std::nullopt;
    const double r = std::nearbyint(*v);  // default rounding: halves to even
    if (r < double(std::numeric_limits<Int>::min()) || r > double(std::numeric_limits<Int>::max()))
        return std::nullopt;
    return static_cast<Int>(r);
}
}  // namespace

std::optional<int32_t> parseInt32(std::string_view text)
{
    return parseInt<int32_t>(text);
}

std::optional<int16_t> parseInt16(std::string_view text)
{
    return parseInt<int16_t>(text);
}

std::optional<int32_t> replyToInt32(std::string_view reply)
{
    return reply.empty() ? std::optional<int32_t>(0) : parseInt32(reply);
}

std::optional<int16_t> replyToInt16(std::string_view reply)
{
    return reply.empty() ? std::optional<int16_t>(0) : parseInt16(reply);
}

}  // namespace zenta::core

#include "Text.h"

#include "zenta/lang/decimal.hpp"
#include "zenta/lang/text.hpp"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>

namespace zentactl {

std::string utf8(std::string_view latin1)
{
    std::string out;
    out.reserve(latin1.size());
    for (const unsigned char c : latin1) {
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::string> latin1Argument(std::string_view argument, std::string *why)
{
    return zenta::lang::latin1FromUtf8(argument, why);
}

std::optional<int32_t> strictInt32(std::string_view text)
{
    std::int64_t v = 0;
    if (!zenta::lang::parseDecimalIn(text, INT32_MIN, INT32_MAX, v))
        return std::nullopt;
    return static_cast<int32_t>(v);
}

std::optional<double> seconds(std::string_view text, double max)
{
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string_view::npos)
        return std::nullopt;
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::fixed);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v) || v > max)
        return std::nullopt;
    return v;
}

std::string secondsText(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

bool sameWord(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

}  // namespace zentactl

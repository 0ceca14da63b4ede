#include "Text.h"

#include "zenta/lang/decimal.hpp"

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
    std::string out;
    for (std::size_t i = 0; i < argument.size();) {
        const unsigned char lead = static_cast<unsigned char>(argument[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        char32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = length != 0 && i + length <= argument.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(argument[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3F);
        }
        // Overlong forms and surrogates are not UTF-8 either.
        static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!valid || code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            if (why)
                *why = "bytes that are not UTF-8 text";
            return std::nullopt;
        }
        if (code > 0xFF) {
            if (why) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(code));
                *why = "the character \"" + std::string(argument.substr(i, length)) + "\" (" + hex +
                       "), which is not a Latin-1 character";
            }
            return std::nullopt;
        }
        out += char(code);
        i += length;
    }
    return out;
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

#include "zenta/lang/decimal.hpp"

namespace zenta::lang {

Decimal parseDecimal(std::string_view s, std::int64_t &out)
{
    if (s.empty())
        return Decimal::Empty;
    bool negative = false;
    if (s.front() == '+' || s.front() == '-') {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty())
        return Decimal::Syntax;
    constexpr std::int64_t kCap = 1'000'000'000'000'000LL;  // times 10 still fits
    std::int64_t v = 0;
    bool huge = false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return Decimal::Syntax;
        if (!huge) {
            v = v * 10 + (c - '0');
            huge = v >= kCap;
        }
    }
    if (huge)
        return Decimal::Range;
    out = negative ? -v : v;
    return Decimal::Ok;
}

bool parseDecimalIn(std::string_view text, std::int64_t lo, std::int64_t hi, std::int64_t &out)
{
    std::int64_t v = 0;
    if (parseDecimal(text, v) != Decimal::Ok || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

}  // namespace zenta::lang

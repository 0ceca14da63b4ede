#include "NumberText.h"

#include <QLocale>
#include <cmath>

std::optional<double> parseNumber(const QString &text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    // Grouping is refused: "1,000" typed for a speed is more likely a slip
    // than a thousand.
    static const QLocale c = [] {
        QLocale l = QLocale::c();
        l.setNumberOptions(QLocale::RejectGroupSeparator);
        return l;
    }();
    bool ok = false;
    const double v = c.toDouble(t, &ok);
    if (!ok || !std::isfinite(v))
        return std::nullopt;
    return v;
}

namespace {
template <typename Int>
std::optional<Int> parseInt(const QString &text)
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

std::optional<int32_t> parseInt32(const QString &text)
{
    return parseInt<int32_t>(text);
}

std::optional<int16_t> parseInt16(const QString &text)
{
    return parseInt<int16_t>(text);
}

std::optional<int32_t> replyToInt32(const QString &reply)
{
    return reply.isEmpty() ? std::optional<int32_t>(0) : parseInt32(reply);
}

std::optional<int16_t> replyToInt16(const QString &reply)
{
    return reply.isEmpty() ? std::optional<int16_t>(0) : parseInt16(reply);
}

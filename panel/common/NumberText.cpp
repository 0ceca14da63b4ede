#include "NumberText.h"

#include "core/Numbers.h"

#include <string>

namespace {
// Any Unicode blank around a typed number counts as a blank; what is left
// is read as UTF-8, where every digit the rule accepts is ASCII.
std::string bytes(const QString &text)
{
    return text.trimmed().toUtf8().toStdString();
}
}  // namespace

std::optional<double> parseNumber(const QString &text)
{
    return zenta::core::parseNumber(bytes(text));
}

std::optional<int32_t> parseInt32(const QString &text)
{
    return zenta::core::parseInt32(bytes(text));
}

std::optional<int16_t> parseInt16(const QString &text)
{
    return zenta::core::parseInt16(bytes(text));
}

// Empty before any trimming: a reply of blanks is no number, not a 0.
std::optional<int32_t> replyToInt32(const QString &reply)
{
    return reply.isEmpty() ? zenta::core::replyToInt32({}) : parseInt32(reply);
}

std::optional<int16_t> replyToInt16(const QString &reply)
{
    return reply.isEmpty() ? zenta::core::replyToInt16({}) : parseInt16(reply);
}

#include "zenta/lang/text.hpp"

namespace zenta::lang {

std::vector<std::string> splitLines(std::string_view bytes)
{
    std::vector<std::string> lines;
    std::string current;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(std::move(current));
            current.clear();
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty())
        lines.push_back(std::move(current));
    return lines;
}

std::string joinLines(const std::vector<std::string> &lines)
{
    std::size_t size = 0;
    for (const auto &l : lines)
        size += l.size() + 2;
    std::string out;
    out.reserve(size);
    for (const auto &l : lines) {
        out += l;
        out += "\r\n";
    }
    return out;
}

}  // namespace zenta::lang

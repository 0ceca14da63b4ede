#include "zenta/lang/transfer.hpp"

#include "zenta/lang/program.hpp"

#include <array>
#include <charconv>
#include <cstdio>

namespace zenta::lang {

std::uint32_t crc32(std::string_view data, std::uint32_t crc)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc ^= 0xFFFFFFFFu;
    for (unsigned char b : data)
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::uint32_t programChecksum(const std::vector<std::string> &lines)
{
    std::uint32_t crc = 0;
    for (const std::string &l : lines) {
        crc = crc32(l, crc);
        crc = crc32("\n", crc);
    }
    return crc;
}

std::string formatChecksum(std::uint32_t crc)
{
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(crc));
    return buf;
}

std::optional<std::uint32_t> parseChecksum(std::string_view s)
{
    if (s.size() != 8)
        return std::nullopt;
    std::uint32_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            return std::nullopt;
        v = v << 4 | static_cast<std::uint32_t>(d);
    }
    return v;
}

namespace transfer {

std::string beginCommand(int lines) { return std::string(kBegin) + "=" + std::to_string(lines); }

// Any line parseCompiled accepts fits its frame, whatever its number.
static_assert(sizeof "PGL1275=" - 1 + kMaxCompiledLineLength < kFrameBytes);

std::string lineCommand(int number, std::string_view line)
{
    std::string c = std::string(kLine) + std::to_string(number) + "=";
    if (c.size() + line.size() >= kFrameBytes)
        return {};
    c += line;
    return c;
}

std::string endCommand(std::uint32_t crc) { return std::string(kEnd) + "=" + formatChecksum(crc); }

std::vector<std::string> downloadCommands(const std::vector<std::string> &lines)
{
    std::vector<std::string> c{beginCommand(static_cast<int>(lines.size()))};
    for (std::size_t k = 0; k < lines.size(); ++k)
        c.push_back(lineCommand(static_cast<int>(k) + 1, lines[k]));
    c.push_back(endCommand(programChecksum(lines)));
    return c;
}

std::string readCommand(int number) { return std::string(kRead) + std::to_string(number); }

std::string infoReply(int lines, std::uint32_t crc) { return std::to_string(lines) + " " + formatChecksum(crc); }

std::optional<int> numberedName(std::string_view name, std::string_view stem)
{
    if (name.substr(0, stem.size()) != stem)
        return std::nullopt;
    const std::string_view digits = name.substr(stem.size());
    if (digits.empty() || digits.size() > 5 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string_view::npos)
        return 0;
    int n = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), n);
    return n;
}

std::optional<Info> parseInfoReply(std::string_view reply)
{
    const auto blank = reply.find(' ');
    if (blank == std::string_view::npos || blank == 0 || blank > 4)
        return std::nullopt;
    Info info;
    const auto [end, ec] = std::from_chars(reply.data(), reply.data() + blank, info.lines);
    if (ec != std::errc() || end != reply.data() + blank || info.lines < 1 || info.lines > kMaxCompiledLines)
        return std::nullopt;
    const auto crc = parseChecksum(reply.substr(blank + 1));
    if (!crc)
        return std::nullopt;
    info.crc = *crc;
    return info;
}

}  // namespace transfer
}  // namespace zenta::lang

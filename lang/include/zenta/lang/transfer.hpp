// The wire form of a program transfer between the loader and the device, over
// the ordinary command frames (a command of at most 64 bytes, one reply):
//
//   PGLOAD=n        begin a transfer of n compiled lines (1..1275)
//   PGL<k>=<line>   compiled line k (1-based, in order)
//   PGEND=<crc>     end: the device checks count, checksum and the program,
//                   then stores it in one step; the old program stays on refusal
//   PGINFO          the stored program: "<count> <crc>"
//   PGR<k>          stored line k
//
// <crc> is eight hex digits of programChecksum(). Both sides build and read the
// frames through this header so the two ends cannot drift apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zenta::lang {

inline constexpr std::size_t kFrameBytes = 64;

// CRC-32 (IEEE 802.3, reflected, as zlib computes it).
std::uint32_t crc32(std::string_view data, std::uint32_t crc = 0);

// CRC-32 of the lines, each followed by one LF.
std::uint32_t programChecksum(const std::vector<std::string> &lines);
std::string formatChecksum(std::uint32_t crc);                   // 8 upper-case hex digits
std::optional<std::uint32_t> parseChecksum(std::string_view s);  // exactly 8 hex digits

// A device's name as "DN" reads it and the loader's setup names it: "CFG"
// and two digits. Anything else (an empty reply too) names no device.
inline bool isDeviceName(std::string_view s)
{
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return s.size() == 5 && s.substr(0, 3) == "CFG" && digit(s[3]) && digit(s[4]);
}

// The device ID a reply to "DN" gives: its fourth and fifth characters, the
// two digits of a device name. Any other reply (shorter, longer, letters, an
// error, nothing) gives no ID, and whoever needs one refuses it. The one rule
// for the panel, zentactl and the loader.
inline std::optional<std::string> deviceIdOf(std::string_view dnReply)
{
    if (!isDeviceName(dnReply))
        return std::nullopt;
    return std::string(dnReply.substr(3, 2));
}

// The device name a product string holds: the first "CFG" (in any case) with
// two digits after it ("Zenta cfg07" holds CFG07); none when it holds none.
// How zentactl names a listed device and the loader picks the one to open.
inline std::optional<std::string> deviceNameIn(std::string_view product)
{
    std::string upper(product);
    for (char &c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    for (std::size_t at = upper.find("CFG"); at != std::string::npos; at = upper.find("CFG", at + 1))
        if (isDeviceName(std::string_view(upper).substr(at, 5)))
            return upper.substr(at, 5);
    return std::nullopt;
}

// How many of the listed product strings name the device `id` (its two
// digits). The loader opens none of them when more than one does, so whoever
// hands it an ID can refuse first, before anything changes the device.
inline std::size_t productsNaming(const std::vector<std::string> &products, std::string_view id)
{
    std::size_t n = 0;
    for (const std::string &product : products)
        if (const auto name = deviceNameIn(product); name && std::string_view(*name).substr(3) == id)
            ++n;
    return n;
}

namespace transfer {

inline constexpr std::string_view kBegin = "PGLOAD";
inline constexpr std::string_view kLine = "PGL";
inline constexpr std::string_view kEnd = "PGEND";
inline constexpr std::string_view kInfo = "PGINFO";
inline constexpr std::string_view kRead = "PGR";

std::string beginCommand(int lines);
// Empty when the line would not fit one frame (with its terminating zero);
// never for a line parseCompiled accepts.
std::string lineCommand(int number, std::string_view line);
std::string endCommand(std::uint32_t crc);
// Every frame of a download of `lines`, in order: begin, each line, end. A
// line too long for its frame comes out empty, which the device refuses.
std::vector<std::string> downloadCommands(const std::vector<std::string> &lines);
std::string readCommand(int number);
std::string infoReply(int lines, std::uint32_t crc);

// "PGL<k>" / "PGR<k>": k; 0 when name has the stem but no plain number
// (1 to 5 digits, no leading zero) after it; nullopt without the stem.
std::optional<int> numberedName(std::string_view name, std::string_view stem);

struct Info {
    int lines = 0;
    std::uint32_t crc = 0;
};
std::optional<Info> parseInfoReply(std::string_view reply);

}  // namespace transfer
}  // namespace zenta::lang

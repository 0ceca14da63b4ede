// What the hidraw backend makes of the bytes sysfs and a driver give it.
// Plain functions on strings, so that they are fuzzed without a kernel.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tollancom {

// What a product string or serial may be: the library's buffer less its zero byte.
inline constexpr std::size_t kTextCap = 256;

// The first line of a product file or a sysfs attribute, as every backend
// reports it: up to the first line end or zero byte, at most kTextCap bytes.
// Other bytes stay as they are: a front-end decides what it can show.
inline std::string firstLine(const std::string &bytes)
{
    std::size_t len = 0;
    while (len < bytes.size() && len < kTextCap && bytes[len] != '\n' && bytes[len] != '\r' && bytes[len] != '\0')
        ++len;
    return bytes.substr(0, len);
}

}  // namespace tollancom

namespace tollancom::hid {

// Bytes of one frame, and of the output report that carries it (report
// number 0 first).
inline constexpr std::size_t kFrame = 64;
inline constexpr std::size_t kOutputReport = kFrame + 1;
// What is read of one sysfs attribute; a USB string descriptor holds far less.
inline constexpr std::size_t kAttributeCap = 4096;

inline bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline std::string lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

inline std::string trimmed(const std::string &s)
{
    const std::size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return {};
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// Four hex digits, lowercase; empty when the attribute is not that.
inline std::string usbIdPart(const std::string &attribute)
{
    const std::string s = trimmed(firstLine(attribute));
    if (s.size() != 4)
        return {};
    for (char c : s)
        if (!isHex(c))
            return {};
    return lower(s);
}

// "vvvv:pppp" of a USB device, empty unless both attributes are well formed.
inline std::string usbId(const std::string &vendorAttribute, const std::string &productAttribute)
{
    const std::string v = usbIdPart(vendorAttribute), p = usbIdPart(productAttribute);
    return v.empty() || p.empty() ? std::string() : v + ":" + p;
}

// The IDs of a TOLLANCOM_HID_IDS value, "vvvv:pppp,..." (spaces around an
// entry and uppercase hex allowed), lowercase; entries that are not IDs go
// to `bad`, and empty entries are nothing.
inline std::vector<std::string> parseIds(const std::string &value, std::vector<std::string> &bad)
{
    std::vector<std::string> ids;
    std::size_t at = 0;
    while (at <= value.size()) {
        std::size_t end = value.find(',', at);
        if (end == std::string::npos)
            end = value.size();
        const std::string entry = trimmed(value.substr(at, end - at));
        at = end + 1;
        if (entry.empty())
            continue;
        const std::size_t colon = entry.find(':');
        const std::string id = colon == std::string::npos
                                   ? std::string()
                                   : usbId(entry.substr(0, colon), entry.substr(colon + 1));
        if (id.empty())
            bad.push_back(entry.substr(0, 32));
        else
            ids.push_back(id);
    }
    return ids;
}

// Whether a USB device with this product string and ID is one of ours.
inline bool isDriver(const std::string &product, const std::string &id, const std::vector<std::string> &ids)
{
    if (product.find("CFG") != std::string::npos)
        return true;
    if (id.empty())
        return false;
    for (const std::string &wanted : ids)
        if (wanted == id)
            return true;
    return false;
}

// The number a node name ends in ("hidraw12": 12); -1 without one. Nine
// digits at most count, so that no name overflows it.
inline long nodeNumber(const std::string &name)
{
    std::size_t start = name.size();
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9')
        --start;
    if (start == name.size() || name.size() - start > 9)
        return -1;
    return std::stol(name.substr(start));
}

// Whether node `a` comes before node `b`: by number, then by name.
inline bool nodeBefore(const std::string &a, const std::string &b)
{
    const long na = nodeNumber(a), nb = nodeNumber(b);
    if (na != nb)
        return na < nb;
    return a < b;
}

// An input report is a reply only when it is one whole frame; a shorter or
// longer one (another report, a device of another kind) answers nothing.
inline bool isReply(long length)
{
    return length == static_cast<long>(kFrame);
}

}  // namespace tollancom::hid

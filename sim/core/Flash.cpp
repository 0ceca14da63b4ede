#include "Flash.h"

#include "zenta/lang/transfer.hpp"

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace zsim {

namespace {
constexpr const char *kHeader = "ZENTA-FLASH 1";
constexpr std::size_t kMaxImage = 1 << 20;  // anything larger is not ours
}  // namespace

std::uint32_t crc32(const std::string &data) { return zenta::lang::crc32(data); }

std::string encodeFlash(const FlashRecord &record)
{
    std::string body = std::string(kHeader) + "\n";
    for (const auto &[key, value] : record)
        body += key + "=" + value + "\n";
    char crc[32];
    std::snprintf(crc, sizeof crc, "CRC=%08X\n", crc32(body));
    return body + crc;
}

std::optional<FlashRecord> decodeFlash(const std::string &image)
{
    const auto crcPos = image.rfind("CRC=");
    if (crcPos == std::string::npos || image.size() > kMaxImage)
        return std::nullopt;
    const std::string body = image.substr(0, crcPos);
    char expected[16];
    std::snprintf(expected, sizeof expected, "%08X\n", crc32(body));
    if (image.compare(crcPos + 4, std::string::npos, expected) != 0)
        return std::nullopt;

    std::istringstream in(body);
    std::string line;
    if (!std::getline(in, line) || line != kHeader)
        return std::nullopt;
    FlashRecord record;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0)
            return std::nullopt;
        record[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return record;
}

std::optional<std::string> FileFlash::read()
{
    std::ifstream in(path_, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string data;
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        data.append(buf, static_cast<std::size_t>(in.gcount()));
        if (data.size() > kMaxImage)
            break;  // decodeFlash refuses it; no need to read a huge file whole
    }
    return data;
}

bool FileFlash::write(const std::string &image)
{
    const std::string tmp = path_ + ".tmp";
    std::FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(image.data(), 1, image.size(), f) == image.size();
    if (std::fclose(f) != 0 || !ok || std::rename(tmp.c_str(), path_.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace zsim

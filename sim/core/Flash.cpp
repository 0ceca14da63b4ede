#include "Flash.h"

#include "zenta/lang/regularfile.hpp"
#include "zenta/lang/text.hpp"
#include "zenta/lang/transfer.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace zsim {

namespace {
constexpr const char *kHeader = "ZENTA-FLASH 1";
constexpr std::size_t kMaxImage = 1 << 20;  // anything larger is not ours
}  // namespace

std::string encodeFlash(const FlashRecord &record)
{
    std::string body = std::string(kHeader) + "\n";
    for (const auto &[key, value] : record)
        body += key + "=" + value + "\n";
    return body + "CRC=" + zenta::lang::formatChecksum(zenta::lang::crc32(body)) + "\n";
}

std::optional<FlashRecord> decodeFlash(const std::string &image)
{
    const auto crcPos = image.rfind("CRC=");
    if (crcPos == std::string::npos || image.size() > kMaxImage)
        return std::nullopt;
    const std::string body = image.substr(0, crcPos);
    const std::string expected = zenta::lang::formatChecksum(zenta::lang::crc32(body)) + "\n";
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

namespace {

std::string reason(const std::string &path, const char *what)
{
    return path + ": " + what;
}

// Opens the image for reading without ever blocking (a FIFO would wait for a
// writer forever). -1 with `fault` empty: there is no image.
int openImage(const std::string &path, std::string &fault)
{
    fault.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            fault = reason(path, std::strerror(errno));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fault = reason(path, "not a regular file");
        ::close(fd);
        return -1;
    }
    return fd;
}

// Older simulators wrote through a fixed "<image>.tmp" beside the file the
// path leads to; one left by a store that died would otherwise stay forever.
void removeOldTemp(const std::string &path)
{
    std::string target = path;
    if (char *real = ::realpath(path.c_str(), nullptr)) {
        target = real;
        std::free(real);
    } else {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0)
            return;  // a link that cannot be followed: nothing beside it is ours to remove
    }
    ::unlink((target + ".tmp").c_str());
}

}  // namespace

std::optional<std::string> FileFlash::read()
{
    // A store cut short by a crash leaves its new image beside the old one.
    removeOldTemp(path_);
    zenta::lang::removeStaleParts(path_);
    // One byte over the limit is enough to know the image is not ours.
    zenta::lang::FileRead image = zenta::lang::readRegularFile(path_, kMaxImage);
    fault_.clear();
    switch (image.status) {
    case zenta::lang::FileStatus::Ok:
        return std::move(image.bytes);
    case zenta::lang::FileStatus::TooLarge:
        return std::string();  // decodeFlash refuses it, as any image that is not ours
    case zenta::lang::FileStatus::Missing:
        return std::nullopt;
    case zenta::lang::FileStatus::NotRegular:
        fault_ = reason(path_, "not a regular file");
        return std::nullopt;
    case zenta::lang::FileStatus::Unreadable:
        break;
    }
    fault_ = reason(path_, std::strerror(image.error));
    return std::nullopt;
}

bool FileFlash::write(const std::string &image)
{
    // What cannot be read may still be somebody's image: never replace it.
    const int probe = openImage(path_, writeFault_);
    if (probe >= 0)
        ::close(probe);
    else if (!writeFault_.empty())
        return false;

    removeOldTemp(path_);
    std::string warning;
    writeFault_ = zenta::lang::replaceFile(path_, image, &warning);
    if (!writeFault_.empty())
        return false;
    writeFault_ = warning;  // stored all the same; the log still hears of it
    return true;
}

}  // namespace zsim

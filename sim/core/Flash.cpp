#include "Flash.h"

#include "zenta/lang/transfer.hpp"

#include <cerrno>
#include <climits>
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

// The file behind `path`, following symbolic links (relative ones from the
// link's folder); a loop ends on a link, which reading then refuses.
std::string linkTarget(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            return path;
        std::string link(buf, static_cast<std::size_t>(n));
        if (link[0] != '/') {
            const auto slash = path.rfind('/');
            link = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
        }
        path = link;
    }
    return path;
}

std::string folderOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

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

bool writeAll(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::optional<std::string> FileFlash::read()
{
    const int fd = openImage(path_, fault_);
    if (fd < 0)
        return std::nullopt;
    std::string data;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fault_ = reason(path_, std::strerror(errno));
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        data.append(buf, static_cast<std::size_t>(n));
        if (data.size() > kMaxImage)
            break;  // decodeFlash refuses it; no need to read a huge file whole
    }
    ::close(fd);
    return data;
}

bool FileFlash::write(const std::string &image)
{
    std::string fault;
    const int probe = openImage(path_, fault);
    if (probe >= 0)
        ::close(probe);
    else if (!fault.empty())
        return false;

    const std::string target = linkTarget(path_);
    const std::string tmp = target + ".tmp";
    int fd = -1;
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST && attempt == 0)
            ::unlink(tmp.c_str());  // left by a store that died half-way
        else if (fd < 0)
            return false;
    }
    // The new image keeps the permissions the old one had.
    struct stat old {};
    bool ok = fd >= 0;
    if (ok && ::stat(target.c_str(), &old) == 0)
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    ok = ok && writeAll(fd, image) && ::fsync(fd) == 0;
    if (fd >= 0 && ::close(fd) != 0)
        ok = false;
    if (!ok || ::rename(tmp.c_str(), target.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    // The rename itself must reach the disk before the store counts as done.
    const int dir = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const bool synced = ::fsync(dir) == 0 || errno == EINVAL;
    ::close(dir);
    return synced;
}

}  // namespace zsim

// Reading a file whose name someone else chose: only a regular file, never
// waiting for a writer (a FIFO or a terminal would wait forever), and never
// more than a cap. The panel, the tools, the simulator and the device library
// all read this way.
//
// Header-only on purpose: the device library is a shared library of its own
// that links none of our static libraries, and including this is all it
// needs; everyone else has the include path of the language library anyway.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta::lang {

// The largest text file (a program, a setup file, a tool's report) that is
// read whole; far beyond any real one.
inline constexpr std::size_t kMaxTextFile = 16 * 1024 * 1024;

enum class FileStatus {
    Ok,
    Missing,     // no such file
    NotRegular,  // a folder, FIFO, socket or device
    Unreadable,  // could not be opened or read (permissions, a link where none is allowed, ...)
    TooLarge,    // larger than the cap
};

struct FileRead {
    FileStatus status = FileStatus::Unreadable;
    std::string bytes;       // Ok: the whole file; TooLarge: its first `cap` bytes
    int error = 0;           // the errno behind Missing and Unreadable
    std::uint64_t size = 0;  // the file's size when it was opened
};

// Opens `path` read-only without waiting, and only if it is a regular file;
// with `followLink` false, not when its last part is a symbolic link.
// -1 with `result.status` and `result.error` saying why.
inline int openRegularFile(const std::string &path, FileRead &result, bool followLink = true)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        result.error = errno;
        result.status = result.error == ENOENT ? FileStatus::Missing : FileStatus::Unreadable;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result.error = errno;
        result.status = FileStatus::Unreadable;
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        result.status = FileStatus::NotRegular;
        ::close(fd);
        return -1;
    }
    result.size = static_cast<std::uint64_t>(st.st_size);
    return fd;
}

// The whole file, if it is a regular file of at most `cap` bytes. Reading
// stops one byte past the cap, so a huge file, or one that grows while it is
// read, costs no more than the cap.
inline FileRead readRegularFile(const std::string &path, std::size_t cap, bool followLink = true)
{
    FileRead r;
    const int fd = openRegularFile(path, r, followLink);
    if (fd < 0)
        return r;
    r.bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(r.size, cap)));
    char buf[16384];
    for (;;) {
        const std::size_t want = std::min(sizeof buf, cap + 1 - r.bytes.size());
        const ssize_t n = ::read(fd, buf, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            r.error = errno;
            r.status = FileStatus::Unreadable;
            r.bytes.clear();
            break;
        }
        if (n == 0) {
            r.status = FileStatus::Ok;
            break;
        }
        r.bytes.append(buf, static_cast<std::size_t>(n));
        if (r.bytes.size() > cap) {
            r.bytes.resize(cap);
            r.status = FileStatus::TooLarge;
            break;
        }
    }
    ::close(fd);
    return r;
}

}  // namespace zenta::lang

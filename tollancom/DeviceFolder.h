// The one folder where devices publish themselves and the library looks for
// them, and the rules both sides keep in it. Shared by the library and the
// simulator, so both always agree.
//
// A device <serial> publishes <serial>.sock and <serial>.product, and holds
// an exclusive lock on <serial>.lock for as long as it lives. A listing that
// finds the lock free has found what a dead device left behind. Whoever opens
// a device through the library leaves a note of who it is in
// <serial>.holder (written as <serial>.holder.tmp and renamed), and a
// zentactl that holds it serves others through the local socket
// <serial>.hold (bound as <serial>.hold.tmp and renamed); both go with the
// device's own files.
#pragma once

#include "zenta/lang/regularfile.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tollancom {

inline std::string deviceFolder()
{
    if (const char *d = std::getenv("TOLLANCOM_DIR"); d && *d)
        return d;
    if (const char *r = std::getenv("XDG_RUNTIME_DIR"); r && *r)
        return std::string(r) + "/tollancom";
    return "/tmp/tollancom-" + std::to_string(getuid());
}

// Devices found in a folder someone else can write to could be anybody's
// fakes (the fallback name in /tmp is easy to guess and create first), so
// the folder must be ours alone. A symbolic link to it is fine if it is ours
// too. False with `error` filled when the folder is missing or not safe.
inline bool checkDeviceFolder(const std::string &dir, std::string &error)
{
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && st.st_uid != ::geteuid() && st.st_uid != 0) {
        error = dir + ": device folder is a link owned by another user; not used";
        return false;
    }
    if (::stat(dir.c_str(), &st) != 0) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = dir + ": device folder is not a folder";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        error = dir + ": device folder belongs to another user; not used";
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = dir + ": device folder can be written by other users (mode " + mode + "); not used";
        return false;
    }
    return true;
}

// Creates the folder with mode 0700 if it is missing (and its missing
// parents when `parents`), then checks it as above.
inline bool prepareDeviceFolder(const std::string &dir, bool parents, std::string &error)
{
    for (std::size_t pos = parents ? 1 : dir.size(); pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        const std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = part + ": " + std::strerror(errno);
            return false;
        }
    }
    return checkDeviceFolder(dir, error);
}

// Files of the folder are opened as any file whose name others chose, and
// never through a link. -1 when it cannot be.
inline int openEntry(const std::string &path)
{
    zenta::lang::FileRead why;
    return zenta::lang::openRegularFile(path, why, false);
}

// Whether a serial may name files of the folder: a USB driver's is whatever
// its maker wrote, "/" and ".." included.
inline bool plainName(const std::string &name)
{
    if (name.empty() || name.size() > 200 || name == "." || name == "..")
        return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
                        || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

inline std::string entryPath(const std::string &dir, const std::string &serial, const char *suffix)
{
    return dir + "/" + serial + suffix;
}

// Everything a device may leave in the folder besides its lock, which whoever
// clears them removes separately and last.
inline constexpr const char *kPublishedSuffixes[] = {".sock",   ".product",     ".ctl",  ".product.tmp",
                                                     ".holder", ".holder.tmp", ".hold", ".hold.tmp"};

// True when the lock held through `fd` is still the one at `path`: whoever
// cleans up a dead device removes the lock file last, and a lock on a file
// that has gone protects nothing.
inline bool sameFile(int fd, const std::string &path)
{
    struct stat held {}, named {};
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev
           && held.st_ino == named.st_ino;
}

// The device's side: takes the lock of `serial` for the device's lifetime.
// Returns the descriptor to keep open, or -1 when a live device holds it.
// A listing that is clearing a dead device's files holds it for a moment,
// so a busy lock is tried again for a short, bounded while.
inline int holdDeviceLock(const std::string &dir, const std::string &serial, std::string &error)
{
    const std::string path = entryPath(dir, serial, ".lock");
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0) {
            error = path + ": " + std::strerror(errno);
            return -1;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (sameFile(fd, path))
                return fd;
            ::close(fd);  // removed under us by a clean-up: take the new one
            continue;
        }
        ::close(fd);
        ::usleep(10000);
    }
    error = "another device already serves " + serial;
    return -1;
}

enum class Liveness { Live, Stale, Unknown };

// The library's side: whether the device `serial` is alive, without taking
// it. A free lock means its device died; its files are removed (the lock
// file last, while still held) and it counts as stale. No lock file: a
// device that is just leaving, or none of ours; not listed, left alone.
inline Liveness probeDevice(const std::string &dir, const std::string &serial)
{
    const std::string lock = entryPath(dir, serial, ".lock");
    const int fd = openEntry(lock);
    if (fd < 0)
        return Liveness::Unknown;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return Liveness::Live;
    }
    if (sameFile(fd, lock)) {
        for (const char *suffix : kPublishedSuffixes)
            ::unlink(entryPath(dir, serial, suffix).c_str());
        ::unlink(lock.c_str());
    }
    ::close(fd);
    return Liveness::Stale;
}

}  // namespace tollancom

#include "Paths.h"

#include "DeviceFolder.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace zsim {

std::string deviceDir()
{
    return tollancom::deviceFolder();
}

bool ensureDeviceDir(const std::string &dir, std::string &error)
{
    // Create missing parents too: $TOLLANCOM_DIR may point into a fresh tree.
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        const std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = dir + ": not a folder";
        return false;
    }
    return true;
}

}  // namespace zsim

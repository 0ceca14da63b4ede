#include "Paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace zsim {

std::string deviceDir()
{
    if (const char *d = std::getenv("TOLLANCOM_DIR"); d && *d)
        return d;
    if (const char *x = std::getenv("XDG_RUNTIME_DIR"); x && *x)
        return std::string(x) + "/tollancom";
    return "/tmp/tollancom-" + std::to_string(getuid());
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

#include "Paths.h"

#include "DeviceFolder.h"

namespace zsim {

std::string deviceDir()
{
    return tollancom::deviceFolder();
}

bool ensureDeviceDir(const std::string &dir, std::string &error)
{
    // Create missing parents too: $TOLLANCOM_DIR may point into a fresh tree.
    return tollancom::prepareDeviceFolder(dir, true, error);
}

}  // namespace zsim

// The one folder where devices publish themselves and the library looks for
// them. Shared by the library and the simulator, so both always agree.
#pragma once

#include <cstdlib>
#include <string>
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

}  // namespace tollancom

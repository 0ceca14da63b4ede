#include "AppExit.h"

#include <cstdio>
#include <cstdlib>

namespace {
std::function<void(int)> &handler()
{
    static std::function<void(int)> h;
    return h;
}
}  // namespace

void endProgram(int exitCode)
{
    if (handler()) {
        handler()(exitCode);
        return;
    }
    std::fflush(nullptr);
    std::_Exit(exitCode);
}

void setEndProgramHandler(std::function<void(int)> h)
{
    handler() = std::move(h);
}

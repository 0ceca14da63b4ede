// A test program's compiled lines, as the loader sends them.
#pragma once

#include "zenta/lang/compiler.hpp"

#include <QtGlobal>
#include <string>
#include <vector>

namespace simtest {

// A test program that does not compile is a fault of the test: it stops the run.
inline std::vector<std::string> compiled(const char *source)
{
    const auto r = zenta::lang::compile(source);
    if (!r.ok)
        qFatal("test program does not compile: %s", r.message.c_str());
    return zenta::lang::formatCompiled(r.program.code);
}

}  // namespace simtest

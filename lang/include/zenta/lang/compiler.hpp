// Program text to compiled form, and compiled form back to program text.
#pragma once

#include "zenta/lang/program.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace zenta::lang {

struct CompileResult {
    bool ok = false;
    Program program;
    int errorLine = 0;    // 1 = first line of the text
    std::string message;  // for the operator; never holds the word "Line"
};

// Lines end at CR, LF or CR LF; bytes are Latin-1.
CompileResult compile(std::string_view source);

struct DecompileResult {
    bool ok = false;
    std::vector<std::string> lines;  // the program text
    // True when every instruction sits on its recorded source line, so that
    // compiling the text gives the very same compiled lines. False only for
    // compiled input whose source lines cannot all be kept (not compiler
    // output); the instructions still come back identical.
    bool linesPreserved = false;
    std::string message;
};

DecompileResult decompile(const Program &program);
DecompileResult decompileLines(const std::vector<std::string> &compiledLines);

}  // namespace zenta::lang

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

struct Diagnostic {
    int line = 0;  // 1 = first line of the text
    std::string message;
};

struct CheckResult {
    // Every failing line once, in the order the compiler meets them; the
    // first is exactly what compile() reports. At most `maxKept` are kept.
    std::vector<Diagnostic> errors;
    int count = 0;  // failing lines found, kept or not
    bool ok() const { return count == 0; }
};

inline constexpr int kMaxKeptDiagnostics = 1000;

// compile() that goes on after an error: a broken line is taken as the block
// line it starts with (IF, ENDWHILE, ...) or as a blank line, so the lines
// after it are judged too. Stops at an error past which nothing can be judged
// (over the device's 1275 compiled lines). ok() exactly when compile() is.
CheckResult check(std::string_view source, int maxKept = kMaxKeptDiagnostics);

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

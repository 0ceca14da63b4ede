// Any bytes as an uploaded compiled program: decompiling fails cleanly or
// gives text that compiles to the same instructions.
#include "check.hpp"

#include "zenta/lang/compiler.hpp"
#include "zenta/lang/text.hpp"

#include <cstdint>
#include <string_view>

using namespace zenta::lang;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto lines = splitLines(std::string_view(reinterpret_cast<const char *>(data), size));
    const DecompileResult d = decompileLines(lines);
    if (!d.ok) {
        FUZZ_CHECK(!d.message.empty());
        FUZZ_CHECK(d.lines.empty());
        return 0;
    }
    const ParsedProgram original = parseCompiled(lines);
    FUZZ_CHECK(original.ok);
    const CompileResult again = compile(joinLines(d.lines));
    FUZZ_CHECK(again.ok);
    FUZZ_CHECK(again.program.code.size() == original.program.code.size());
    for (std::size_t k = 0; k < again.program.code.size(); ++k) {
        Instr a = again.program.code[k], b = original.program.code[k];
        if (!d.linesPreserved)
            a.line = b.line = 0;
        FUZZ_CHECK(a == b);
    }
    return 0;
}

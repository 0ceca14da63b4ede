// Any bytes as program text: the compiler answers with compiled lines or an
// error on a real line, and compiled output survives reading back and the
// decompile round trip with every source line kept. The check that goes on
// after an error agrees with it and names each line once.
#include "check.hpp"

#include "zenta/lang/compiler.hpp"
#include "zenta/lang/text.hpp"

#include <cstdint>
#include <string_view>

using namespace zenta::lang;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view source(reinterpret_cast<const char *>(data), size);
    const CompileResult r = compile(source);
    const CheckResult all = check(source);
    FUZZ_CHECK(all.ok() == r.ok);
    FUZZ_CHECK(all.count == static_cast<int>(all.errors.size()) || all.errors.size() == static_cast<std::size_t>(kMaxKeptDiagnostics));
    for (std::size_t i = 0; i < all.errors.size(); ++i) {
        FUZZ_CHECK(all.errors[i].line >= 1 && !all.errors[i].message.empty());
        for (std::size_t j = 0; j < i; ++j)
            FUZZ_CHECK(all.errors[j].line != all.errors[i].line);
    }
    if (!r.ok) {
        FUZZ_CHECK(all.errors.front().line == r.errorLine && all.errors.front().message == r.message);
        FUZZ_CHECK(r.errorLine >= 1);
        FUZZ_CHECK(r.errorLine <= static_cast<int>(splitLines(source).size()) + 1);
        FUZZ_CHECK(!r.message.empty());
        FUZZ_CHECK(r.message.find("Line") == std::string::npos);
        return 0;
    }
    const auto lines = formatCompiled(r.program.code);
    FUZZ_CHECK(lines.size() <= static_cast<std::size_t>(kMaxCompiledLines));
    for (const auto &l : lines)
        FUZZ_CHECK(l.size() <= static_cast<std::size_t>(kMaxCompiledLineLength));

    const ParsedProgram parsed = parseCompiled(lines);
    FUZZ_CHECK(parsed.ok);
    FUZZ_CHECK(parsed.program.code == r.program.code);

    const DecompileResult d = decompile(r.program);
    FUZZ_CHECK(d.ok);
    FUZZ_CHECK(d.linesPreserved);
    const CompileResult again = compile(joinLines(d.lines));
    FUZZ_CHECK(again.ok);
    FUZZ_CHECK(again.program.code == r.program.code);
    return 0;
}

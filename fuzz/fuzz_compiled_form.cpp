// Any bytes as compiled lines: what the reader accepts is safe to run. Every
// jump lands inside its own program, conditions never read past the code, and
// the text form reads back to the same instructions.
#include "check.hpp"

#include "zenta/lang/exec.hpp"
#include "zenta/lang/text.hpp"

#include <cstdint>
#include <string_view>

using namespace zenta::lang;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto lines = splitLines(std::string_view(reinterpret_cast<const char *>(data), size));
    const ParsedProgram p = parseCompiled(lines);
    if (!p.ok) {
        FUZZ_CHECK(p.errorLine >= 1);
        return 0;
    }
    const auto &code = p.program.code;
    const int n = static_cast<int>(code.size());
    for (int k = 0; k < n; ++k) {
        const Instr &i = code[static_cast<std::size_t>(k)];
        if (i.op == Op::Prg)
            continue;
        const int prg = p.program.programOf(k);
        FUZZ_CHECK(prg == 0 || prg == 1);
        const ProgramRange &r = p.program.range[prg];
        if (isJump(i.op)) {
            FUZZ_CHECK(i.target >= r.entry && i.target <= r.end);
            FUZZ_CHECK(i.target == n || (code[static_cast<std::size_t>(i.target)].op != Op::And &&
                                         code[static_cast<std::size_t>(i.target)].op != Op::Or));
        }
        if (isConditionHead(i.op)) {
            const Condition c = evaluateCondition(code, k, [](const Operand &o) { return o.value; });
            FUZZ_CHECK(c.next > k && c.next <= r.end);
        }
        if (i.op == Op::Assign) {
            FUZZ_CHECK(i.code >= 1 && i.code <= kVariableCount);
            (void)arithmetic(i.arith, i.a.value, i.b.value);
        }
    }
    const ParsedProgram again = parseCompiled(formatCompiled(code));
    FUZZ_CHECK(again.ok);
    FUZZ_CHECK(again.program.code == code);
    return 0;
}

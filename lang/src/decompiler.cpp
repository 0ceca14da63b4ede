// Compiled form back to program text.
//
// The structured instructions (IF, ELSE, ELSEIF, WHILE, ENDWHILE) rebuild
// their blocks; GOTO and GOSUB targets get labels L<n>, n being the target's
// compiled line. Every instruction goes back onto its recorded source line,
// blank lines filling the gaps, and the lines the compiler left no trace of
// (ENDIF, a label at the end of a program) take the first free lines after
// the previous statement, where the original text always had room for them.
// The result is checked by compiling it again.
#include "zenta/lang/compiler.hpp"

#include "zenta/lang/text.hpp"

#include <set>

namespace zenta::lang {

namespace {

struct Item {
    std::string text;
    int line = 0;  // wanted source line; 0 for a line the compiler left no trace of
    int indent = 0;
};

std::string labelName(int index) { return "L" + std::to_string(index + 1); }

class Rebuilder {
public:
    explicit Rebuilder(const Program &p) : p_(p) {}
    bool run(std::string &error);
    std::vector<Item> items;

private:
    struct Frame {
        bool isWhile = false;
        int start = 0;
        int pending = 0;  // IF: where the last test jumps when false; WHILE: the exit
        int end = -1;     // IF: where the ELSE jumps go
        bool elseSeen = false;
    };

    bool program(int prg, std::string &error);
    const Instr &at(int k) const { return p_.code[static_cast<std::size_t>(k)]; }
    std::string condition(int &k) const;
    void add(std::string text, int line, int index)
    {
        if (labels_.count(index))
            text = labelName(index) + ": " + text;
        items.push_back(Item{std::move(text), line, static_cast<int>(frames_.size())});
    }
    static std::string where(int k) { return "compiled line " + std::to_string(k + 1) + ": "; }

    const Program &p_;
    std::set<int> labels_;
    std::vector<Frame> frames_;
};

std::string Rebuilder::condition(int &k) const
{
    std::string s = formatComparison(at(k));
    while (k + 1 < static_cast<int>(p_.code.size()) && (at(k + 1).op == Op::And || at(k + 1).op == Op::Or)) {
        ++k;
        s += (at(k).op == Op::And ? " AND " : " OR ") + formatComparison(at(k));
    }
    return s;
}

bool Rebuilder::run(std::string &error)
{
    for (const Instr &i : p_.code)
        if (i.op == Op::Goto || i.op == Op::Gosub)
            labels_.insert(i.target);

    // Programs in file order, each after its PRG line when it has one.
    std::vector<int> order;
    for (int prg = 0; prg < 2; ++prg)
        if (p_.range[prg].present)
            order.push_back(prg);
    if (order.size() == 2 && p_.range[1].entry < p_.range[0].entry)
        std::swap(order[0], order[1]);
    for (int prg : order) {
        const ProgramRange &r = p_.range[prg];
        if (r.entry > 0 && at(r.entry - 1).op == Op::Prg)
            items.push_back(Item{"PRG " + std::to_string(prg), at(r.entry - 1).line, 0});
        if (!program(prg, error))
            return false;
    }
    return true;
}

bool Rebuilder::program(int prg, std::string &error)
{
    const ProgramRange &r = p_.range[prg];
    frames_.clear();
    for (int k = r.entry;; ++k) {
        // Blocks that end here close before the instruction at k.
        bool closedAtEnd = false;
        while (!frames_.empty()) {
            const Frame &f = frames_.back();
            if (f.isWhile) {
                if (f.pending <= k) {
                    error = where(f.start) + "WHILE whose loop does not end with ENDWHILE";
                    return false;
                }
                break;
            }
            const int closeAt = f.elseSeen ? f.end : f.pending;
            if (closeAt != k)
                break;
            if (f.end >= 0 && f.end != k) {
                error = where(f.start) + "the branches of this IF end in different places";
                return false;
            }
            frames_.pop_back();
            items.push_back(Item{"ENDIF", 0, static_cast<int>(frames_.size())});
            closedAtEnd = k == r.end;
        }
        for (const Frame &f : frames_) {
            const int next = f.isWhile ? f.pending : f.elseSeen ? f.end : f.pending;
            if (next <= k) {
                error = where(f.start) + "this block overlaps another one";
                return false;
            }
        }
        if (k == r.end) {
            if (!frames_.empty()) {
                error = where(frames_.back().start) + "this block is not closed inside its program";
                return false;
            }
            if (labels_.count(k)) {
                if (closedAtEnd)
                    items.back().text = labelName(k) + ": " + items.back().text;
                else
                    items.push_back(Item{labelName(k) + ":", 0, 0});
            }
            return true;
        }

        const Instr &i = at(k);
        const int start = k;
        switch (i.op) {
        case Op::If:
        case Op::While: {
            if (i.target <= k) {
                error = where(k) + "a test that jumps backwards";
                return false;
            }
            if (static_cast<int>(frames_.size()) >= kMaxNesting) {
                error = where(k) + "blocks nested more than 32 deep";
                return false;
            }
            std::string text = (i.op == Op::If ? "IF " : "WHILE ") + condition(k);
            add(std::move(text), i.line, start);
            frames_.push_back(Frame{i.op == Op::While, start, i.target, -1, false});
            break;
        }
        case Op::Else: {
            if (frames_.empty() || frames_.back().isWhile || frames_.back().elseSeen ||
                frames_.back().pending != k + 1) {
                error = where(k) + "ELSE outside the IF block it should end";
                return false;
            }
            Frame &f = frames_.back();
            if (i.target <= k || (f.end >= 0 && f.end != i.target)) {
                error = where(k) + "the branches of this IF end in different places";
                return false;
            }
            f.end = i.target;
            const bool elseIf = k + 1 < r.end && at(k + 1).op == Op::ElseIf && at(k + 1).line == i.line;
            const int indent = static_cast<int>(frames_.size()) - 1;
            std::string text = "ELSE";
            if (elseIf) {
                ++k;
                if (labels_.count(k)) {
                    error = where(k) + "a jump onto the test of an ELSEIF";
                    return false;
                }
                if (at(k).target <= k) {
                    error = where(k) + "a test that jumps backwards";
                    return false;
                }
                f.pending = at(k).target;
                text = "ELSEIF " + condition(k);
            } else {
                f.elseSeen = true;
            }
            if (labels_.count(start))
                text = labelName(start) + ": " + text;
            items.push_back(Item{std::move(text), i.line, indent});
            break;
        }
        case Op::EndWhile: {
            if (frames_.empty() || !frames_.back().isWhile || frames_.back().pending != k + 1 ||
                frames_.back().start != i.target) {
                error = where(k) + "ENDWHILE that does not end the WHILE above it";
                return false;
            }
            frames_.pop_back();
            add("ENDWHILE", i.line, start);
            break;
        }
        case Op::ElseIf:
            error = where(k) + "ELSEIF without the ELSE jump in front of it";
            return false;
        case Op::And:
        case Op::Or:
            error = where(k) + "AND/OR without a test in front of it";
            return false;
        case Op::Prg:
            error = where(k) + "PRG inside a program";
            return false;
        case Op::Goto:
        case Op::Gosub:
            add((i.op == Op::Goto ? "GOTO " : "GOSUB ") + labelName(i.target), i.line, start);
            break;
        default:
            add(formatInstr(i), i.line, start);
            break;
        }
    }
}

// Puts items on their wanted lines; false when some could not be kept.
bool place(const std::vector<Item> &items, std::vector<std::string> &lines)
{
    bool preserved = true;
    int current = 0;
    for (const Item &it : items) {
        int line = current + 1;
        if (it.line > 0) {
            if (it.line > current && it.line <= kMaxSourceLine)
                line = it.line;
            else
                preserved = false;
        }
        while (current + 1 < line) {
            lines.emplace_back();
            ++current;
        }
        lines.push_back(std::string(static_cast<std::size_t>(it.indent) * 2, ' ') + it.text);
        current = line;
    }
    return preserved;
}

bool sameIgnoringLines(const std::vector<Instr> &a, const std::vector<Instr> &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        Instr x = a[k], y = b[k];
        x.line = y.line = 0;
        if (!(x == y))
            return false;
    }
    return true;
}

}  // namespace

DecompileResult decompile(const Program &program)
{
    DecompileResult r;
    Rebuilder rb(program);
    std::string error;
    if (!rb.run(error)) {
        r.message = "this compiled program has a shape the compiler never writes (" + error + ")";
        return r;
    }
    const bool placed = place(rb.items, r.lines);

    const CompileResult again = compile(joinLines(r.lines));
    if (!again.ok || !sameIgnoringLines(again.program.code, program.code)) {
        r.lines.clear();
        r.message = "this compiled program cannot be turned back into program text that compiles the same";
        return r;
    }
    r.linesPreserved = placed && again.program.code == program.code;
    r.ok = true;
    return r;
}

DecompileResult decompileLines(const std::vector<std::string> &compiledLines)
{
    const ParsedProgram parsed = parseCompiled(compiledLines);
    if (!parsed.ok) {
        DecompileResult r;
        r.message = "compiled line " + std::to_string(parsed.errorLine) + ": " + parsed.message;
        return r;
    }
    return decompile(parsed.program);
}

}  // namespace zenta::lang

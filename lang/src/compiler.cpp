#include "zenta/lang/compiler.hpp"

#include "syntax.hpp"
#include "zenta/lang/text.hpp"

#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <unordered_set>
#include <utility>

namespace zenta::lang {

namespace {

using detail::Cursor;
using detail::Token;

constexpr std::size_t kMaxLabelLength = 32;

struct Failure {
    int line;
    std::string message;
    // Nothing after it can be judged (the program is over a limit): a check
    // for every error stops here too.
    bool final = false;
};

// Hears every failure; false ends the run there.
using Report = std::function<bool(Failure)>;

// One source line taken apart.
struct Statement {
    enum class Kind { None, Simple, Prg, If, ElseIf, Else, EndIf, While, EndWhile, Goto, Gosub };
    Kind kind = Kind::None;
    std::string label;            // "name:" at the start of the line
    Instr simple;                 // for Simple
    std::vector<Instr> condition; // head comparison, then AND/OR lines
    std::string target;           // label of GOTO/GOSUB
    int prg = 0;
};

std::string stripComment(std::string_view line)
{
    const auto semi = line.find(';');
    return std::string(line.substr(0, semi));
}

bool parseCondition(Cursor &c, std::string_view keyword, std::vector<Instr> &out, std::string &error)
{
    if (c.atEnd()) {
        error = std::string(keyword) + " needs a condition, as in " + std::string(keyword) + " V1>5";
        return false;
    }
    Instr first;
    if (!detail::parseComparison(c, first, error))
        return false;
    out.push_back(first);
    while (!c.atEnd()) {
        Instr more;
        if (c.isIdent("AND"))
            more.op = Op::And;
        else if (c.isIdent("OR"))
            more.op = Op::Or;
        else {
            error = "expected AND, OR or the end of the condition, found " + detail::describe(c.peek());
            return false;
        }
        c.take();
        if (!detail::parseComparison(c, more, error))
            return false;
        out.push_back(more);
    }
    return true;
}

bool parseStatement(std::string_view rawLine, Statement &st, std::string &error)
{
    std::vector<Token> toks;
    if (!detail::tokenize(stripComment(rawLine), toks, error))
        return false;
    Cursor c(toks);
    if (c.peek().kind == Token::Kind::Ident && c.isSym(":", 1)) {
        st.label = c.take().text;
        c.take();
        if (st.label.size() > kMaxLabelLength) {
            error = "label names have at most 32 characters";
            return false;
        }
    }
    if (c.atEnd())
        return true;
    if (c.peek().kind != Token::Kind::Ident) {
        error = "expected a command, found " + detail::describe(c.peek());
        return false;
    }
    const std::string word = c.peek().text;
    using K = Statement::Kind;

    if (word == "PRG" || word == "PRG0" || word == "PRG1") {
        c.take();
        if (!st.label.empty()) {
            error = "a label cannot stand on a PRG line";
            return false;
        }
        if (word == "PRG") {
            const Token &n = c.take();
            if (n.kind != Token::Kind::Number || n.number > 1) {
                error = "only PRG 0 and PRG 1 exist";
                return false;
            }
            st.prg = static_cast<int>(n.number);
        } else {
            st.prg = word == "PRG1" ? 1 : 0;
        }
        st.kind = K::Prg;
        return detail::expectEnd(c, "PRG", error);
    }
    static constexpr std::pair<std::string_view, K> conds[] = {
        {"IF", K::If}, {"ELSEIF", K::ElseIf}, {"WHILE", K::While}};
    for (auto [name, kind] : conds) {
        if (word == name) {
            c.take();
            st.kind = kind;
            return parseCondition(c, name, st.condition, error);
        }
    }
    static constexpr std::pair<std::string_view, K> bare[] = {
        {"ELSE", K::Else}, {"ENDIF", K::EndIf}, {"ENDWHILE", K::EndWhile}};
    for (auto [name, kind] : bare) {
        if (word == name) {
            c.take();
            st.kind = kind;
            return detail::expectEnd(c, name, error);
        }
    }
    if (word == "GOTO" || word == "GOSUB") {
        c.take();
        st.kind = word == "GOTO" ? K::Goto : K::Gosub;
        if (c.peek().kind != Token::Kind::Ident) {
            error = word + " needs the name of a label, found " + detail::describe(c.peek());
            return false;
        }
        st.target = c.take().text;
        return detail::expectEnd(c, "the label name", error);
    }
    if (word == "AND" || word == "OR") {
        error = word + " can only join comparisons after IF, ELSEIF or WHILE";
        return false;
    }
    st.kind = K::Simple;
    return detail::parseSimple(c, st.simple, error);
}

// A line that failed to parse keeps its place in the nesting when its first
// word opens, continues or closes a block, and keeps its label, so that one
// broken line does not make the lines around it fail too.
Statement standIn(std::string_view rawLine)
{
    Statement st;
    std::vector<Token> toks;
    std::string ignored;
    if (!detail::tokenize(stripComment(rawLine), toks, ignored))
        return st;
    Cursor c(toks);
    if (c.peek().kind == Token::Kind::Ident && c.isSym(":", 1)) {
        if (c.peek().text.size() <= kMaxLabelLength)
            st.label = c.peek().text;
        c.take();
        c.take();
    }
    using K = Statement::Kind;
    static constexpr std::pair<std::string_view, K> blocks[] = {
        {"IF", K::If}, {"ELSEIF", K::ElseIf}, {"WHILE", K::While},
        {"ELSE", K::Else}, {"ENDIF", K::EndIf}, {"ENDWHILE", K::EndWhile}};
    for (auto [name, kind] : blocks) {
        if (c.isIdent(name)) {
            st.kind = kind;
            if (kind == K::If || kind == K::ElseIf || kind == K::While)
                st.condition.push_back(Instr{});  // 0 = 0
        }
    }
    return st;
}

class Compiler {
public:
    // Every failure goes to `report`; true when the text compiled.
    bool run(std::string_view source, const Report &report);
    Program program;

private:
    struct Frame {
        bool isWhile = false;
        int line = 0;
        int head = 0;           // WHILE test, or IF/ELSEIF test waiting for its false target
        bool elseSeen = false;
        std::vector<int> toEnd; // ELSE jumps waiting for the ENDIF
    };
    struct Label {
        int index;
        int line;
    };
    struct Fixup {
        int index;
        int line;
        int program;
        std::string label;
    };

    std::optional<Failure> statement(int line, Statement &st);
    std::optional<Failure> emit(Instr i, int line);
    std::optional<Failure> closeProgram();
    int size() const { return static_cast<int>(program.code.size()); }

    int current_ = 0;
    bool explicitPrg_ = false;
    int firstStray_ = 0;  // first statement line before any PRG line
    std::vector<Frame> frames_;
    std::map<std::string, Label> labels_[2];
    std::vector<Fixup> fixups_;
};

std::optional<Failure> Compiler::emit(Instr i, int line)
{
    if (size() >= kMaxCompiledLines)
        return Failure{line, "the program needs more than 1275 compiled lines; the device holds at most 1275", true};
    i.line = line;
    program.code.push_back(i);
    return std::nullopt;
}

std::optional<Failure> Compiler::closeProgram()
{
    if (!frames_.empty()) {
        const Frame f = frames_.back();
        frames_.clear();  // a check for every error goes on with the next program
        return Failure{f.line, f.isWhile ? "WHILE without ENDWHILE" : "IF without ENDIF"};
    }
    return std::nullopt;
}

std::optional<Failure> Compiler::statement(int line, Statement &st)
{
    using K = Statement::Kind;
    if (st.kind == K::Prg) {
        if (firstStray_ > 0)
            return Failure{std::exchange(firstStray_, -1), "this line stands before the first PRG line; in a file with PRG "
                                        "lines every statement belongs after PRG 0 or PRG 1"};
        if (auto f = closeProgram())
            return f;
        if (explicitPrg_ && program.range[st.prg].present)
            return Failure{line, "PRG " + std::to_string(st.prg) + " appears twice"};
        if (explicitPrg_)
            program.range[current_].end = size();
        Instr marker;
        marker.op = Op::Prg;
        marker.code = st.prg;
        if (auto f = emit(marker, line))
            return f;
        explicitPrg_ = true;
        current_ = st.prg;
        program.range[current_] = ProgramRange{true, size(), size(), line};
        return std::nullopt;
    }
    if (!explicitPrg_ && firstStray_ == 0 && (st.kind != K::None || !st.label.empty()))
        firstStray_ = line;

    if (!st.label.empty()) {
        auto &labels = labels_[current_];
        if (auto it = labels.find(st.label); it != labels.end())
            return Failure{line, "label " + detail::quote(st.label) + " is already defined in line " +
                                     std::to_string(it->second.line) + " of this program"};
        labels.emplace(st.label, Label{size(), line});
    }

    auto emitCondition = [&](Op head) -> std::optional<Failure> {
        st.condition.front().op = head;
        for (const Instr &i : st.condition)
            if (auto f = emit(i, line))
                return f;
        return std::nullopt;
    };
    auto patchHead = [&](Frame &f) { program.code[static_cast<std::size_t>(f.head)].target = size(); };

    switch (st.kind) {
    case K::None:
    case K::Prg:
        return std::nullopt;
    case K::Simple:
        return emit(st.simple, line);
    case K::Goto:
    case K::Gosub: {
        Instr j;
        j.op = st.kind == K::Goto ? Op::Goto : Op::Gosub;
        fixups_.push_back(Fixup{size(), line, current_, st.target});
        return emit(j, line);
    }
    case K::If:
    case K::While: {
        if (static_cast<int>(frames_.size()) >= kMaxNesting)
            return Failure{line, "IF and WHILE are nested more than 32 deep"};
        frames_.push_back(Frame{st.kind == K::While, line, size(), false, {}});
        return emitCondition(st.kind == K::While ? Op::While : Op::If);
    }
    case K::ElseIf:
    case K::Else: {
        const char *what = st.kind == K::Else ? "ELSE" : "ELSEIF";
        if (frames_.empty() || frames_.back().isWhile)
            return Failure{line, std::string(what) + " without IF"};
        Frame &f = frames_.back();
        if (f.elseSeen)
            return Failure{line, std::string(what) + " after the ELSE of the IF in line " + std::to_string(f.line)};
        Instr j;
        j.op = Op::Else;
        f.toEnd.push_back(size());
        if (auto e = emit(j, line))
            return e;
        patchHead(f);
        if (st.kind == K::Else) {
            f.elseSeen = true;
            return std::nullopt;
        }
        f.head = size();
        return emitCondition(Op::ElseIf);
    }
    case K::EndIf: {
        if (frames_.empty())
            return Failure{line, "ENDIF without IF"};
        Frame &f = frames_.back();
        if (f.isWhile)
            return Failure{line, "ENDIF where the WHILE of line " + std::to_string(f.line) + " needs ENDWHILE"};
        if (!f.elseSeen)
            patchHead(f);
        for (int k : f.toEnd)
            program.code[static_cast<std::size_t>(k)].target = size();
        frames_.pop_back();
        return std::nullopt;
    }
    case K::EndWhile: {
        if (frames_.empty())
            return Failure{line, "ENDWHILE without WHILE"};
        Frame &f = frames_.back();
        if (!f.isWhile)
            return Failure{line, "ENDWHILE where the IF of line " + std::to_string(f.line) + " needs ENDIF"};
        Instr j;
        j.op = Op::EndWhile;
        j.target = f.head;
        if (auto e = emit(j, line))
            return e;
        patchHead(f);
        frames_.pop_back();
        return std::nullopt;
    }
    }
    return std::nullopt;
}

bool Compiler::run(std::string_view source, const Report &report)
{
    bool ok = true;
    auto fail = [&](Failure f) {
        ok = false;
        const bool last = f.final;
        return report(std::move(f)) && !last;
    };
    // Lines are taken one at a time: memory follows the statements, not the
    // blank lines and comments around them.
    LineReader reader(source);
    std::string_view text;
    for (long long k = 0; reader.next(text); ++k) {
        if (k >= std::numeric_limits<int>::max())
            return fail(Failure{std::numeric_limits<int>::max(), "the program has too many lines", true});
        const int line = static_cast<int>(k) + 1;
        Statement st;
        std::string error;
        if (!parseStatement(text, st, error)) {
            if (!fail(Failure{line, error}))
                return false;
            st = standIn(text);
        }
        if (st.kind == Statement::Kind::None && st.label.empty())
            continue;
        if (line > kMaxSourceLine)
            return fail(Failure{line, "statements after line 99999 are not supported", true});
        // A PRG line that failed for what stood before it is taken once more,
        // now that the failure has been reported and cleared.
        for (int attempt = 0; attempt < 3; ++attempt) {
            auto f = statement(line, st);
            if (!f)
                break;
            if (!fail(std::move(*f)))
                return false;
            if (st.kind != Statement::Kind::Prg)
                break;
        }
    }
    if (auto f = closeProgram(); f && !fail(std::move(*f)))
        return false;
    if (explicitPrg_)
        program.range[current_].end = size();
    else if (size() > 0)
        program.range[0] = ProgramRange{true, 0, size(), 0};

    for (const Fixup &fx : fixups_) {
        const auto &own = labels_[fx.program];
        if (auto it = own.find(fx.label); it != own.end()) {
            program.code[static_cast<std::size_t>(fx.index)].target = it->second.index;
            continue;
        }
        const int other = 1 - fx.program;
        const std::string why = labels_[other].count(fx.label)
                                    ? "label " + detail::quote(fx.label) + " belongs to program " +
                                          std::to_string(other) + "; a jump cannot leave its program"
                                    : "label " + detail::quote(fx.label) + " is not defined";
        if (!fail(Failure{fx.line, why}))
            return false;
    }
    return ok;
}

}  // namespace

CompileResult compile(std::string_view source)
{
    Compiler c;
    CompileResult r;
    const bool ok = c.run(source, [&r](Failure f) {
        r.errorLine = f.line;
        r.message = std::move(f.message);
        return false;
    });
    if (!ok)
        return r;
    r.ok = true;
    r.program = std::move(c.program);
    return r;
}

CheckResult check(std::string_view source, int maxKept)
{
    Compiler c;
    CheckResult r;
    std::unordered_set<int> seen;  // no larger than the text's line count
    c.run(source, [&](Failure f) {
        // One error per line: the first one found there.
        if (!seen.insert(f.line).second)
            return true;
        ++r.count;
        if (static_cast<int>(r.errors.size()) < maxKept)
            r.errors.push_back(Diagnostic{f.line, std::move(f.message)});
        return true;
    });
    return r;
}

}  // namespace zenta::lang

#include "zenta/lang/compiler.hpp"

#include "syntax.hpp"
#include "zenta/lang/text.hpp"

#include <limits>
#include <map>
#include <optional>

namespace zenta::lang {

namespace {

using detail::Cursor;
using detail::Token;

constexpr std::size_t kMaxLabelLength = 32;

struct Failure {
    int line;
    std::string message;
};

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

class Compiler {
public:
    std::optional<Failure> run(std::string_view source);
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
        return Failure{line, "the program needs more than 1275 compiled lines; the device holds at most 1275"};
    i.line = line;
    program.code.push_back(i);
    return std::nullopt;
}

std::optional<Failure> Compiler::closeProgram()
{
    if (!frames_.empty()) {
        const Frame &f = frames_.back();
        return Failure{f.line, f.isWhile ? "WHILE without ENDWHILE" : "IF without ENDIF"};
    }
    return std::nullopt;
}

std::optional<Failure> Compiler::statement(int line, Statement &st)
{
    using K = Statement::Kind;
    if (st.kind == K::Prg) {
        if (firstStray_ > 0)
            return Failure{firstStray_, "this line stands before the first PRG line; in a file with PRG "
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

std::optional<Failure> Compiler::run(std::string_view source)
{
    // Lines are taken one at a time: memory follows the statements, not the
    // blank lines and comments around them.
    LineReader reader(source);
    std::string_view text;
    for (long long k = 0; reader.next(text); ++k) {
        if (k >= std::numeric_limits<int>::max())
            return Failure{std::numeric_limits<int>::max(), "the program has too many lines"};
        const int line = static_cast<int>(k) + 1;
        Statement st;
        std::string error;
        if (!parseStatement(text, st, error))
            return Failure{line, error};
        if (st.kind == Statement::Kind::None && st.label.empty())
            continue;
        if (line > kMaxSourceLine)
            return Failure{line, "statements after line 99999 are not supported"};
        if (auto f = statement(line, st))
            return f;
    }
    if (auto f = closeProgram())
        return f;
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
        if (labels_[other].count(fx.label))
            return Failure{fx.line, "label " + detail::quote(fx.label) + " belongs to program " +
                                        std::to_string(other) + "; a jump cannot leave its program"};
        return Failure{fx.line, "label " + detail::quote(fx.label) + " is not defined"};
    }
    return std::nullopt;
}

}  // namespace

CompileResult compile(std::string_view source)
{
    Compiler c;
    CompileResult r;
    if (auto f = c.run(source)) {
        r.errorLine = f->line;
        r.message = std::move(f->message);
        return r;
    }
    r.ok = true;
    r.program = std::move(c.program);
    return r;
}

}  // namespace zenta::lang

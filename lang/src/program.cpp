#include "zenta/lang/program.hpp"

#include "syntax.hpp"
#include "zenta/lang/text.hpp"

#include <algorithm>

namespace zenta::lang {

namespace {

int indexIn(const std::vector<std::string_view> &names, std::string_view n)
{
    const auto it = std::find(names.begin(), names.end(), n);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

std::string_view relationText(Relation r)
{
    switch (r) {
    case Relation::Eq: return "=";
    case Relation::Ne: return "!=";
    case Relation::Lt: return "<";
    case Relation::Gt: return ">";
    case Relation::Le: return "<=";
    case Relation::Ge: return ">=";
    }
    return "?";
}

char arithText(Arith a)
{
    switch (a) {
    case Arith::Add: return '+';
    case Arith::Sub: return '-';
    case Arith::Mul: return '*';
    case Arith::Div: return '/';
    case Arith::Mod: return '%';
    case Arith::And: return '&';
    case Arith::Or: return '|';
    case Arith::None: break;
    }
    return '?';
}

std::string target(const Instr &i) { return " @" + std::to_string(i.target + 1); }

ParsedProgram failure(int line, std::string message)
{
    ParsedProgram r;
    r.errorLine = line;
    r.message = std::move(message);
    return r;
}

// One compiled line; the target is stored 1-based until ranges are known.
bool parseLine(const std::string &text, Instr &ins, std::string &error)
{
    using namespace detail;
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0 || digits > 5 || text[0] == '0' || digits >= text.size() || text[digits] != ' ') {
        error = "a compiled line starts with its source line number (1 to 99999) and one blank";
        return false;
    }
    ins.line = std::stoi(text.substr(0, digits));
    if (digits + 1 >= text.size() || text[digits + 1] == ' ' || text[digits + 1] == '\t') {
        error = "expected an instruction after the source line number";
        return false;
    }

    std::vector<Token> toks;
    if (!tokenize(std::string_view(text).substr(digits + 1), toks, error))
        return false;
    Cursor c(toks);
    if (c.peek().kind != Token::Kind::Ident) {
        error = "expected an instruction, found " + describe(c.peek());
        return false;
    }
    const std::string word = c.peek().text;
    auto jumpTarget = [&]() {
        if (!c.takeSym("@") || c.peek().kind != Token::Kind::Number) {
            error = word + " needs a target @n";
            return false;
        }
        const std::uint64_t n = c.take().number;
        if (n < 1 || n > kMaxCompiledLines + 1) {
            error = "jump target out of range";
            return false;
        }
        ins.target = static_cast<int>(n);
        return expectEnd(c, "the target", error);
    };

    static constexpr std::pair<std::string_view, Op> heads[] = {
        {"IF", Op::If}, {"ELSEIF", Op::ElseIf}, {"WHILE", Op::While}, {"AND", Op::And}, {"OR", Op::Or}};
    for (auto [name, op] : heads) {
        if (word == name) {
            c.take();
            ins.op = op;
            if (!parseComparison(c, ins, error))
                return false;
            return (op == Op::And || op == Op::Or) ? expectEnd(c, "the comparison", error) : jumpTarget();
        }
    }
    static constexpr std::pair<std::string_view, Op> jumps[] = {
        {"GOTO", Op::Goto}, {"GOSUB", Op::Gosub}, {"ELSE", Op::Else}, {"ENDWHILE", Op::EndWhile}};
    for (auto [name, op] : jumps) {
        if (word == name) {
            c.take();
            ins.op = op;
            return jumpTarget();
        }
    }
    if (word == "PRG") {
        c.take();
        const Token &n = c.take();
        if (n.kind != Token::Kind::Number || n.number > 1) {
            error = "PRG must be followed by 0 or 1";
            return false;
        }
        ins.op = Op::Prg;
        ins.code = static_cast<int>(n.number);
        return expectEnd(c, "PRG", error);
    }
    return parseSimple(c, ins, error);
}

}  // namespace

bool isJump(Op op)
{
    switch (op) {
    case Op::Goto: case Op::Gosub: case Op::If: case Op::ElseIf: case Op::While:
    case Op::Else: case Op::EndWhile:
        return true;
    default:
        return false;
    }
}

bool isConditionHead(Op op) { return op == Op::If || op == Op::ElseIf || op == Op::While; }

const std::vector<std::string_view> &actionNames()
{
    static const std::vector<std::string_view> n{"ABORT", "STOP", "ABS", "INC", "J+", "J-", "STORE"};
    return n;
}

const std::vector<std::string_view> &settingNames()
{
    static const std::vector<std::string_view> n{
        "HSPD", "ACC", "EO", "DO", "DO1", "DO2", "PX", "P1", "P2", "P3", "P4", "P5", "P6", "P7",
        "P8", "P9", "PA", "PB", "POL", "DOBOOT", "SLOAD", "SR", "SR0", "SR1"};
    return n;
}

const std::vector<std::string_view> &statusNames()
{
    static const std::vector<std::string_view> n{
        "PX", "MST", "DI", "DI1", "DI2", "DI3", "DI4", "DI5", "DI6", "DO", "DO1", "DO2",
        "AI", "EO", "MM", "HSPD", "ACC"};
    return n;
}

int actionIndex(std::string_view n) { return indexIn(actionNames(), n); }
int settingIndex(std::string_view n) { return indexIn(settingNames(), n); }
int statusIndex(std::string_view n) { return indexIn(statusNames(), n); }

int Program::programOf(int index) const
{
    for (int p = 0; p < 2; ++p)
        if (range[p].present && index >= range[p].entry && index < range[p].end)
            return p;
    return -1;
}

std::string formatOperand(const Operand &o)
{
    switch (o.kind) {
    case OperandKind::Literal: return std::to_string(o.value);
    case OperandKind::Variable: return "V" + std::to_string(o.value);
    case OperandKind::Status: return std::string(statusNames().at(static_cast<std::size_t>(o.value)));
    }
    return {};
}

std::string formatComparison(const Instr &i)
{
    return formatOperand(i.a) + std::string(relationText(i.rel)) + formatOperand(i.b);
}

std::string formatInstr(const Instr &i)
{
    switch (i.op) {
    case Op::Prg: return "PRG " + std::to_string(i.code);
    case Op::Action: return std::string(actionNames().at(static_cast<std::size_t>(i.code)));
    case Op::Set: return std::string(settingNames().at(static_cast<std::size_t>(i.code))) + "=" + formatOperand(i.a);
    case Op::Move:
        return i.a.kind == OperandKind::Literal ? "X" + formatOperand(i.a) : "X " + formatOperand(i.a);
    case Op::Assign: {
        std::string s = "V" + std::to_string(i.code) + "=" + formatOperand(i.a);
        if (i.arith != Arith::None)
            s += arithText(i.arith) + formatOperand(i.b);
        return s;
    }
    case Op::Delay: return "DELAY=" + formatOperand(i.a);
    case Op::WaitX: return "WAITX";
    case Op::End: return "END";
    case Op::Return: return "RETURN";
    case Op::Goto: return "GOTO" + target(i);
    case Op::Gosub: return "GOSUB" + target(i);
    case Op::Else: return "ELSE" + target(i);
    case Op::EndWhile: return "ENDWHILE" + target(i);
    case Op::If: return "IF " + formatComparison(i) + target(i);
    case Op::ElseIf: return "ELSEIF " + formatComparison(i) + target(i);
    case Op::While: return "WHILE " + formatComparison(i) + target(i);
    case Op::And: return "AND " + formatComparison(i);
    case Op::Or: return "OR " + formatComparison(i);
    }
    return {};
}

std::vector<std::string> formatCompiled(const std::vector<Instr> &code)
{
    std::vector<std::string> lines;
    lines.reserve(code.size());
    for (const Instr &i : code)
        lines.push_back(std::to_string(i.line) + " " + formatInstr(i));
    return lines;
}

bool computeRanges(Program &p, int &badIndex, std::string &message)
{
    p.range[0] = p.range[1] = ProgramRange{};
    const int n = static_cast<int>(p.code.size());
    int current = -1;
    for (int k = 0; k < n; ++k) {
        const Instr &i = p.code[static_cast<std::size_t>(k)];
        if (i.op != Op::Prg) {
            if (current < 0) {
                if (k > 0 || std::any_of(p.code.begin(), p.code.end(),
                                         [](const Instr &x) { return x.op == Op::Prg; })) {
                    badIndex = k;
                    message = "instructions before the first PRG line";
                    return false;
                }
                current = 0;
                p.range[0] = ProgramRange{true, 0, n, 0};
            }
            continue;
        }
        if (i.code < 0 || i.code > 1 || p.range[i.code].present) {
            badIndex = k;
            message = "PRG " + std::to_string(i.code) + " appears twice";
            return false;
        }
        if (current >= 0)
            p.range[current].end = k;
        current = i.code;
        p.range[current] = ProgramRange{true, k + 1, n, i.line};
    }
    return true;
}

bool compiledLineTooLong(std::string_view line)
{
    return line.size() > static_cast<std::size_t>(kMaxCompiledLineLength);
}

ParsedProgram parseCompiled(const std::vector<std::string> &lines)
{
    if (lines.size() > static_cast<std::size_t>(kMaxCompiledLines))
        return failure(kMaxCompiledLines + 1, "more than 1275 compiled lines; the device holds at most 1275");

    ParsedProgram r;
    Program &p = r.program;
    p.code.resize(lines.size());
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (compiledLineTooLong(lines[k]))
            return failure(static_cast<int>(k) + 1, "too long: a compiled line has at most " +
                                                        std::to_string(kMaxCompiledLineLength) + " characters");
        std::string text = lines[k];
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
            text.pop_back();
        std::string error;
        if (!parseLine(text, p.code[k], error))
            return failure(static_cast<int>(k) + 1, error);
    }

    int bad = 0;
    std::string message;
    if (!computeRanges(p, bad, message))
        return failure(bad + 1, message);

    const int n = static_cast<int>(p.code.size());
    for (int k = 0; k < n; ++k) {
        Instr &i = p.code[static_cast<std::size_t>(k)];
        if (i.op == Op::And || i.op == Op::Or) {
            const Op prev = k > 0 ? p.code[static_cast<std::size_t>(k - 1)].op : Op::Prg;
            if (!isConditionHead(prev) && prev != Op::And && prev != Op::Or)
                return failure(k + 1, "AND/OR must follow IF, ELSEIF, WHILE or another AND/OR");
        }
        if (!isJump(i.op))
            continue;
        const ProgramRange &range = p.range[p.programOf(k)];
        const int t = i.target - 1;  // 1-based until here
        if (t < range.entry || t > range.end)
            return failure(k + 1, "jump target outside its program");
        if (t < n && (p.code[static_cast<std::size_t>(t)].op == Op::And ||
                      p.code[static_cast<std::size_t>(t)].op == Op::Or))
            return failure(k + 1, "jump onto an AND/OR line");
        i.target = t;
    }
    r.ok = true;
    return r;
}

bool reportsFailure(std::string_view resultLine)
{
    return resultLine.find("FAILED") != std::string_view::npos || resultLine.find("Failed") != std::string_view::npos;
}

CompiledFile readCompiledFile(std::string_view bytes)
{
    CompiledFile r;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t end = bytes.size();
    while (end > 0 && blank(bytes[end - 1]))
        --end;
    LineReader reader(bytes.substr(0, end));

    // The compiler's result file starts "COMPILE ...", the loader's upload "UPLOAD ...".
    auto resultWord = [](std::string_view l) -> std::string_view {
        for (std::string_view word : {"COMPILE", "UPLOAD"})
            if (l.substr(0, word.size()) == word)
                return word;
        return {};
    };
    std::string_view line;
    bool counted = false;
    std::size_t announced = 0;
    std::string_view word;
    if (reader.next(line) && !(word = resultWord(line)).empty()) {
        if (reportsFailure(line)) {
            r.message = word == "COMPILE" ? "the file holds a failed compile report, not a compiled program"
                                          : "the file holds a failed upload report, not a compiled program";
            return r;
        }
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        const std::string head = std::string(word) + " OK ";
        constexpr std::string_view tail = " lines";
        const bool shaped = line.size() > head.size() + tail.size() && line.substr(0, head.size()) == head &&
                            line.substr(line.size() - tail.size()) == tail;
        const std::string_view digits =
            shaped ? line.substr(head.size(), line.size() - head.size() - tail.size()) : std::string_view();
        counted = !digits.empty() && digits.size() <= 9 &&
                  digits.find_first_not_of("0123456789") == std::string_view::npos;
        if (!counted) {
            r.message = "the result line \"" + std::string(line.substr(0, 60)) +
                        "\" does not name the count of compiled lines (" + head + "<n> lines)";
            return r;
        }
        announced = std::stoul(std::string(digits));
    } else {
        reader = LineReader(bytes.substr(0, end));
    }

    std::size_t found = 0;
    while (reader.next(line)) {
        if (found <= static_cast<std::size_t>(kMaxCompiledLines))
            r.lines.emplace_back(line);
        ++found;
    }
    if (counted && found != announced) {
        r.lines.clear();
        r.message = "the result line announces " + std::to_string(announced) + " compiled lines but " +
                    std::to_string(found) + " follow it" + (found < announced ? "; the file is cut short" : "");
        return r;
    }
    r.ok = true;
    return r;
}

}  // namespace zenta::lang

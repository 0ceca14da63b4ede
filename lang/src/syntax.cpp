#include "syntax.hpp"

#include <limits>

namespace zenta::lang::detail {

namespace {

constexpr std::uint64_t kSaturated = 1ull << 40;

bool isIdentStart(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

const Token kEnd{};

bool literalFrom(std::uint64_t magnitude, bool negative, std::int32_t &out, std::string &error)
{
    const std::uint64_t limit = negative ? 2147483648ull : 2147483647ull;
    if (magnitude > limit) {
        error = "number out of range; numbers lie between -2147483648 and 2147483647";
        return false;
    }
    out = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                   : static_cast<std::int32_t>(magnitude);
    return true;
}

Arith arithFor(const Token &t)
{
    if (t.kind != Token::Kind::Sym || t.text.size() != 1)
        return Arith::None;
    switch (t.text[0]) {
    case '+': return Arith::Add;
    case '-': return Arith::Sub;
    case '*': return Arith::Mul;
    case '/': return Arith::Div;
    case '%': return Arith::Mod;
    case '&': return Arith::And;
    case '|': return Arith::Or;
    default: return Arith::None;
    }
}

}  // namespace

bool tokenize(std::string_view s, std::vector<Token> &out, std::string &error)
{
    out.clear();
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == ' ' || c == '\t') {
            ++i;
        } else if (isIdentStart(c)) {
            Token t{Token::Kind::Ident, {}, 0};
            while (i < s.size() && (isIdentStart(static_cast<unsigned char>(s[i])) ||
                                    isDigit(static_cast<unsigned char>(s[i]))))
                t.text.push_back(upper(s[i++]));
            out.push_back(std::move(t));
        } else if (isDigit(c)) {
            Token t{Token::Kind::Number, {}, 0};
            while (i < s.size() && isDigit(static_cast<unsigned char>(s[i]))) {
                if (t.number < kSaturated)
                    t.number = t.number * 10 + static_cast<unsigned>(s[i] - '0');
                t.text.push_back(s[i++]);
            }
            if (i < s.size() && isIdentStart(static_cast<unsigned char>(s[i]))) {
                error = "a number runs into letters: " + quote(s.substr(i - t.text.size(), t.text.size() + 1));
                return false;
            }
            out.push_back(std::move(t));
        } else {
            static constexpr std::string_view two[] = {"!=", "<=", ">="};
            static constexpr std::string_view one = "=<>+-*/%&|:@";
            std::string sym;
            for (auto t : two)
                if (s.substr(i, 2) == t)
                    sym = t;
            if (sym.empty() && one.find(static_cast<char>(c)) != std::string_view::npos)
                sym = std::string(1, static_cast<char>(c));
            if (sym.empty()) {
                if (c > 32 && c < 127)
                    error = std::string("unexpected character ") + static_cast<char>(c);
                else
                    error = "unexpected character (code " + std::to_string(c) + ")";
                return false;
            }
            i += sym.size();
            out.push_back(Token{Token::Kind::Sym, std::move(sym), 0});
        }
    }
    return true;
}

const Token &Cursor::peek(std::size_t ahead) const
{
    return pos_ + ahead < toks_.size() ? toks_[pos_ + ahead] : kEnd;
}

bool Cursor::isSym(std::string_view s, std::size_t ahead) const
{
    const Token &t = peek(ahead);
    return t.kind == Token::Kind::Sym && t.text == s;
}

bool Cursor::isIdent(std::string_view s) const
{
    return peek().kind == Token::Kind::Ident && peek().text == s;
}

bool Cursor::takeSym(std::string_view s)
{
    if (!isSym(s))
        return false;
    take();
    return true;
}

std::string quote(std::string_view s)
{
    constexpr std::size_t kMax = 24;
    std::string out;
    for (char c : s.substr(0, kMax))
        out.push_back(upper(c));
    if (s.size() > kMax)
        out += "...";
    return out;
}

std::string describe(const Token &t)
{
    switch (t.kind) {
    case Token::Kind::End: return "the end of the line";
    case Token::Kind::Ident:
    case Token::Kind::Number: return quote(t.text);
    case Token::Kind::Sym: return "'" + t.text + "'";
    }
    return {};
}

int variableNumber(std::string_view w)
{
    if (w.size() < 2 || w[0] != 'V')
        return 0;
    std::uint64_t n = 0;
    for (std::size_t i = 1; i < w.size(); ++i) {
        if (!isDigit(static_cast<unsigned char>(w[i])))
            return 0;
        if (n < kSaturated)
            n = n * 10 + static_cast<unsigned>(w[i] - '0');
    }
    return n >= 1 && n <= kVariableCount ? static_cast<int>(n) : -1;
}

bool parseOperand(Cursor &c, Operand &o, std::string &error)
{
    bool negative = false;
    const bool signed_ = c.isSym("-") || c.isSym("+");
    if (signed_)
        negative = c.take().text == "-";
    const Token &t = c.peek();
    if (t.kind == Token::Kind::Number) {
        c.take();
        o.kind = OperandKind::Literal;
        return literalFrom(t.number, negative, o.value, error);
    }
    if (signed_) {
        error = "a sign must be followed by digits, found " + describe(t);
        return false;
    }
    if (t.kind == Token::Kind::Ident) {
        if (const int v = variableNumber(t.text)) {
            if (v < 0) {
                error = "there is no variable " + quote(t.text) + "; variables are V1 to V50";
                return false;
            }
            c.take();
            o = Operand{OperandKind::Variable, v};
            return true;
        }
        if (const int s = statusIndex(t.text); s >= 0) {
            c.take();
            o = Operand{OperandKind::Status, s};
            return true;
        }
        error = quote(t.text) + " is not a value; use a number, V1 to V50 or a status such as PX or DI1";
        return false;
    }
    error = "expected a value, found " + describe(t);
    return false;
}

bool parseComparison(Cursor &c, Instr &i, std::string &error)
{
    if (!parseOperand(c, i.a, error))
        return false;
    static constexpr std::pair<std::string_view, Relation> rels[] = {
        {"=", Relation::Eq}, {"!=", Relation::Ne}, {"<", Relation::Lt},
        {">", Relation::Gt}, {"<=", Relation::Le}, {">=", Relation::Ge}};
    for (auto [s, r] : rels) {
        if (c.takeSym(s)) {
            i.rel = r;
            return parseOperand(c, i.b, error);
        }
    }
    error = "expected a comparison (= != < > <= >=), found " + describe(c.peek());
    return false;
}

bool expectEnd(Cursor &c, std::string_view after, std::string &error)
{
    if (c.atEnd())
        return true;
    error = "unexpected " + describe(c.peek()) + " after " + std::string(after);
    return false;
}

bool parseSimple(Cursor &c, Instr &i, std::string &error)
{
    const std::string word = c.take().text;

    if (word == "WAITX" || word == "END" || word == "RETURN") {
        i.op = word == "WAITX" ? Op::WaitX : word == "END" ? Op::End : Op::Return;
        return expectEnd(c, word, error);
    }
    if (word == "DELAY") {
        i.op = Op::Delay;
        c.takeSym("=");
        return parseOperand(c, i.a, error) && expectEnd(c, "the delay", error);
    }
    if (word == "J") {
        if (c.isSym("+") || c.isSym("-")) {
            i.op = Op::Action;
            i.code = actionIndex(c.take().text == "+" ? "J+" : "J-");
            return expectEnd(c, "the jog command", error);
        }
        error = "J must be followed by + or -";
        return false;
    }
    if (const int a = actionIndex(word); a >= 0) {
        i.op = Op::Action;
        i.code = a;
        return expectEnd(c, word, error);
    }
    if (word.size() > 1 && word[0] == 'X' && word.find_first_not_of("0123456789", 1) == std::string::npos) {
        std::uint64_t n = 0;
        for (std::size_t k = 1; k < word.size() && n < (1ull << 40); ++k)
            n = n * 10 + static_cast<unsigned>(word[k] - '0');
        i.op = Op::Move;
        i.a.kind = OperandKind::Literal;
        return literalFrom(n, false, i.a.value, error) && expectEnd(c, "the move", error);
    }
    if (word == "X") {
        i.op = Op::Move;
        c.takeSym("=");
        return parseOperand(c, i.a, error) && expectEnd(c, "the move", error);
    }
    if (const int v = variableNumber(word)) {
        if (v < 0) {
            error = "there is no variable " + quote(word) + "; variables are V1 to V50";
            return false;
        }
        if (!c.takeSym("=")) {
            error = quote(word) + " needs a value to assign, as in " + quote(word) + "=5";
            return false;
        }
        i.op = Op::Assign;
        i.code = v;
        if (!parseOperand(c, i.a, error))
            return false;
        if (!c.atEnd()) {
            i.arith = arithFor(c.peek());
            if (i.arith == Arith::None) {
                error = "expected + - * / % & | or the end of the line, found " + describe(c.peek());
                return false;
            }
            c.take();
            if (!parseOperand(c, i.b, error))
                return false;
            if ((i.arith == Arith::Div || i.arith == Arith::Mod) && i.b.kind == OperandKind::Literal &&
                i.b.value == 0) {
                error = "division by zero";
                return false;
            }
        }
        return expectEnd(c, "the assignment; only one operator is allowed", error);
    }
    if (const int s = settingIndex(word); s >= 0) {
        if (!c.takeSym("=")) {
            error = quote(word) + " needs =value here, as in " + quote(word) +
                    "=1; to read it, assign it, as in V1=" + quote(word);
            return false;
        }
        i.op = Op::Set;
        i.code = s;
        return parseOperand(c, i.a, error) && expectEnd(c, word, error);
    }
    if (statusIndex(word) >= 0) {
        error = quote(word) + " can only be read; use it in an assignment such as V1=" + quote(word) +
                " or in a condition";
        return false;
    }
    error = "unknown command " + quote(word);
    return false;
}

}  // namespace zenta::lang::detail

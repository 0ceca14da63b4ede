// The lexer and the statement pieces shared by the program text parser and the
// compiled-form parser.
#pragma once

#include "zenta/lang/program.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zenta::lang::detail {

struct Token {
    enum class Kind { Ident, Number, Sym, End };
    Kind kind = Kind::End;
    std::string text;          // identifiers upper-cased; symbols as written
    std::uint64_t number = 0;  // saturates above the 32-bit range
};

// Identifiers are ASCII letters, digits and '_' not starting with a digit.
bool tokenize(std::string_view s, std::vector<Token> &out, std::string &error);

class Cursor {
public:
    explicit Cursor(const std::vector<Token> &t) : toks_(t) {}
    const Token &peek(std::size_t ahead = 0) const;
    const Token &take() { const Token &t = peek(); if (pos_ < toks_.size()) ++pos_; return t; }
    bool atEnd() const { return peek().kind == Token::Kind::End; }
    bool isSym(std::string_view s, std::size_t ahead = 0) const;
    bool isIdent(std::string_view s) const;
    bool takeSym(std::string_view s);

private:
    const std::vector<Token> &toks_;
    std::size_t pos_ = 0;
};

// Shortens operator-supplied text for a message.
std::string quote(std::string_view s);
// Words that describe the token for a message.
std::string describe(const Token &t);

bool parseOperand(Cursor &c, Operand &o, std::string &error);
bool parseComparison(Cursor &c, Instr &i, std::string &error);
bool expectEnd(Cursor &c, std::string_view after, std::string &error);
// Device commands, assignment, DELAY, WAITX, END and RETURN. The cursor
// stands on an identifier.
bool parseSimple(Cursor &c, Instr &i, std::string &error);
// "Vn" with n 1..50; 0 when the word is no variable name, -1 when out of range.
int variableNumber(std::string_view upperWord);

}  // namespace zenta::lang::detail

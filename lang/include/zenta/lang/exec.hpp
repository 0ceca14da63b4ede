// The arithmetic and condition rules of the language, for whoever runs the
// compiled form, so that every interpreter agrees with the documentation.
#pragma once

#include "zenta/lang/program.hpp"

#include <cstdint>
#include <functional>
#include <optional>

namespace zenta::lang {

// Two's-complement wrap-around on overflow; / and % truncate toward zero and
// give nothing for a zero divisor (the program then stops with an error).
std::optional<std::int32_t> arithmetic(Arith op, std::int32_t a, std::int32_t b);

bool holds(Relation rel, std::int32_t a, std::int32_t b);

// Value of a status read given the device's reply for its base word:
// DI1..DI6 are bits of DI, DO1/DO2 bits of DO; others are the value itself.
// baseStatusIndex names the word to ask the device for.
int baseStatusIndex(int statusIndex);
std::int32_t statusValue(int statusIndex, std::int32_t baseValue);

struct Condition {
    bool value = false;
    int next = 0;  // index of the instruction after the AND/OR lines
};

// Evaluates the condition whose head is code[head]; AND binds tighter than OR.
Condition evaluateCondition(const std::vector<Instr> &code, int head,
                            const std::function<std::int32_t(const Operand &)> &value);

}  // namespace zenta::lang

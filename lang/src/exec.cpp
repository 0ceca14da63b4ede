#include "zenta/lang/exec.hpp"

namespace zenta::lang {

std::optional<std::int32_t> arithmetic(Arith op, std::int32_t a, std::int32_t b)
{
    // Unsigned arithmetic gives the wrap-around without undefined behaviour.
    const auto ua = static_cast<std::uint32_t>(a);
    const auto ub = static_cast<std::uint32_t>(b);
    switch (op) {
    case Arith::None: return a;
    case Arith::Add: return static_cast<std::int32_t>(ua + ub);
    case Arith::Sub: return static_cast<std::int32_t>(ua - ub);
    case Arith::Mul: return static_cast<std::int32_t>(ua * ub);
    case Arith::And: return static_cast<std::int32_t>(ua & ub);
    case Arith::Or: return static_cast<std::int32_t>(ua | ub);
    case Arith::Div:
    case Arith::Mod:
        if (b == 0)
            return std::nullopt;
        if (b == -1)  // the one quotient that overflows: -2147483648 / -1
            return op == Arith::Div ? static_cast<std::int32_t>(0u - ua) : 0;
        return op == Arith::Div ? a / b : a % b;
    }
    return std::nullopt;
}

bool holds(Relation rel, std::int32_t a, std::int32_t b)
{
    switch (rel) {
    case Relation::Eq: return a == b;
    case Relation::Ne: return a != b;
    case Relation::Lt: return a < b;
    case Relation::Gt: return a > b;
    case Relation::Le: return a <= b;
    case Relation::Ge: return a >= b;
    }
    return false;
}

int baseStatusIndex(int status)
{
    const std::string_view name = statusNames().at(static_cast<std::size_t>(status));
    if (name.size() == 3 && (name.substr(0, 2) == "DI" || name.substr(0, 2) == "DO"))
        return statusIndex(name.substr(0, 2));
    return status;
}

std::int32_t statusValue(int status, std::int32_t baseValue)
{
    const std::string_view name = statusNames().at(static_cast<std::size_t>(status));
    if (name.size() == 3 && (name.substr(0, 2) == "DI" || name.substr(0, 2) == "DO")) {
        const int bit = name[2] - '1';
        return (static_cast<std::uint32_t>(baseValue) >> bit) & 1u;
    }
    return baseValue;
}

Condition evaluateCondition(const std::vector<Instr> &code, int head,
                            const std::function<std::int32_t(const Operand &)> &value)
{
    auto test = [&](const Instr &i) { return holds(i.rel, value(i.a), value(i.b)); };
    bool any = false;
    bool term = test(code.at(static_cast<std::size_t>(head)));
    int k = head + 1;
    const int n = static_cast<int>(code.size());
    for (; k < n; ++k) {
        const Instr &i = code[static_cast<std::size_t>(k)];
        if (i.op == Op::And)
            term = test(i) && term;
        else if (i.op == Op::Or) {
            any = any || term;
            term = test(i);
        } else
            break;
    }
    return Condition{any || term, k};
}

}  // namespace zenta::lang

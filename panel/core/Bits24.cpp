#include "Bits24.h"

namespace modTollan {

namespace {
// Walks bits 23 to 0 as digits of the operand; a digit other than 0 or 1
// (operands of 2^24 and more, or negative ones) counts as clear.
template <typename Op>
int32_t bitwise24(int32_t a, int32_t b, Op op)
{
    int64_t x = a, y = b, result = 0;
    for (int k = 23; k >= 0; --k) {
        const int64_t p = int64_t(1) << k;
        const int64_t dx = x / p, dy = y / p;
        x -= dx * p;
        y -= dy * p;
        if (op(dx == 1, dy == 1))
            result += p;
    }
    return static_cast<int32_t>(result);
}
}  // namespace

int32_t BitAnd24(int32_t a, int32_t b)
{
    return bitwise24(a, b, [](bool p, bool q) { return p && q; });
}

int32_t BitOr24(int32_t a, int32_t b)
{
    return bitwise24(a, b, [](bool p, bool q) { return p || q; });
}

int32_t ShiftRight(int32_t a, int32_t n)
{
    if (n <= 0)
        return a;
    if (n >= 32)
        return 0;
    return static_cast<int32_t>(int64_t(a) / (int64_t(1) << n));
}

}  // namespace modTollan

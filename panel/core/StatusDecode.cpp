#include "StatusDecode.h"

#include "Bits24.h"
#include "Numbers.h"

namespace StatusDecode {

using modTollan::BitAnd24;
using zenta::core::parseInt32;
using zenta::core::replyToInt32;

Status decode(const Replies &r)
{
    Status s;
    if (r.mst) {
        if (const auto m = replyToInt32(*r.mst)) {
            // Several bits set: the last test that matches wins.
            const char *state = "IDLE";
            if (BitAnd24(*m, 1) == 1)
                state = "CONST";
            if (BitAnd24(*m, 2) == 2)
                state = "ACCEL";
            if (BitAnd24(*m, 4) == 4)
                state = "DECEL";
            s.motionState = state;
            const int32_t c = modTollan::ShiftRight(*m, 3);
            s.currentTenths = c == 21 ? 0 : c;  // 21 stands for no current
        }
    }
    if (r.di)
        if (const auto d = replyToInt32(*r.di)) {
            std::array<bool, 6> in{};
            for (int bit = 0; bit < 6; ++bit)
                in[bit] = BitAnd24(*d, 1 << bit) != 0;
            s.inputs = in;
        }
    if (r.dout)
        if (const auto o = replyToInt32(*r.dout))
            s.outputs = std::array<bool, 2>{BitAnd24(*o, 1) != 0, BitAnd24(*o, 2) != 0};
    if (r.eo)
        if (const auto e = replyToInt32(*r.eo))
            s.outputEnabled = BitAnd24(*e, 1) != 0;
    if (r.ai)
        s.analogInput = replyToInt32(*r.ai);
    if (r.mm)
        s.moveMode = *r.mm == "0" ? "ABS" : "INC";
    if (r.sastat)
        s.programState = replyToInt32(*r.sastat);
    for (int t = 0; t < 2; ++t)
        if (r.threadState[t])
            s.threadState[t] = parseInt32(*r.threadState[t]);
    return s;
}

std::string programStateText(int32_t code)
{
    switch (code) {
    case 0: return "Idle";
    case 1: return "Running";
    case 2: return "Paused";
    case 4: return "Errored";
    default: return {};
    }
}

}  // namespace StatusDecode

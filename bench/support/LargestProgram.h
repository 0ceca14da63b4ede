// A program of exactly 1275 compiled lines, the device's limit: a realistic
// mix of statements, padded with moves.
#pragma once

#include "zenta/lang/compiler.hpp"

#include <string>

namespace bench {

inline std::string largestProgram()
{
    std::string body;
    for (int k = 0; k < 40; ++k) {
        const std::string n = std::to_string(k);
        body += "; block " + n + "\r\n";
        body += "l" + n + ": V" + std::to_string(k % 50 + 1) + "=V2*" + n + "\r\n";
        body += "WHILE V1<" + n + " AND DI1=0\r\n  X" + n + "000\r\n  WAITX\r\n  V1=V1+1\r\nENDWHILE\r\n";
        body += "IF PX>=-2147483648 OR AI>=512 AND EO=1\r\n  DO1=1\r\nELSEIF MST!=0\r\n  GOSUB l" + n +
                "\r\nELSE\r\n  DELAY=V3\r\nENDIF\r\n";
        body += "HSPD=2000\r\nGOTO l" + n + "\r\n";
    }
    std::string program = "PRG 0\r\n" + body;
    int lines = static_cast<int>(zenta::lang::compile(program).program.code.size());
    program += "PRG 1\r\n";
    ++lines;
    for (; lines < zenta::lang::kMaxCompiledLines; ++lines)
        program += "X-" + std::to_string(lines) + "  ; pad\r\n";
    return program;
}

}  // namespace bench

// The compiled form of a standalone program: what the compiler writes, the
// loader carries to the device one line per frame, and the device runs.
//
// Text, one instruction per line:  <source line> <instruction>
// The source line is 1..99999 in plain decimal; one blank separates it from
// the instruction. Jump targets are written @k, k being the 1-based number of
// a compiled line. Operands are a literal (-2147483648..2147483647), a
// variable V1..V50 or a status read (PX, DI1, ...). No line exceeds 48
// characters and a file holds at most 1275 lines.
//
//   PRG n               start of program n (0 or 1); its entry is the next line
//   ABORT STOP ABS INC J+ J- STORE            device action
//   NAME=a              device setting, e.g. HSPD=2000, DO1=V3
//   X1000  X-5  X V3    move (absolute or incremental, the device's mode)
//   Vn=a  Vn=a+b        assignment; + - * / % & | wrap at 32 bits
//   DELAY=a             wait a milliseconds (a <= 0: no wait)
//   WAITX               wait until the axis stands still
//   END                 stop this program
//   GOTO @k             jump
//   GOSUB @k  RETURN    call and return
//   IF c @k             test: continue below when c holds, else jump to k
//   ELSEIF c @k         the same, for an ELSEIF line
//   WHILE c @k          the same, for a WHILE line
//   AND c  OR c         more comparisons of the test just above; never run
//                       on their own and never a jump target
//   ELSE @k             jump to k: end of a branch, from an ELSE or ELSEIF line
//   ENDWHILE @k         jump back to the WHILE test at k
//
// A condition is the head's comparison followed by its AND/OR lines, AND
// binding tighter than OR. Every jump stays inside its program: a target is a
// line of the program or the line just past its end, which stops it.
// A file without PRG lines is program 0 alone; otherwise it starts with a PRG
// line and each program runs up to the next PRG line or the end of the file.
//
// Running: a program stops at END or when it reaches the end of its range. It
// stops with an error on a division by zero, on a GOSUB beyond kMaxCallDepth,
// on a RETURN without GOSUB, and when the device refuses a command. Device
// commands go to the device as text, NAME=value or X<value>; status reads come
// from the device, DI1..DI6 and DO1/DO2 being bits of DI and DO (exec.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zenta::lang {

inline constexpr int kMaxCompiledLines = 1275;
inline constexpr int kMaxSourceLine = 99999;
inline constexpr int kVariableCount = 50;
inline constexpr int kMaxNesting = 32;
inline constexpr int kMaxCompiledLineLength = 48;
// The one test of a compiled line's length, blanks and all: parseCompiled
// refuses a longer line, and a device refuses one as soon as it arrives.
bool compiledLineTooLong(std::string_view line);
// Return addresses a running program keeps; one GOSUB more stops it with an error.
inline constexpr int kMaxCallDepth = 16;

enum class OperandKind : std::uint8_t { Literal, Variable, Status };

struct Operand {
    OperandKind kind = OperandKind::Literal;
    std::int32_t value = 0;  // the literal, the variable number or the status index
    friend bool operator==(const Operand &, const Operand &) = default;
};

enum class Relation : std::uint8_t { Eq, Ne, Lt, Gt, Le, Ge };
enum class Arith : std::uint8_t { None, Add, Sub, Mul, Div, Mod, And, Or };

enum class Op : std::uint8_t {
    Prg, Action, Set, Move, Assign, Delay, WaitX, End, Return,
    Goto, Gosub, If, ElseIf, While, And, Or, Else, EndWhile
};

struct Instr {
    Op op = Op::End;
    int line = 0;         // source line
    int target = -1;      // 0-based compiled index of a jump target
    int code = 0;         // program number, action, setting or variable number
    Arith arith = Arith::None;
    Relation rel = Relation::Eq;
    Operand a, b;         // operands; a rel b for a comparison
    friend bool operator==(const Instr &, const Instr &) = default;
};

bool isJump(Op op);
bool isConditionHead(Op op);  // IF, ELSEIF, WHILE

// Names known to programs, by index (the Instr::code or Operand::value).
const std::vector<std::string_view> &actionNames();
const std::vector<std::string_view> &settingNames();
const std::vector<std::string_view> &statusNames();
int actionIndex(std::string_view upperName);   // -1 when unknown
int settingIndex(std::string_view upperName);
int statusIndex(std::string_view upperName);

struct ProgramRange {
    bool present = false;
    int entry = 0;    // first instruction
    int end = 0;      // one past the last instruction
    int prgLine = 0;  // source line of its PRG line, 0 when it had none
};

struct Program {
    std::vector<Instr> code;
    ProgramRange range[2];
    int programOf(int index) const;  // -1 for a PRG line
};

std::string formatOperand(const Operand &o);
std::string formatComparison(const Instr &i);
std::string formatInstr(const Instr &i);  // without the source line
std::vector<std::string> formatCompiled(const std::vector<Instr> &code);

struct ParsedProgram {
    bool ok = false;
    Program program;
    int errorLine = 0;  // 1-based compiled line
    std::string message;
};

// Reads compiled lines back and checks everything an interpreter relies on:
// length, syntax, names, ranges, targets inside their program, no jump onto
// an AND/OR line, at most 1275 lines.
ParsedProgram parseCompiled(const std::vector<std::string> &lines);

struct CompiledFile {
    bool ok = false;
    std::vector<std::string> lines;  // the compiled lines, without the result line
    std::string message;             // why the file was refused
};

// The compiled lines of a file: the compiler's result file or the loader's
// upload, whose result line ("COMPILE OK <n> lines", "UPLOAD OK <n> lines")
// must name exactly the count of lines after it (a cut file is refused), or
// bare compiled lines. Blank lines at the end are dropped. A failed report
// is refused. Memory stays bounded whatever the file's size: lines
// beyond what a device holds are counted, not kept, and parseCompiled then
// refuses the file.
CompiledFile readCompiledFile(std::string_view bytes);

// Whether a result file's first line reports a failure: the line holds
// "FAILED" or "Failed". The one rule for the panel and both tools.
bool reportsFailure(std::string_view resultLine);

// Program ranges for an instruction vector whose PRG lines are already valid.
bool computeRanges(Program &p, int &badIndex, std::string &message);

}  // namespace zenta::lang

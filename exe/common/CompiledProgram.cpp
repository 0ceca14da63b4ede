#include "CompiledProgram.h"

#include "ToolFiles.h"
#include "zenta/lang/program.hpp"

namespace zenta::device {

namespace lang = zenta::lang;
namespace tools = zenta::tools;

std::variant<std::vector<std::string>, Failure> compiledProgram(const std::string &bytes, const std::string &name,
                                                                int maxLines)
{
    // The result line says what the file is; the lines after it are read with
    // memory bounded by what a device can hold, and must match its count.
    const std::string first = bytes.substr(0, bytes.find_first_of("\r\n"));
    const tools::ResultLine result = tools::judgeResultLine(first, "COMPILE");
    if (result == tools::ResultLine::Other)
        return failure("The file " + clip(name) + " is not a result of the compiler.");
    if (result == tools::ResultLine::Failed)
        return failure("The program did not compile; nothing was sent.", "Correct the program and compile it again.");
    lang::CompiledFile file = lang::readCompiledFile(bytes);
    if (!file.ok)
        return failure("The file " + clip(name) + " cannot be sent: " + clip(file.message, 160) + ". Nothing was sent.");
    if (auto f = checkProgram(file.lines, maxLines))
        return std::move(*f);
    return std::move(file.lines);
}

}  // namespace zenta::device

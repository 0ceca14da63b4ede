// Vorlag: compiles or decompiles the standalone program named in
// vorlag_setup.txt, both files living in Vorlag's own folder. Whatever goes
// wrong, it leaves a result file the panel can judge; the exit code is 0 on
// success and 1 on failure.
#include "ToolFiles.h"
#include "zenta/lang/compiler.hpp"
#include "zenta/lang/text.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace zenta::lang;
namespace tools = zenta::tools;
using tools::Read;
using tools::scrub;

constexpr const char *kSetupFile = "vorlag_setup.txt";
constexpr const char *kCompileOut = "CompileOut.txt";
constexpr const char *kDecompileOut = "DecompileOut.prg";
bool writeResult(const std::string &folder, const char *name, const std::vector<std::string> &lines)
{
    return tools::writeResult("Vorlag", folder + "/" + name, lines);
}

int compileFailure(const std::string &folder, const std::string &message, int line)
{
    writeResult(folder, kCompileOut,
                {"COMPILE FAILED", scrub(message), "Line: " + std::to_string(line)});
    return 1;
}

int decompileFailure(const std::string &folder, const std::string &message,
                     const std::vector<std::string> &more = {})
{
    std::vector<std::string> report{"DECOMPILE FAILED", scrub(message)};
    for (const std::string &m : more)
        report.push_back(scrub(m));
    writeResult(folder, kDecompileOut, report);
    return 1;
}

int compileFile(const std::string &folder, const std::string &source)
{
    const CompileResult r = compile(source);
    if (!r.ok)
        return compileFailure(folder, "Error in line " + std::to_string(r.errorLine) + ": " + r.message,
                              r.errorLine);
    std::vector<std::string> lines = formatCompiled(r.program.code);
    lines.insert(lines.begin(), tools::okLine("COMPILE", r.program.code.size()));
    if (!writeResult(folder, kCompileOut, lines))
        return 1;
    return 0;
}

int decompileFile(const std::string &folder, const std::string &bytes)
{
    // A failed upload of the loader carries its reason on to the operator.
    LineReader reader(bytes);
    std::string_view first;
    reader.next(first);
    if (tools::judgeResultLine(first, "UPLOAD") == tools::ResultLine::Failed) {
        std::vector<std::string> reason;
        for (std::string_view line; reason.size() < 4 && reader.next(line);)
            if (line.find_first_not_of(" \t") != std::string_view::npos)
                reason.emplace_back(line.substr(0, 200));
        if (reason.empty())
            reason.push_back("The loader gave no reason.");
        return decompileFailure(folder, "The upload from the device failed:", reason);
    }
    // Bare compiled lines, or a whole result file of the compiler or the
    // loader whose line count must match.
    const CompiledFile file = readCompiledFile(bytes);
    if (!file.ok)
        return decompileFailure(folder, file.message);
    const DecompileResult r = decompileLines(file.lines);
    if (!r.ok)
        return decompileFailure(folder, r.message);
    return writeResult(folder, kDecompileOut, r.lines) ? 0 : 1;
}

}  // namespace

int main()
{
    const std::string folder = tools::ownFolder();
    std::string setupBytes;
    switch (tools::readFile(folder + "/" + kSetupFile, setupBytes)) {
    case Read::Ok: break;
    case Read::Missing: return compileFailure(folder, "the setup file vorlag_setup.txt is missing or unreadable", 0);
    case Read::TooLarge: return compileFailure(folder, "the setup file vorlag_setup.txt is too large", 0);
    }

    const tools::Setup parsed = tools::parseSetup(setupBytes);
    struct {
        const std::string *mod, *ope, *fil;
    } setup{parsed.get("MOD"), parsed.get("OPE"), parsed.get("FIL")};
    const bool decompiling = setup.ope && *setup.ope == "DECOMPILE";
    auto fail = [&](const std::string &message) {
        return decompiling ? decompileFailure(folder, message) : compileFailure(folder, message, 0);
    };
    if (!parsed.problem.empty())
        return fail("vorlag_setup.txt: " + parsed.problem);
    if (!setup.mod)
        return fail("vorlag_setup.txt has no MOD entry");
    if (*setup.mod != "ZENTA-QLX")
        return fail("unknown model in MOD: " + setup.mod->substr(0, 40) + " (expected ZENTA-QLX)");
    if (!setup.ope)
        return fail("vorlag_setup.txt has no OPE entry");
    if (*setup.ope != "COMPILE" && !decompiling)
        return fail("unknown operation in OPE: " + setup.ope->substr(0, 40) + " (expected COMPILE or DECOMPILE)");
    if (!setup.fil || !tools::bareName(*setup.fil))
        return fail("FIL must name a file in the compiler's folder");

    std::string input;
    switch (tools::readFile(folder + "/" + *setup.fil, input)) {
    case Read::Ok: break;
    case Read::Missing: return fail("the file " + setup.fil->substr(0, 60) + " named by FIL is missing, unreadable or not a file");
    case Read::TooLarge: return fail("the file " + setup.fil->substr(0, 60) + " is larger than 16 MB");
    }
    return decompiling ? decompileFile(folder, input) : compileFile(folder, input);
}

// Vorlag: compiles or decompiles the standalone program named in
// vorlag_setup.txt, both files living in Vorlag's own folder. Whatever goes
// wrong, it leaves a result file the panel can judge; the exit code is 0 on
// success and 1 on failure.
#include "zenta/lang/compiler.hpp"
#include "zenta/lang/text.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace zenta::lang;

constexpr const char *kSetupFile = "vorlag_setup.txt";
constexpr const char *kCompileOut = "CompileOut.txt";
constexpr const char *kDecompileOut = "DecompileOut.prg";
constexpr std::streamoff kMaxInput = 16 * 1024 * 1024;

std::string ownFolder()
{
    std::vector<char> buf(4096);
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0)
        return ".";
    std::string path(buf.data(), static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

enum class Read { Ok, Missing, TooLarge };

Read readFile(const std::string &path, std::string &out)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return Read::Missing;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Read::Missing;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0)
        return Read::Missing;
    if (size > kMaxInput)
        return Read::TooLarge;
    in.seekg(0);
    out.assign(static_cast<std::size_t>(size), '\0');
    in.read(out.data(), size);
    return in || in.eof() ? Read::Ok : Read::Missing;
}

// The panel takes the last line holding "Line" as the failing line, so no
// other report line may hold it; control characters would split lines.
std::string scrub(std::string s)
{
    for (char &c : s)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '?';
    for (std::size_t at = s.find("Line"); at != std::string::npos; at = s.find("Line", at))
        s[at] = 'l';
    return s;
}

bool writeResult(const std::string &folder, const char *name, const std::vector<std::string> &lines)
{
    const std::string path = folder + "/" + name;
    const std::string temp = path + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        const std::string bytes = joinLines(lines);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush())
            return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

int compileFailure(const std::string &folder, const std::string &message, int line)
{
    writeResult(folder, kCompileOut,
                {"COMPILE FAILED", scrub(message), "Line: " + std::to_string(line)});
    return 1;
}

int decompileFailure(const std::string &folder, const std::string &message)
{
    writeResult(folder, kDecompileOut, {"DECOMPILE FAILED", scrub(message)});
    return 1;
}

struct Setup {
    std::optional<std::string> mod, ope, fil;
    std::string problem;  // first thing wrong with the file's shape
};

Setup parseSetup(const std::string &bytes)
{
    Setup s;
    auto trim = [](std::string v) {
        const auto b = v.find_first_not_of(" \t");
        const auto e = v.find_last_not_of(" \t");
        return b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
    };
    int n = 0;
    for (const std::string &raw : splitLines(bytes)) {
        ++n;
        const std::string line = trim(raw);
        if (line.empty())
            continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            if (s.problem.empty())
                s.problem = "setup line " + std::to_string(n) + " is not KEY:VALUE";
            continue;
        }
        const std::string key = trim(line.substr(0, colon));
        const std::string value = trim(line.substr(colon + 1));
        if (key == "MOD")
            s.mod = value;
        else if (key == "OPE")
            s.ope = value;
        else if (key == "FIL")
            s.fil = value;
    }
    return s;
}

bool bareName(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

int compileFile(const std::string &folder, const std::string &source)
{
    const CompileResult r = compile(source);
    if (!r.ok)
        return compileFailure(folder, "Error in line " + std::to_string(r.errorLine) + ": " + r.message,
                              r.errorLine);
    std::vector<std::string> lines = formatCompiled(r.program.code);
    lines.insert(lines.begin(), "COMPILE OK " + std::to_string(r.program.code.size()) + " lines");
    if (!writeResult(folder, kCompileOut, lines))
        return 1;
    return 0;
}

int decompileFile(const std::string &folder, const std::string &bytes)
{
    std::vector<std::string> lines = splitLines(bytes);
    while (!lines.empty() && lines.back().find_first_not_of(" \t") == std::string::npos)
        lines.pop_back();
    // A whole result file of the compiler is accepted too.
    if (!lines.empty() && lines.front().rfind("COMPILE", 0) == 0) {
        if (lines.front().find("FAILED") != std::string::npos || lines.front().find("Failed") != std::string::npos)
            return decompileFailure(folder, "the file holds a failed compile report, not a compiled program");
        lines.erase(lines.begin());
    }
    const DecompileResult r = decompileLines(lines);
    if (!r.ok)
        return decompileFailure(folder, r.message);
    return writeResult(folder, kDecompileOut, r.lines) ? 0 : 1;
}

}  // namespace

int main()
{
    const std::string folder = ownFolder();
    std::string setupBytes;
    switch (readFile(folder + "/" + kSetupFile, setupBytes)) {
    case Read::Ok: break;
    case Read::Missing: return compileFailure(folder, "the setup file vorlag_setup.txt is missing or unreadable", 0);
    case Read::TooLarge: return compileFailure(folder, "the setup file vorlag_setup.txt is too large", 0);
    }

    const Setup setup = parseSetup(setupBytes);
    const bool decompiling = setup.ope && *setup.ope == "DECOMPILE";
    auto fail = [&](const std::string &message) {
        return decompiling ? decompileFailure(folder, message) : compileFailure(folder, message, 0);
    };
    if (!setup.problem.empty())
        return fail("vorlag_setup.txt: " + setup.problem);
    if (!setup.mod)
        return fail("vorlag_setup.txt has no MOD entry");
    if (*setup.mod != "ZENTA-QLX")
        return fail("unknown model in MOD: " + setup.mod->substr(0, 40) + " (expected ZENTA-QLX)");
    if (!setup.ope)
        return fail("vorlag_setup.txt has no OPE entry");
    if (*setup.ope != "COMPILE" && !decompiling)
        return fail("unknown operation in OPE: " + setup.ope->substr(0, 40) + " (expected COMPILE or DECOMPILE)");
    if (!setup.fil || !bareName(*setup.fil))
        return fail("FIL must name a file in the compiler's folder");

    std::string input;
    switch (readFile(folder + "/" + *setup.fil, input)) {
    case Read::Ok: break;
    case Read::Missing: return fail("the file " + setup.fil->substr(0, 60) + " named by FIL is missing, unreadable or not a file");
    case Read::TooLarge: return fail("the file " + setup.fil->substr(0, 60) + " is larger than 16 MB");
    }
    return decompiling ? decompileFile(folder, input) : compileFile(folder, input);
}

#include "ToolFiles.h"

#include "zenta/lang/program.hpp"
#include "zenta/lang/regularfile.hpp"
#include "zenta/lang/text.hpp"

#include <cstdio>
#include <unistd.h>

namespace zenta::tools {

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

Read readFile(const std::string &path, std::string &out, std::size_t cap)
{
    zenta::lang::FileRead file = zenta::lang::readRegularFile(path, cap);
    out = std::move(file.bytes);
    switch (file.status) {
    case zenta::lang::FileStatus::Ok: return Read::Ok;
    case zenta::lang::FileStatus::TooLarge: return Read::TooLarge;
    default: return Read::Missing;
    }
}

bool writeResult(const char *tool, const std::string &path, const std::vector<std::string> &lines)
{
    std::string warning;
    const std::string problem = zenta::lang::replaceFile(path, zenta::lang::joinLines(lines), &warning);
    if (!warning.empty())
        std::fprintf(stderr, "%s: %s\n", tool, warning.c_str());
    if (problem.empty())
        return true;
    // The panel finds no result file and says so; this says why.
    std::fprintf(stderr, "%s: cannot write %s: %s\n", tool, path.c_str(), problem.c_str());
    return false;
}

std::string scrub(std::string s)
{
    for (char &c : s)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '?';
    for (std::size_t at = s.find("Line"); at != std::string::npos; at = s.find("Line", at))
        s[at] = 'l';
    return s;
}

bool bareName(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

namespace {

std::string trim(const std::string &v)
{
    const auto b = v.find_first_not_of(" \t");
    const auto e = v.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
}

}  // namespace

const std::string *Setup::get(const std::string &key) const
{
    const auto it = values.find(key);
    return it == values.end() ? nullptr : &it->second;
}

Setup parseSetup(const std::string &bytes)
{
    Setup s;
    int n = 0;
    // One line at a time: a file of blank lines costs nothing per line.
    zenta::lang::LineReader reader(bytes);
    for (std::string_view raw; reader.next(raw);) {
        ++n;
        const std::string line = trim(std::string(raw));
        if (line.empty())
            continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            if (s.problem.empty())
                s.problem = "setup line " + std::to_string(n) + " is not KEY:VALUE";
            continue;
        }
        s.values[trim(line.substr(0, colon))] = trim(line.substr(colon + 1));
    }
    return s;
}

ResultLine judgeResultLine(std::string_view line, std::string_view what)
{
    if (line.substr(0, what.size()) != what)
        return ResultLine::Other;
    return zenta::lang::reportsFailure(line) ? ResultLine::Failed : ResultLine::Ok;
}

std::string okLine(const std::string &what, std::size_t lines)
{
    return what + " OK " + std::to_string(lines) + " lines";
}

}  // namespace zenta::tools

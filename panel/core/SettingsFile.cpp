#include "SettingsFile.h"

#include "zenta/lang/text.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

namespace SettingsFile {

namespace {

// Characters of one command frame.
constexpr std::size_t kFrameChars = 64;

const std::string headerStart = "[ZENTA-KDR-V3 driver settings, format ";

bool startsWith(const std::string &s, const std::string &prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// Blank: the Latin-1 characters that are blanks, the no-break space among them.
bool isComment(const std::string &line)
{
    return startsWith(line, ";") || startsWith(line, "#") ||
           line.find_first_not_of(" \t\r\n\v\f\x85\xA0") == std::string::npos;
}

std::string joined(const std::vector<std::string> &items, const char *separator)
{
    std::string s;
    for (const std::string &i : items)
        s += (s.empty() ? "" : separator) + i;
    return s;
}

// A list too long to quote whole is named by its ends.
std::string describe(const std::vector<std::string> &allowed)
{
    if (allowed.size() > 6)
        return allowed.front() + " to " + allowed.back();
    return joined(allowed, ", ");
}

std::string quoted(const std::string &s) { return "\"" + s + "\""; }

}  // namespace

std::string headerLine(int version)
{
    return headerStart + std::to_string(version) + "]";
}

std::string Refusal::message() const
{
    std::vector<std::string> parts;
    if (line > 0)
        parts.push_back("line " + std::to_string(line));
    if (!key.empty())
        parts.push_back("key " + quoted(key));
    return joined(parts, ", ") + ": " + reason + ".";
}

std::variant<std::string, Refusal> format(const std::vector<Entry> &entries)
{
    std::string out = headerLine() + "\r\n";
    for (const Entry &e : entries) {
        if (e.value.find_first_of("\r\n") != std::string::npos)
            return Refusal{0, e.key, "the value holds a line break, which the file cannot keep"};
        out += e.key + "=" + e.value + "\r\n";
    }
    return out;
}

std::variant<std::vector<Entry>, Refusal> parse(std::string_view bytes, const std::vector<Rule> &rules)
{
    const std::vector<std::string> lines = zenta::lang::splitLines(bytes);
    if (lines.empty() || !startsWith(lines.front(), headerStart) || lines.front().back() != ']')
        return Refusal{1, {}, "this is not a driver settings file (its first line must be " + quoted(headerLine()) + ")"};
    if (lines.front() != headerLine()) {
        const std::string version =
            lines.front().substr(headerStart.size(), lines.front().size() - headerStart.size() - 1);
        return Refusal{1, {}, "format " + version + " is not one this panel reads (it reads format " +
                                  std::to_string(kVersion) + ")"};
    }

    std::map<std::string, std::size_t> ruleIndex;
    for (std::size_t i = 0; i < rules.size(); ++i)
        ruleIndex.emplace(rules[i].key, i);
    std::vector<std::optional<std::string>> values(rules.size());
    std::vector<int> seenOn(rules.size(), 0);

    for (std::size_t n = 1; n < lines.size(); ++n) {
        const std::string &line = lines[n];
        const int lineNumber = static_cast<int>(n) + 1;
        if (isComment(line))
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            return Refusal{lineNumber, {}, quoted(line) + " is not a key=value line"};
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        const auto it = ruleIndex.find(key);
        if (it == ruleIndex.end())
            return Refusal{lineNumber, key, "no such setting"};
        const std::size_t i = it->second;
        if (seenOn[i])
            return Refusal{lineNumber, key, "given a second time (first on line " + std::to_string(seenOn[i]) + ")"};
        if (const auto why = rules[i].check(value))
            return Refusal{lineNumber, key, *why};
        seenOn[i] = lineNumber;
        values[i] = value;
    }

    std::vector<Entry> entries;
    const int last = static_cast<int>(lines.size());
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (!values[i])
            return Refusal{last, rules[i].key, "missing (the file ends at line " + std::to_string(last) + " without it)"};
        entries.push_back(Entry{rules[i].key, *values[i]});
    }
    return entries;
}

std::optional<std::string> checkOneOf(const std::string &value, const std::vector<std::string> &allowed)
{
    if (std::find(allowed.begin(), allowed.end(), value) != allowed.end())
        return std::nullopt;
    return quoted(value) + " is not one of the values offered (" + describe(allowed) + ")";
}

std::optional<std::string> checkFlag(const std::string &value)
{
    return checkOneOf(value, {"0", "1"});
}

std::vector<std::string> deviceIds()
{
    std::vector<std::string> ids;
    for (int i = 0; i < 100; ++i) {
        char id[3];
        std::snprintf(id, sizeof id, "%02d", i);
        ids.push_back(id);
    }
    return ids;
}

std::vector<std::string> runCurrents()
{
    std::vector<std::string> currents;
    for (int i = 1; i <= 20; ++i)
        currents.push_back(std::to_string(i / 10) + "." + std::to_string(i % 10));
    return currents;
}

std::vector<std::string> idleCurrents()
{
    std::vector<std::string> currents = runCurrents();
    currents.push_back("0");
    return currents;
}

std::vector<std::string> microsteps()
{
    return {"1", "2", "4", "16"};
}

std::vector<std::string> controlModes()
{
    return {"USB", "Analog"};
}

std::vector<Rule> rules()
{
    using Check = std::function<std::optional<std::string>(const std::string &)>;
    auto list = [](const std::vector<std::string> &allowed) -> Check {
        return [allowed](const std::string &v) { return checkOneOf(v, allowed); };
    };
    auto text = [](const std::string &command) -> Check {
        return [command](const std::string &v) -> std::optional<std::string> {
            const std::size_t room = kFrameChars - command.size();
            if (v.size() > room)
                return "longer than the " + std::to_string(room) + " characters that fit one command after " +
                       quoted(command);
            return std::nullopt;
        };
    };
    const Check checks[] = {list(deviceIds()),    list(runCurrents()), list(idleCurrents()), list(microsteps()),
                            list(controlModes()), text("PB="),         checkFlag,            checkFlag,
                            text("DOBOOT="),      checkFlag,           checkFlag};
    std::vector<Rule> all;
    for (std::size_t i = 0; i < keys.size(); ++i)
        all.push_back(Rule{keys[i], checks[i]});
    return all;
}

}  // namespace SettingsFile

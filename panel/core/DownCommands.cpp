#include "DownCommands.h"

#include <algorithm>

namespace DownCommands {

namespace {

const std::string *find(const std::vector<SettingsFile::Entry> &settings, const std::string &key)
{
    for (const SettingsFile::Entry &e : settings)
        if (e.key == key)
            return &e.value;
    return nullptr;
}

}  // namespace

std::vector<Command> build(const std::vector<SettingsFile::Entry> &settings)
{
    auto valueOf = [&](const std::string &key) {
        const std::string *v = find(settings, key);
        return v ? *v : std::string();
    };
    auto position = [&](const std::string &key, const std::vector<std::string> &list) {
        const auto at = std::find(list.begin(), list.end(), valueOf(key));
        return at == list.end() ? std::string("0") : std::to_string(at - list.begin() + 1);
    };
    auto flag = [&](const std::string &key) { return valueOf(key) == "1" ? 1 : 0; };
    // "POL=" and "SLOAD=" carry their value after a sign position: a blank for
    // the non-negative values two flags make.
    auto signed1 = [](int v) { return " " + std::to_string(v); };

    std::vector<Command> out;
    if (const std::string *id = find(settings, "DeviceName"))
        out.push_back({"DeviceName", kDeviceName, "CFG" + *id});
    out.push_back({{}, "P1", ""});
    out.push_back({{}, "P2", ""});
    out.push_back({"RunCurrent", "P6", position("RunCurrent", SettingsFile::runCurrents())});
    out.push_back({{}, "P7", ""});
    out.push_back({"IdleCurrent", "P8", position("IdleCurrent", SettingsFile::idleCurrents())});
    out.push_back({"Microstep", "P9", position("Microstep", SettingsFile::microsteps())});
    const std::vector<std::string> modes = SettingsFile::controlModes();
    if (std::find(modes.begin(), modes.end(), valueOf("ControlMode")) != modes.end())
        out.push_back({"ControlMode", "PA", position("ControlMode", modes)});
    out.push_back({"TimeOut", "PB", valueOf("TimeOut")});
    out.push_back({"DOPolarity/DIPolarity", "POL", signed1(flag("DOPolarity") + 2 * flag("DIPolarity")), true});
    out.push_back({"DOBoot", "DOBOOT", valueOf("DOBoot")});
    out.push_back({"AutoRun0/AutoRun1", "SLOAD", signed1(flag("AutoRun0") + 2 * flag("AutoRun1")), true});
    return out;
}

}  // namespace DownCommands

// The driver settings between the device and the panel's settings file:
// read as the panel's "Upload" reads them, written as its "Down" writes
// them, in the same order, then read back.
#include "Commands.h"
#include "Exit.h"
#include "Signals.h"
#include "Text.h"

#include "core/Bits24.h"
#include "core/DownCommands.h"
#include "core/Numbers.h"
#include "core/SettingsFile.h"
#include "zenta/lang/text.hpp"
#include "zenta/lang/transfer.hpp"

#include <algorithm>
#include <cctype>

namespace zentactl {

using json = nlohmann::ordered_json;
using SettingsFile::Entry;
using zenta::core::parseInt32;

namespace {

std::string valueOf(const std::vector<Entry> &entries, const std::string &key)
{
    for (const Entry &e : entries)
        if (e.key == key)
            return e.value;
    return {};
}

json asJson(const std::vector<Entry> &entries)
{
    json o = json::object();
    for (const Entry &e : entries) {
        std::string key = e.key;
        for (char &c : key)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        o[key] = utf8(e.value);
    }
    return o;
}

// What one register holds for the file's value: the panel's list
// (core/DownCommands.h).
using Register = DownCommands::Command;

// "POL=" and "SLOAD=" carry their value after a sign position, a blank.
std::string signed1(int v) { return " " + std::to_string(v); }

// Whether the device reads back what was sent: numbers by value (the
// device writes them its own way), other text as it is.
bool readsBack(const std::string &sent, const std::string &reply)
{
    const auto a = zenta::core::parseNumber(sent), b = zenta::core::parseNumber(reply);
    if (a && b)
        return *a == *b;
    return sent == reply;
}

// The command that sets a register back to what it read as `held`, in the
// form the set itself uses.
std::string restoreCommand(const Register &r, const std::string &held)
{
    const auto v = parseInt32(held);
    return r.name + "=" + (r.signPosition && v ? signed1(*v) : held);
}

std::string joinedWith(const std::vector<std::string> &items, const char *separator)
{
    std::string s;
    for (const std::string &i : items)
        s += (s.empty() ? "" : separator) + i;
    return s;
}

[[noreturn]] void cannotHold(Context &c, const char *command, const std::string &reply, const char *key)
{
    stop(Failed, c.name() + " answers \"" + command + "\" with \"" + utf8(reply) + "\", which the settings file's " +
                     key + " cannot hold");
}

// A list setting from its register: the reply's position in the list.
std::string fromList(Context &c, const char *command, const std::vector<std::string> &list, const char *key)
{
    const std::string reply = c.device().ask(command);
    const auto v = parseInt32(reply);
    if (!v || *v < 1 || *v > static_cast<int32_t>(list.size()))
        cannotHold(c, command, reply, key);
    return list[static_cast<std::size_t>(*v - 1)];
}

// The settings as the panel's "Upload" reads them, as file entries.
std::vector<Entry> readSettings(Context &c)
{
    Link &link = c.device();
    const std::string id = link.ask("ID");
    if (id != "KVL-CFG-UV-USB")
        stop(Failed, "Reply Error! (" + c.name() + " answers \"ID\" with \"" + utf8(id) + "\")");
    const std::string dn = link.ask("DN");
    const std::optional<std::string> named = zenta::lang::deviceIdOf(dn);
    if (!named)
        cannotHold(c, "DN", dn, "DeviceName");
    const std::string deviceId = *named;
    const std::string run = fromList(c, "P6", SettingsFile::runCurrents(), "RunCurrent");
    const std::string idle = fromList(c, "P8", SettingsFile::idleCurrents(), "IdleCurrent");
    const std::string step = fromList(c, "P9", SettingsFile::microsteps(), "Microstep");
    const std::string mode = fromList(c, "PA", SettingsFile::controlModes(), "ControlMode");
    const std::string timeOut = link.ask("PB");
    const std::string pol = link.ask("POL");
    const auto polarity = parseInt32(pol);
    if (!polarity || *polarity < 0 || *polarity > 3)
        cannotHold(c, "POL", pol, "DOPolarity and DIPolarity");
    const std::string doBoot = link.ask("DOBOOT");
    const std::string sload = link.ask("SLOAD");
    const auto autoRun = parseInt32(sload);
    if (!autoRun)
        cannotHold(c, "SLOAD", sload, "AutoRun0 and AutoRun1");
    auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
    const std::string values[] = {deviceId,
                                  run,
                                  idle,
                                  step,
                                  mode,
                                  timeOut,
                                  flag(*polarity & 1),
                                  flag(*polarity & 2),
                                  doBoot,
                                  flag(modTollan::BitAnd24(*autoRun, 1) == 1),
                                  flag(modTollan::BitAnd24(*autoRun, 2) == 2)};
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < SettingsFile::keys.size(); ++i)
        entries.push_back(Entry{SettingsFile::keys[i], values[i]});
    return entries;
}

}  // namespace

void settingsGet(Context &c, const std::string &file)
{
    const std::vector<Entry> entries = readSettings(c);
    const auto bytes = SettingsFile::format(entries);
    if (const auto *why = std::get_if<SettingsFile::Refusal>(&bytes))
        stop(Failed, "the settings of " + c.name() + " cannot be written: " + utf8(why->message()));
    const std::string &data = std::get<std::string>(bytes);
    json result{{"device", c.name()}, {"settings", asJson(entries)}};
    if (file == "-") {
        c.out.carriesData();
        if (c.out.json())
            c.out.object(result);
        else
            c.out.bytes(data);
        return;
    }
    if (const std::string why = zenta::lang::replaceFile(file, data); !why.empty())
        stop(Failed, "the settings were not saved: " + why);
    result["file"] = file;
    c.out.result(c.name() + ": settings saved to " + file, result);
}

void settingsSet(Context &c, const std::string &file, const std::string &bytes, bool alsoStore, bool rename)
{
    // The whole file is checked before anything is sent.
    const auto parsed = SettingsFile::parse(bytes, SettingsFile::rules());
    if (const auto *why = std::get_if<SettingsFile::Refusal>(&parsed))
        stop(Failed, file + ": " + utf8(why->message()));
    const std::vector<Entry> &entries = std::get<std::vector<Entry>>(parsed);

    Link &link = c.device();
    std::vector<Register> all = DownCommands::build(entries);
    // The panel sends the device ID first; here it goes last (below).
    const Register newId = all.front();
    all.erase(all.begin());
    // What the driver holds now, put back if the file does not go in whole
    // (a refusal, a value that reads back otherwise, a signal): a failed set
    // must not leave it half set.
    std::vector<std::string> held;
    for (const Register &r : all) {
        const std::string reply = link.ask(r.name);
        held.push_back(restoreCommand(r, reply));
        if (held.back().size() > TOLLANCOM_FRAME)
            stop(Failed, c.name() + " answers \"" + r.name + "\" with \"" + utf8(reply) +
                             "\", which could not be sent back; nothing was sent");
    }
    // As the panel's "Down": a new device ID is set only on a Yes, which
    // here is --rename; without it the device keeps its own.
    const std::string id = valueOf(entries, "DeviceName");
    const std::string dn = link.ask("DN");
    const std::optional<std::string> named = zenta::lang::deviceIdOf(dn);
    if (!named)
        stop(Failed, c.name() + " answers \"DN\" with \"" + utf8(dn) + "\", which is no device name; nothing was sent");
    const std::string current = *named;
    std::vector<std::string> notes;
    if (current != id && !rename)
        notes.push_back(c.name() + " keeps its device ID " + utf8(current) + " (the file has " + id +
                        "; --rename sets it)");
    if (caughtSignal())
        stop(128 + caughtSignal(), c.name() + ": interrupted by " + signalName(caughtSignal()) + "; nothing was sent");

    std::vector<std::string> faults;
    bool renamed = false;
    std::vector<bool> took(all.size(), false);
    std::string lastSent;
    try {
        for (std::size_t i = 0; i < all.size() && !caughtSignal(); ++i) {
            lastSent = all[i].name + "=" + all[i].value;
            const std::string reply = link.ask(lastSent);
            took[i] = reply == "OK";
            if (!took[i])
                faults.push_back("\"" + utf8(lastSent) + "\" refused: " + utf8(reply));
        }
        for (std::size_t i = 0; i < all.size() && !caughtSignal(); ++i) {
            if (all[i].key.empty())
                continue;
            const std::string reply = link.ask(all[i].name);
            if (!readsBack(all[i].value, reply))
                faults.push_back(all[i].key + " (" + all[i].name + ") reads back \"" + utf8(reply) + "\", not \"" +
                                 utf8(all[i].value) + "\"");
        }
        // The new ID goes last, once the values are in: a file that fails
        // never touches an ID already waiting for a store.
        if (faults.empty() && !caughtSignal() && current != id && rename) {
            const std::string command = newId.text();
            if (const std::string reply = link.ask(command); reply == "OK")
                renamed = true;
            else
                faults.push_back("Error setting device ID (\"" + command + "\" answered \"" + utf8(reply) + "\")");
        }
    } catch (const Stop &s) {
        if (s.status != NoAnswer)
            throw;
        stop(NoAnswer, s.message + "; it may hold part of the file (its values up to \"" + utf8(lastSent) +
                           "\" were sent), and nothing could be put back");
    }

    const int signal = caughtSignal();
    if (!faults.empty() || signal) {
        std::string text = c.name() + ": " +
                           (signal ? std::string("interrupted by ") + signalName(signal) : joinedWith(faults, "; "));
        std::vector<std::string> notPutBack;
        try {
            for (std::size_t i = 0; i < all.size(); ++i)
                if (took[i])
                    if (const std::string reply = link.ask(held[i]); reply != "OK")
                        notPutBack.push_back("\"" + utf8(held[i]) + "\" answered \"" + utf8(reply) + "\"");
        } catch (const Stop &s) {
            if (s.status != NoAnswer)
                throw;
            stop(NoAnswer, text + "; putting back what it held before stopped: " + s.message);
        }
        text += notPutBack.empty() ? "; the settings it held before were put back"
                                   : "; putting back the settings it held before failed: " + joinedWith(notPutBack, ", ");
        stop(signal ? 128 + signal : Failed, text + (alsoStore ? "; nothing stored" : ""));
    }
    // What the device holds: its own ID, which a new one replaces only at
    // the next power-up after a store.
    std::vector<Entry> holds = entries;
    for (Entry &e : holds)
        if (e.key == "DeviceName")
            e.value = current;
    json result{{"device", c.name()},
                {"settings", asJson(holds)},
                {"id", current == id ? "same" : renamed ? "set" : "kept"}};
    if (renamed)
        result["newid"] = utf8(id);
    result["stored"] = false;
    std::string text = c.name() + ": settings set, every value reads back as sent";
    for (const std::string &n : notes)
        text += "\n" + n;
    if (renamed && !alsoStore)
        text += "\n" + c.name() + ": Device ID Set.  Perform store to flash and reset power for new Device ID to take effect.";
    if (alsoStore) {
        const std::string reply = link.ask("STORE");
        if (reply != "OK")
            stop(Failed, c.name() + ": Error setting flash! (\"STORE\" answered \"" + utf8(reply) + "\")" +
                             (renamed ? "; the new device ID " + id + " waits for a store" : ""));
        result["stored"] = true;
        text += "\n" + c.name() + ": Store to Flash done!";
        if (renamed)
            text += "\n" + c.name() + ": Device ID Set and stored: the device is CFG" + id + " from its next power-up.";
    }
    c.out.result(text, result);
}

}  // namespace zentactl

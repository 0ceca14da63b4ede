// The driver settings between the device and the panel's settings file:
// read as the panel's "Upload" reads them, written as its "Down" writes
// them, in the same order, then read back; compared by the rule that judges
// a read-back.
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
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>

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

// Why what the device answers cannot go into a settings file.
std::string cannotHold(Context &c, const char *command, const std::string &reply, const char *key)
{
    return c.name() + " answers \"" + command + "\" with \"" + utf8(reply) + "\", which the settings file's " + key +
           " cannot hold";
}

// What the device holds, as file entries, or why the file cannot hold it.
using Held = std::variant<std::vector<Entry>, std::string>;

// The settings as the panel's "Upload" reads them, as file entries. Every
// register is read before any is judged, so that get, diff and set's check
// make the same exchanges whatever the device holds.
Held readHeld(Context &c)
{
    Link &link = c.device();
    const std::string id = link.ask("ID");
    if (id != "KVL-CFG-UV-USB")
        return "Reply Error! (" + c.name() + " answers \"ID\" with \"" + utf8(id) + "\")";
    const char *const commands[] = {"DN", "P6", "P8", "P9", "PA", "PB", "POL", "DOBOOT", "SLOAD"};
    std::string replies[std::size(commands)];
    for (std::size_t i = 0; i < std::size(commands); ++i)
        replies[i] = link.ask(commands[i]);
    const auto &[dn, p6, p8, p9, pa, pb, pol, doBoot, sload] = replies;

    const std::optional<std::string> named = zenta::lang::deviceIdOf(dn);
    if (!named)
        return cannotHold(c, "DN", dn, "DeviceName");
    struct ListSetting {
        const char *command;
        const std::string &reply;
        std::vector<std::string> list;
        const char *key;
    };
    const ListSetting lists[] = {{"P6", p6, SettingsFile::runCurrents(), "RunCurrent"},
                                 {"P8", p8, SettingsFile::idleCurrents(), "IdleCurrent"},
                                 {"P9", p9, SettingsFile::microsteps(), "Microstep"},
                                 {"PA", pa, SettingsFile::controlModes(), "ControlMode"}};
    std::string listed[std::size(lists)];
    for (std::size_t i = 0; i < std::size(lists); ++i) {
        const auto v = parseInt32(lists[i].reply);
        if (!v || *v < 1 || *v > static_cast<int32_t>(lists[i].list.size()))
            return cannotHold(c, lists[i].command, lists[i].reply, lists[i].key);
        listed[i] = lists[i].list[static_cast<std::size_t>(*v - 1)];
    }
    const auto polarity = parseInt32(pol);
    if (!polarity || *polarity < 0 || *polarity > 3)
        return cannotHold(c, "POL", pol, "DOPolarity and DIPolarity");
    const auto autoRun = parseInt32(sload);
    if (!autoRun)
        return cannotHold(c, "SLOAD", sload, "AutoRun0 and AutoRun1");
    auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
    const std::string values[] = {*named,
                                  listed[0],
                                  listed[1],
                                  listed[2],
                                  listed[3],
                                  pb,
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

// What the device holds; a value the file cannot hold ends the program,
// `after` saying what that leaves undone.
std::vector<Entry> readSettings(Context &c, const std::string &after = {})
{
    Held held = readHeld(c);
    if (const auto *why = std::get_if<std::string>(&held))
        stop(Failed, *why + after);
    return std::get<std::vector<Entry>>(std::move(held));
}

// The file's entries, checked whole before anything is read or sent: the
// one reader of set and diff.
std::vector<Entry> fileEntries(const std::string &file, const std::string &bytes)
{
    const auto parsed = SettingsFile::parse(bytes, SettingsFile::rules());
    if (const auto *why = std::get_if<SettingsFile::Refusal>(&parsed))
        stop(Failed, file + ": " + utf8(why->message()));
    return std::get<std::vector<Entry>>(parsed);
}

struct Difference {
    std::string key, device, file;
};

// The settings whose value on the device is not the file's, by the rule
// that judges a read-back (readsBack); the device ID only with `withId`.
std::vector<Difference> differences(const std::vector<Entry> &device, const std::vector<Entry> &file, bool withId)
{
    std::vector<Difference> out;
    for (const std::string &key : SettingsFile::keys) {
        if (key == "DeviceName" && !withId)
            continue;
        const std::string held = valueOf(device, key), wanted = valueOf(file, key);
        if (!readsBack(wanted, held))
            out.push_back({key, held, wanted});
    }
    return out;
}

// A device's name or serial as part of a file name: what a folder cannot
// hold, or a shell would read otherwise, becomes "_". Cut to a length that
// leaves the whole name within a folder's limit (a USB serial may have 256
// bytes); the numbered names keep backups apart all the same.
std::string fileNamePart(const std::string &s)
{
    constexpr std::size_t kMostBytes = 64;
    std::string out;
    for (char ch : s.substr(0, kMostBytes))
        out += std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '.' ? ch : '_';
    return out.empty() || out[0] == '.' ? "_" + out : out;
}

// What the device holds, written in `dir` as a settings file of its own
// that no other backup's name takes: named by device, serial and UTC time,
// with "-2", "-3" ... after the time when that name is taken (the same
// device backed up twice within a second). Returns its path.
std::string writeBackup(Context &c, const std::string &dir, const std::vector<Entry> &held)
{
    const auto bytes = SettingsFile::format(held);
    if (const auto *why = std::get_if<SettingsFile::Refusal>(&bytes))
        stop(Failed, "the settings of " + c.name() + " cannot be backed up: " + utf8(why->message()) +
                         "; nothing was sent");
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    std::string folder = dir;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    const std::string base = (folder == "/" ? "" : folder) + "/" + fileNamePart(c.name()) + "_" +
                             fileNamePart(c.device().device().serial) + "_" + stamp;
    constexpr int kMostSameSecond = 1000;
    for (int n = 1; n <= kMostSameSecond; ++n) {
        const std::string path = base + (n > 1 ? "-" + std::to_string(n) : std::string()) + ".ini";
        // The name is taken first, so that no other writer's rename can
        // land on it; the file itself then comes whole.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            stop(Failed, "the settings of " + c.name() + " were not backed up: cannot create " + path + ": " +
                             std::strerror(errno) + "; nothing was sent");
        ::close(fd);
        if (const std::string why = zenta::lang::replaceFile(path, std::get<std::string>(bytes)); !why.empty()) {
            ::unlink(path.c_str());
            stop(Failed, "the settings of " + c.name() + " were not backed up: " + why + "; nothing was sent");
        }
        return path;
    }
    stop(Failed, "the settings of " + c.name() + " were not backed up: " + base + ".ini and " +
                     std::to_string(kMostSameSecond - 1) + " more names are taken; nothing was sent");
}

}  // namespace

void checkSettingsFile(const std::string &file, const std::string &bytes) { fileEntries(file, bytes); }

void checkBackupFolder(const std::string &dir)
{
    if (dir.empty())
        stop(BadArguments, "--backup: \"\" is not a folder; nothing was sent");
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        stop(Failed, "--backup: " + dir + ": " + std::strerror(errno) + "; nothing was sent");
    if (!S_ISDIR(st.st_mode))
        stop(Failed, "--backup: " + dir + " is not a folder; nothing was sent");
    // Permissions do not tell (root writes anywhere they allow nothing): a
    // file is made and removed again.
    std::string probe = dir + "/.zentactl-backup-XXXXXX";
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0)
        stop(Failed, "--backup: " + dir + " cannot be written: " + std::strerror(errno) + "; nothing was sent");
    ::close(fd);
    ::unlink(probe.c_str());
}

void settingsDiff(Context &c, const std::string &file, const std::string &bytes, bool withId)
{
    const std::vector<Entry> entries = fileEntries(file, bytes);
    const std::vector<Entry> held = readSettings(c);
    const std::vector<Difference> found = differences(held, entries, withId);
    json list = json::array();
    std::string lines;
    for (const Difference &d : found) {
        list.push_back({{"setting", d.key}, {"device", utf8(d.device)}, {"file", utf8(d.file)}});
        lines += d.key + ": device " + utf8(d.device) + ", file " + utf8(d.file) + "\n";
    }
    json result{{"device", c.name()}, {"file", file}, {"same", found.empty()}, {"differences", list}};
    if (found.empty()) {
        std::string text = c.name() + ": no setting differs from " + file;
        if (!withId && !differences(held, entries, true).empty())
            text += " (its device ID " + utf8(valueOf(held, "DeviceName")) + " does; --with-id compares it)";
        c.out.result(text, result);
        return;
    }
    if (c.out.json())
        c.out.object(result);
    else
        c.out.bytes(lines);
    const std::size_t n = found.size();
    throw Stop{Differs,
               c.name() + ": " + std::to_string(n) + (n == 1 ? " setting differs" : " settings differ") + " from " + file,
               false, json::object(), true};
}

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

namespace {

// The file sent as the panel's "Down" sends it, every value read back; what
// the driver held is put back when it does not go in whole. `current` is
// the device ID in use, `renamed` whether --rename set the file's.
void sendAll(Context &c, const std::vector<Entry> &entries, bool alsoStore, bool rename, std::string &current,
             bool &renamed)
{
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
    current = *named;
    if (caughtSignal())
        stop(128 + caughtSignal(), c.name() + ": interrupted by " + signalName(caughtSignal()) + "; nothing was sent");

    std::vector<std::string> faults;
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
}

// What settings set does once the file is checked (and the device backed
// up to `backup`): `held` is what the device holds in the file's terms, or
// why it cannot be told so, and then the file is sent whole.
void sendSettings(Context &c, const std::string &file, const std::vector<Entry> &entries, bool alsoStore, bool rename,
                  const Held &held, const std::string &backup)
{
    const std::string id = valueOf(entries, "DeviceName");
    // A device that holds every value already gets no set command: nothing
    // to put back, nothing half set. A store still goes, since the flash may
    // hold other values than those the device runs with.
    const auto *now = std::get_if<std::vector<Entry>>(&held);
    const bool already = now && differences(*now, entries, rename).empty();
    std::string current;
    bool renamed = false;
    if (already) {
        current = valueOf(*now, "DeviceName");
        if (caughtSignal())
            stop(128 + caughtSignal(), c.name() + ": interrupted by " + signalName(caughtSignal()) + "; nothing was sent");
    } else {
        sendAll(c, entries, alsoStore, rename, current, renamed);
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
    result["sent"] = !already;
    if (!backup.empty())
        result["backup"] = backup;
    result["stored"] = false;
    std::string text = c.name() + (already ? ": already holds every value of " + file + "; no set command sent"
                                           : std::string(": settings set, every value reads back as sent"));
    if (current != id && !rename)
        text += "\n" + c.name() + " keeps its device ID " + utf8(current) + " (the file has " + id +
                "; --rename sets it)";
    if (renamed && !alsoStore)
        text += "\n" + c.name() + ": Device ID Set.  Perform store to flash and reset power for new Device ID to take effect.";
    if (alsoStore) {
        const std::string reply = c.device().ask("STORE");
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

}  // namespace

void settingsSet(Context &c, const std::string &file, const std::string &bytes, bool alsoStore, bool rename,
                 const std::string &backupDir)
{
    // The whole file is checked before anything is sent.
    const std::vector<Entry> entries = fileEntries(file, bytes);
    if (backupDir.empty()) {
        sendSettings(c, file, entries, alsoStore, rename, readHeld(c), {});
        return;
    }
    // What the device holds is saved before anything is sent; a backup that
    // cannot be made sends nothing.
    const std::vector<Entry> held = readSettings(c, "; it cannot be backed up, nothing was sent");
    const std::string path = writeBackup(c, backupDir, held);
    c.out.line(c.name() + ": the settings it held are saved in " + path);
    try {
        sendSettings(c, file, entries, alsoStore, rename, held, path);
    } catch (Stop &s) {
        if (s.status != Success)
            s.result["backup"] = path;
        throw;
    }
}

}  // namespace zentactl

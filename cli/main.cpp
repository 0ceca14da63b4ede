// zentactl: every device task of the panel from a shell, for scripts and
// production lines. Arguments and files are checked whole before a device
// is opened, so bad input never reaches one; see zentactl(1) for the
// commands and exit statuses.
#include "Commands.h"
#include "Exit.h"
#include "Line.h"
#include "Signals.h"
#include "Text.h"

#include "ToolFiles.h"
#include "core/SettingsFile.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <functional>
#include <optional>
#include <climits>
#include <poll.h>
#include <unistd.h>

using namespace zentactl;

namespace {

const char *const kCommands = "list, status, move, datum, jog, stop, mode, output, var, send, settings, store, "
                              "program or wait";

// What -d takes, as its errors say it.
const char *const kDeviceTakes = "a name (CFG01), a product string, a serial or #N with N an index from list";

// The commands a line (-d all, a list) takes; the others that open a device
// take one device only.
const char *const kLineCommands[] = {"status",        "stop",         "mode",          "output",
                                     "var",           "send",         "move",          "datum",
                                     "store",         "wait",         "settings diff", "settings set",
                                     "program download", "program verify", "program run", "program stop",
                                     "program pause", "program cont", "program status"};
// Those that open no device at all, where -d changes nothing.
const char *const kDeviceless[] = {"list", "program check"};

// The ranges the device takes for HSPD and ACC (zenta-sim(1), the device's own).
constexpr int32_t kLeastSpeed = 1, kGreatestSpeed = 6000000;
constexpr int32_t kLeastAccel = 1, kGreatestAccel = 65535;

// What each argument takes, for the parser's errors: options by name,
// positionals by name within their command ("" for every command).
struct Takes {
    const char *command, *name, *what;
};
const Takes kTakes[] = {
    {"", "--device", kDeviceTakes},
    {"", "--jobs", "a number of devices at once from 1 to 64"},
    {"", "--retry", "a number of seconds from 0 to 86400"},
    {"", "--speed", "a speed from 1 to 6000000 pulses per second"},
    {"", "--accel", "an acceleration time from 1 to 65535 milliseconds"},
    {"", "--timeout", "a number of seconds from 0 to 86400"},
    {"", "--for", "a number of seconds from 0 to 3600"},
    {"", "--count", "a number of readings from 1"},
    {"", "-o", "a file name, or - for standard output"},
    {"", "TARGET", "a whole number, the position (or the distance in INC mode)"},
    {"", "DIRECTION", "+ or -"},
    {"", "MODE", "abs or inc"},
    {"", "OUTPUT", "DO1, DO2 or EO"},
    {"", "STATE", "on or off (1 or 0)"},
    {"", "COMMAND", "the command as the terminal would send it"},
    {"", "THREAD", "0, 1 or all"},
    {"", "UNTIL", "idle or stopped"},
    {"settings get", "FILE", "a file name, or - for standard output"},
    {"settings set", "FILE", "a settings file, or - for standard input"},
    {"settings diff", "FILE", "a settings file, or - for standard input"},
    {"", "--backup", "a folder the backup is written in"},
    {"program check", "FILE", "a program: a .prg program text or a compiled file"},
    {"program download", "FILE", "a program: a .prg program text or a compiled file"},
    {"program verify", "FILE", "a program: a .prg program text or a compiled file"},
};

std::string takes(const std::string &command, const std::string &name)
{
    for (const Takes &t : kTakes)
        if (name == t.name && (!*t.command || command == t.command))
            return t.what;
    return {};
}

// The options that take a value, whose value is no command word.
bool takesValue(const std::string &option)
{
    for (const char *o : {"-d", "--device", "--retry", "--jobs", "--speed", "--accel", "--timeout", "--for", "--count",
                          "-o", "--backup", kLineSerialOption, kLineInputOption})
        if (option == o)
            return true;
    return false;
}

int32_t inRange(const char *what, const std::string &text, int32_t least, int32_t greatest, const char *noun,
                const char *unit)
{
    const auto v = strictInt32(text);
    if (!v || *v < least || *v > greatest)
        stop(BadArguments, std::string(what) + ": \"" + text + "\" is not " + noun + " from " + std::to_string(least) +
                               " to " + std::to_string(greatest) + " " + unit);
    return *v;
}

int32_t wholeNumber(const char *what, const std::string &text)
{
    const auto v = strictInt32(text);
    if (!v)
        stop(BadArguments, std::string(what) + ": \"" + text +
                               "\" is not a whole number from -2147483648 to 2147483647");
    return *v;
}

double secondsArg(const char *what, const std::string &text, double longest = kLongestWait)
{
    const auto v = seconds(text, longest);
    if (!v)
        stop(BadArguments, std::string(what) + ": \"" + text + "\" is not a number of seconds from 0 to " +
                               secondsText(longest));
    return *v;
}

// 0, 1 or all (-1).
int threadArg(const std::string &text)
{
    if (text == "0" || text == "1")
        return text[0] - '0';
    if (sameWord(text, "all"))
        return -1;
    stop(BadArguments, "\"" + text + "\" is not a program thread: 0, 1 or all");
}

// "Vn" or "Vn=VALUE", n from 1 to 50 written plainly.
VariableStep variableArg(const std::string &text)
{
    const auto eq = text.find('=');
    const std::string name = text.substr(0, eq);
    const std::string digits = name.size() > 1 ? name.substr(1) : std::string();
    const int32_t n = digits.empty() || digits[0] == '0' ? 0 : strictInt32(digits).value_or(0);
    if (name.empty() || (name[0] != 'V' && name[0] != 'v') || n < 1 || n > 50)
        stop(BadArguments, "\"" + text + "\" is not a variable V1 to V50 (read: Vn, set: Vn=VALUE)");
    VariableStep step{n, std::nullopt};
    if (eq != std::string::npos)
        step.value = wholeNumber(name.c_str(), text.substr(eq + 1));
    return step;
}

std::string fileName(const std::string &path) { return path == "-" ? "standard input" : path; }

// Standard input, whole, within `cap` bytes and a bounded wait.
std::string readStandardInput(std::size_t cap)
{
    constexpr int kLimitMs = 60000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    std::string data;
    char buf[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int r = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (r < 0 && errno == EINTR && !caughtSignal())
            continue;
        if (caughtSignal())
            stop(128 + caughtSignal(), {});
        if (r == 0)
            stop(Failed, "standard input did not end within " + std::to_string(kLimitMs / 1000) + " s");
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            stop(Failed, std::string("standard input cannot be read: ") + std::strerror(errno));
        if (n == 0)
            return data;
        data.append(buf, static_cast<std::size_t>(n));
        if (data.size() > cap)
            stop(Failed, "standard input is larger than " + std::to_string(cap) + " bytes");
    }
}

// A device's zentactl in a line reads the file its line checked from
// standard input (--line-input NAME), so that every device gets the same bytes.
std::string lineInputName;
// The file a command read, for the devices of a line.
std::string lastInputPath, lastInput;

std::string readInput(const std::string &path, std::size_t cap)
{
    lastInputPath = path;
    if (path == "-" || (!lineInputName.empty() && path == lineInputName))
        return lastInput = readStandardInput(cap);
    std::string data;
    switch (zenta::tools::readFile(path, data, cap)) {
    case zenta::tools::Read::Ok: return lastInput = data;
    case zenta::tools::Read::Missing:
        stop(Failed, path + ": cannot be read (missing, unreadable or not a regular file)");
    case zenta::tools::Read::TooLarge:
        stop(Failed, path + ": larger than " + std::to_string(cap) + " bytes");
    }
    return data;
}

// The words that are not options or an option's value: the command first.
std::vector<std::string> commandWords(int argc, char **argv)
{
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (takesValue(a))
            ++i;
        else if (a.empty() || a[0] != '-' || a == "-")
            words.push_back(a);
    }
    return words;
}

// Whether --json was asked for, known before the parser has judged the rest,
// so that its errors are JSON too.
bool jsonAsked(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (takesValue(a))
            ++i;
        else if (a == "--json")
            return true;
    }
    return false;
}

using Action = std::function<void(Context &)>;

struct Cli {
    CLI::App app{"zentactl: the ZENTA-KDR-V3 driver from the command line, for scripts and production lines.",
                 "zentactl"};
    std::vector<std::string> devices;
    std::string retry, jobs, lineSerial;
    bool json = false;
    // Filled by the chosen command once its arguments are checked.
    std::function<Action()> prepare;
    std::string commandName;  // "status", "settings set"

    CLI::App *command(CLI::App &parent, const char *name, const char *help, std::function<Action()> check)
    {
        CLI::App *c = parent.add_subcommand(name, help);
        const std::string path = (&parent == &app ? std::string() : parent.get_name() + " ") + name;
        c->parse_complete_callback([this, check, path] {
            prepare = check;
            commandName = path;
        });
        return c;
    }

    CLI::Option *deviceOption = nullptr, *uploadOption = nullptr;
    // -d as given: names, product strings, serials, #N or all; none empty.
    void checkDevice() const;
    // A line (several devices) only for the commands that take one; --jobs.
    void checkLine() const;
    int jobCount() const;
    bool opensDevice() const
    {
        return std::none_of(std::begin(kDeviceless), std::end(kDeviceless),
                            [&](const char *c) { return commandName == c; });
    }
    // The parser's error in the house style: one sentence naming the
    // argument and what it takes.
    std::string reworded(const CLI::ParseError &e, int argc, char **argv) const;

    // Declared before the app parses; each command's values are kept here.
    std::string target, speed, accel, timeout, count, forSeconds, direction, mode, output, onOff, sendText, file,
        thread, untilWhat;
    std::vector<std::string> vars;
    bool wait = false, watch = false, abortToo = false, storeToo = false, rename = false, withId = false;
    std::string uploadPath, backupDir;
    CLI::Option *backupOption = nullptr;

    Motion motion() const
    {
        Motion m;
        if (!speed.empty())
            m.speed = inRange("--speed", speed, kLeastSpeed, kGreatestSpeed, "a speed", "pulses per second");
        if (!accel.empty())
            m.accel = inRange("--accel", accel, kLeastAccel, kGreatestAccel, "an acceleration time", "milliseconds");
        return m;
    }

    double waitLimit() const { return timeout.empty() ? kDefaultWait : secondsArg("--timeout", timeout); }

    void build();
};

void Cli::build()
{
    app.set_version_flag("--version", "zentactl " ZENTA_VERSION, "Print the version and exit");
    deviceOption = app.add_option("-d,--device", devices,
                                  "The device: its name (CFG01), its product string, its serial, or #N for index N; "
                                  "several: a comma-separated list, -d again, or all")
                       ->type_name("NAME")
                       ->allow_extra_args(false);
    app.add_option("--jobs", jobs, "With several devices: at most N at once (default: all, at most 8)")
        ->type_name("N");
    // A device's own zentactl in a line: its device fixed by serial, and the
    // file its line checked on standard input.
    app.add_option(kLineSerialOption, lineSerial)->group("");
    app.add_option(kLineInputOption, lineInputName)->group("");
    app.add_flag("--json", json, "One JSON object per reading or result");
    app.add_option("--retry", retry, "Wait up to S seconds for a device another program holds")->type_name("S");
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.footer("Exit status: 0 success, 1 bad arguments (nothing sent), 2 the operation failed, 3 no such device,\n"
               "4 no single device chosen (several listed and no -d, or -d names several), 5 the device is\n"
               "in use by another program, 6 the device stopped answering, 7 a wait timed out; 128+N after\n"
               "signal N (0 when it ends a watch or a jog). With several devices: 0 every device succeeded,\n"
               "8 any failed, 9 a diff or verify found a difference. See zentactl(1).");

    command(app, "list", "The devices: index, name, product string, serial", [] { return Action(listDevices); });

    CLI::App *st = command(app, "status", "One reading of everything the main window shows", [this] {
        std::optional<int32_t> n;
        if (!count.empty()) {
            n = wholeNumber("--count", count);
            if (*n < 1)
                stop(BadArguments, "--count: \"" + count + "\" is not a number of readings from 1");
        }
        return Action([w = watch, n](Context &c) { status(c, w, n); });
    });
    CLI::Option *watchFlag = st->add_flag("--watch", watch, "Repeat as fast as the device answers, until Ctrl+C");
    st->add_option("--count", count, "With --watch: stop after N readings")->type_name("N")->needs(watchFlag);

    CLI::App *mv = command(app, "move", "What the move button sends: speed, acceleration, ABORT, then X", [this] {
        const int32_t t = wholeNumber("TARGET", target);
        return Action([t, m = motion(), w = wait, l = waitLimit()](Context &c) { move(c, t, m, w, l); });
    });
    mv->add_option("TARGET", target, "Target position (or distance in INC mode)")->required()->type_name("INTEGER");
    CLI::Option *mvWait = mv->add_flag("--wait", wait, "Return when the axis stands; STOP if ended before");
    mv->add_option("--timeout", timeout, "With --wait: give up (and STOP) after S seconds, default 60")
        ->type_name("S")
        ->needs(mvWait);

    CLI::App *dt = command(app, "datum", "The DATUM sequence: ABORT, then X0", [this] {
        return Action([m = motion(), w = wait, l = waitLimit()](Context &c) { datum(c, m, w, l); });
    });
    CLI::Option *dtWait = dt->add_flag("--wait", wait, "Return when the axis stands; STOP if ended before");
    dt->add_option("--timeout", timeout, "With --wait: give up (and STOP) after S seconds, default 60")
        ->type_name("S")
        ->needs(dtWait);
    for (CLI::App *a : {mv, dt}) {
        a->add_option("--speed", speed, "Speed, pulses per second (HSPD)")->type_name("PPS");
        a->add_option("--accel", accel, "Acceleration time, milliseconds (ACC)")->type_name("MS");
    }

    CLI::App *jg = command(app, "jog", "Jog until Ctrl+C or --for S seconds, then STOP", [this] {
        if (direction != "+" && direction != "-")
            stop(BadArguments, "jog: \"" + direction + "\" is not a direction: + or -");
        const double s = forSeconds.empty() ? kLongestJog : secondsArg("--for", forSeconds, kLongestJog);
        return Action([p = direction == "+", m = motion(), s](Context &c) { jog(c, p, m, s); });
    });
    jg->add_option("DIRECTION", direction, "+ or -")->required();
    jg->add_option("--speed", speed, "Speed, pulses per second (HSPD)")->type_name("PPS");
    jg->add_option("--for", forSeconds, "Stop after S seconds (at most, and by default, 3600)")->type_name("S");

    CLI::App *sp = command(app, "stop", "STOP the axis (decelerates), or ABORT it at once", [this] {
        return Action([a = abortToo](Context &c) { stopAxis(c, a); });
    });
    sp->add_flag("--abort", abortToo, "Send ABORT instead of STOP");

    CLI::App *md = command(app, "mode", "Move mode: abs (ABS) or inc (INC)", [this] {
        if (!sameWord(mode, "abs") && !sameWord(mode, "inc"))
            stop(BadArguments, "mode: \"" + mode + "\" is not a move mode: abs or inc");
        return Action([inc = sameWord(mode, "inc")](Context &c) { setMode(c, inc); });
    });
    md->add_option("MODE", mode, "abs or inc")->required();

    CLI::App *out = command(app, "output", "Switch DO1, DO2 or EO on or off", [this] {
        std::string name;
        for (const char *o : {"DO1", "DO2", "EO"})
            if (sameWord(output, o))
                name = o;
        if (name.empty())
            stop(BadArguments, "output: \"" + output + "\" is not an output: DO1, DO2 or EO");
        const bool on = sameWord(onOff, "on") || onOff == "1";
        if (!on && !sameWord(onOff, "off") && onOff != "0")
            stop(BadArguments, "output: \"" + onOff + "\" is not a state: on or off (1 or 0)");
        return Action([name, on](Context &c) { setOutput(c, name, on); });
    });
    out->add_option("OUTPUT", output, "DO1, DO2 or EO")->required();
    out->add_option("STATE", onOff, "on or off (1 or 0)")->required();

    CLI::App *vr = command(app, "var", "Read (Vn) and set (Vn=VALUE) V1 to V50; none given: read all", [this] {
        std::vector<VariableStep> steps;
        for (const std::string &v : vars)
            steps.push_back(variableArg(v));
        if (steps.empty())
            for (int n = 1; n <= 50; ++n)
                steps.push_back({n, std::nullopt});
        return Action([steps](Context &c) { variables(c, steps); });
    });
    vr->add_option("VARIABLE", vars, "Vn or Vn=VALUE");

    CLI::App *sd = command(app, "send", "One raw exchange; prints the reply", [this] {
        // The text is checked as typed: a command the device would get changed is not sent.
        std::string why;
        const auto bytes = latin1Argument(sendText, &why);
        if (!bytes)
            stop(BadArguments, "send: \"" + sendText + "\" holds " + why + "; not sent");
        if (bytes->size() > TOLLANCOM_FRAME)
            stop(BadArguments, "send: the command has " + std::to_string(bytes->size()) +
                                   " characters, more than the 64 of a frame; not sent");
        return Action([command = *bytes](Context &c) { sendRaw(c, command); });
    });
    sd->add_option("COMMAND", sendText, "The command, as the terminal would send it")->required();

    CLI::App *se = app.add_subcommand("settings", "Driver settings to and from the panel's settings file");
    se->require_subcommand(1, 1);
    CLI::App *sg = command(*se, "get", "Read the device's settings into FILE (- for standard output)", [this] {
        return Action([f = file](Context &c) { settingsGet(c, f); });
    });
    sg->add_option("FILE", file, "The settings file, or -")->required();
    CLI::App *ss = command(*se, "set", "Check FILE whole, send it, read every value back", [this] {
        const std::string bytes = readInput(file, SettingsFile::kMaxFileBytes);
        checkSettingsFile(fileName(file), bytes);
        if (backupOption->count() > 0)
            checkBackupFolder(backupDir);
        return Action([f = file, bytes, s = storeToo, r = rename, b = backupDir](Context &c) {
            settingsSet(c, fileName(f), bytes, s, r, b);
        });
    });
    ss->add_option("FILE", file, "The settings file, or -")->required();
    ss->add_flag("--store", storeToo, "Then store to flash, if every value reads back as sent");
    ss->add_flag("--rename", rename, "Set the file's device ID too (the device keeps its own otherwise)");
    backupOption = ss->add_option("--backup", backupDir, "First save what the device holds as a settings file in DIR")
                       ->type_name("DIR");
    CLI::App *sdf = command(*se, "diff", "What differs between the device and FILE; status 9 when anything does", [this] {
        const std::string bytes = readInput(file, SettingsFile::kMaxFileBytes);
        checkSettingsFile(fileName(file), bytes);
        return Action([f = file, bytes, w = withId](Context &c) { settingsDiff(c, fileName(f), bytes, w); });
    });
    sdf->add_option("FILE", file, "The settings file, or -")->required();
    sdf->add_flag("--with-id", withId, "Compare the device ID too");

    command(app, "store", "Store the device's settings to flash", [] { return Action(store); });

    CLI::App *pg = app.add_subcommand("program", "Standalone programs");
    pg->require_subcommand(1, 1);
    CLI::App *pc = command(*pg, "check", "Judge FILE as download would, sending nothing; errors as FILE:LINE: message",
                           [this] {
                               const std::string bytes = readInput(file, zenta::tools::kMaxInput);
                               return Action([f = file, bytes](Context &c) { programCheck(c, f, bytes); });
                           });
    pc->add_option("FILE", file, "A .prg program text or a compiled file")->required();
    CLI::App *pd = command(*pg, "download", "Send a program (.prg compiled first, else a compiled file)", [this] {
        const ProgramFile p = programToSend(file, readInput(file, zenta::tools::kMaxInput));
        return Action([p](Context &c) { programDownload(c, p); });
    });
    pd->add_option("FILE", file, "A .prg program text or a compiled file")->required();
    CLI::App *pv = command(*pg, "verify", "Whether the device holds FILE's program; status 9 when it does not", [this] {
        const std::string bytes = readInput(file, zenta::tools::kMaxInput);
        const ProgramFile p = programToSend(file, bytes);
        return Action([p, bytes](Context &c) { programVerify(c, p, bytes); });
    });
    pv->add_option("FILE", file, "A .prg program text or a compiled file")->required();
    CLI::App *pu = command(*pg, "upload", "The device's program as program text", [this] {
        if (uploadOption->count() > 0 && uploadPath.empty())
            stop(BadArguments, "-o: \"\" is not a file name: it takes a file name, or - for standard output");
        return Action([f = uploadPath.empty() || uploadPath == "-" ? std::optional<std::string>() : uploadPath](
                          Context &c) { programUpload(c, f); });
    });
    uploadOption =
        pu->add_option("-o", uploadPath, "Write it to FILE instead of standard output (- for standard output)")
            ->type_name("FILE");
    CLI::App *pr = command(*pg, "run", "Run thread 0, 1 or all", [this] {
        return Action([t = threadArg(thread)](Context &c) { programControl(c, '1', t); });
    });
    pr->add_option("THREAD", thread, "0, 1 or all")->required();
    const struct {
        const char *name, *help;
        char action;
    } controls[] = {{"stop", "Stop thread 0, 1 or all (the default)", '0'},
                    {"pause", "Pause thread 0, 1 or all (the default)", '2'},
                    {"cont", "Continue thread 0, 1 or all (the default)", '3'}};
    for (const auto &k : controls) {
        CLI::App *ctl = command(*pg, k.name, k.help, [this, a = k.action] {
            return Action([a, t = thread.empty() ? -1 : threadArg(thread)](Context &c) { programControl(c, a, t); });
        });
        ctl->add_option("THREAD", thread, "0, 1 or all");
    }
    command(*pg, "status", "Program and thread states and indexes", [] { return Action(programStatus); });

    CLI::App *wt = command(app, "wait", "Until the axis stands (idle) or no thread runs (stopped)", [this] {
        if (!sameWord(untilWhat, "idle") && !sameWord(untilWhat, "stopped"))
            stop(BadArguments, "wait: \"" + untilWhat + "\" is not idle or stopped");
        return Action([t = sameWord(untilWhat, "stopped"), l = waitLimit()](Context &c) { waitFor(c, t, l); });
    });
    wt->add_option("UNTIL", untilWhat, "idle or stopped")->required();
    wt->add_option("--timeout", timeout, "Give up after S seconds, default 60")->type_name("S");
}

void Cli::checkDevice() const
{
    if (deviceOption->count() == 0)
        return;
    for (const std::string &device : deviceWords(devices)) {
        // An empty name (a script's empty variable) must not pick the only device.
        if (device.empty())
            stop(BadArguments, std::string("-d: \"\" names no device: it takes ") + kDeviceTakes);
        if (device[0] == '#' && (device.size() == 1 || device.find_first_not_of("0123456789", 1) != std::string::npos ||
                                 !strictInt32(device.substr(1))))
            stop(BadArguments, "-d: \"" + device + "\" is not #N with N an index from list");
    }
}

void Cli::checkLine() const
{
    if (!asksForLine(devices) || !opensDevice())
        return;
    const bool lineCommand = std::any_of(std::begin(kLineCommands), std::end(kLineCommands),
                                         [&](const char *c) { return commandName == c; });
    // A watch never ends by itself: one device's readings at a time.
    if (!lineCommand || (commandName == "status" && watch))
        stop(BadArguments, commandName + (watch ? " --watch" : "") + " takes one device, and -d names several (" +
                               [&] {
                                   std::string s;
                                   for (const std::string &d : devices)
                                       s += (s.empty() ? "" : " ") + d;
                                   return s;
                               }() +
                               "); nothing was opened");
}

int Cli::jobCount() const
{
    if (jobs.empty())
        return kDefaultJobs;
    const auto n = strictInt32(jobs);
    if (!n || *n < 1 || *n > kMostJobs)
        stop(BadArguments, "--jobs: \"" + jobs + "\" is not a number of devices at once from 1 to " +
                               std::to_string(kMostJobs));
    return *n;
}

// The command line for each device's own zentactl: as given, without the
// choice of devices, which each gets as its serial.
std::vector<std::string> lineArguments(int argc, char **argv)
{
    std::vector<std::string> kept;
    bool positional = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (!positional) {
            if (a == "--") {
                positional = true;
            } else if (a == "-d" || a == "--device" || a == "--jobs" || a == kLineSerialOption ||
                       a == kLineInputOption) {
                ++i;
                continue;
            } else if (a.rfind("--device=", 0) == 0 || a.rfind("--jobs=", 0) == 0 || (a.size() > 2 && a.rfind("-d", 0) == 0)) {
                continue;
            }
        }
        kept.push_back(a);
    }
    return kept;
}

std::string ownProgram()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        stop(Failed, std::string("zentactl cannot find itself to run for each device: ") + std::strerror(errno));
    return std::string(path, static_cast<std::size_t>(n));
}

std::string Cli::reworded(const CLI::ParseError &e, int argc, char **argv) const
{
    const std::string what = e.what();
    const std::vector<std::string> words = commandWords(argc, argv);
    // The command the error belongs to, as far as the words name one.
    std::string where;
    const CLI::App *at = &app;
    for (std::size_t i = 0; i < words.size() && i < 2; ++i) {
        const auto subs = at->get_subcommands([&](const CLI::App *s) { return s->check_name(words[i]); });
        if (subs.empty())
            break;
        at = subs.front();
        where += (where.empty() ? "" : " ") + at->get_name();
    }
    const std::string prefix = where.empty() ? std::string() : where + ": ";
    const auto endsWith = [&](const std::string &tail) {
        return what.size() >= tail.size() && what.compare(what.size() - tail.size(), tail.size(), tail) == 0;
    };
    // What the command takes: its arguments, else its options.
    const auto arguments = [&] {
        std::string list;
        for (const CLI::Option *o : at->get_options([](const CLI::Option *o) { return !o->nonpositional(); }))
            list += (list.empty() ? "" : " ") + o->get_name();
        return list;
    };
    const auto options = [&] {
        std::string list;
        const auto named = at->get_options([](const CLI::Option *o) { return o->nonpositional(); });
        for (const CLI::Option *o : named)
            if (o->get_name() != "--help")
                list += (list.empty() ? "" : ", ") + o->get_name();
        if (const auto comma = list.rfind(", "); comma != std::string::npos)
            list.replace(comma, 2, " or ");
        return list;
    };
    // An option's error: prefixed with the command it belongs to, none for
    // the global ones; -d rather than --device, as people write it.
    const auto option = [&](std::string name) {
        const bool own = at != &app && at->get_option_no_throw(name) != nullptr;
        if (name == "--device")
            name = "-d";
        return (own ? prefix : std::string()) + name;
    };
    if (dynamic_cast<const CLI::RequiredError *>(&e) && what == "A subcommand is required") {
        std::string choices;
        for (const CLI::App *s : at->get_subcommands({}))
            choices += (choices.empty() ? "" : ", ") + s->get_name();
        const std::size_t named = where.empty() ? 0 : (where.find(' ') == std::string::npos ? 1 : 2);
        if (at == &app)
            choices = kCommands;
        else if (const auto comma = choices.rfind(", "); comma != std::string::npos)
            choices.replace(comma, 2, " or ");
        if (words.size() > named)
            return prefix + "\"" + words[named] + "\" is not a command: " + choices;
        return prefix + "a command is missing: " + choices;
    }
    if (dynamic_cast<const CLI::RequiredError *>(&e) && endsWith(" is required")) {
        const std::string name = what.substr(0, what.size() - std::string(" is required").size());
        const std::string t = takes(where, name);
        return prefix + name + " is missing" + (t.empty() ? std::string() : ": " + t);
    }
    if (dynamic_cast<const CLI::ArgumentMismatch *>(&e)) {
        const std::string name = what.substr(0, what.find(':'));
        const std::string t = takes(where, name);
        if (what.find(" missing") != std::string::npos)
            return option(name) + " is given no value: it takes " + t;
        return option(name) + " is given more than once: it takes one value, " + t;
    }
    if (dynamic_cast<const CLI::RequiresError *>(&e)) {
        const auto needs = what.find(" requires ");
        return option(what.substr(0, needs)) + " is taken only with " + what.substr(needs + 10);
    }
    if (dynamic_cast<const CLI::ConversionError *>(&e)) {
        // "Could not convert: --abort = x" or "--abort: too many inputs for a flag".
        const std::string lead = "Could not convert: ";
        std::string name = what.rfind(lead, 0) == 0 ? what.substr(lead.size()) : what;
        name = name.substr(0, std::min(name.find(" = "), name.find(':')));
        return option(name) + " is a switch: it takes no value";
    }
    if (dynamic_cast<const CLI::ExtrasError *>(&e)) {
        const auto colon = what.find(": ");
        const std::string extra = colon == std::string::npos ? what : what.substr(colon + 2);
        if (!extra.empty() && extra[0] == '-' && extra != "-" && !strictInt32(extra))
        {
            const std::string list = at == &app ? "-d, --jobs, --json, --retry, --help or --version" : options();
            return "\"" + extra + "\" is not an option" + (where.empty() ? "" : " of " + where) + ": it takes " +
                   (list.empty() ? "none" : list);
        }
        if (at == &app)
            return "\"" + extra + "\" is not a command: " + kCommands;
        const std::string list = arguments();
        return prefix + "\"" + extra + "\" is not expected: " + where +
               (list.empty() ? " takes no argument" : " takes " + list);
    }
    return what;
}

int fail(const Stop &s, bool json, const std::string &device)
{
    if (!s.message.empty())
        std::fprintf(stderr, "%s%s\n", s.plain ? "" : "zentactl: ", s.message.c_str());
    if (json && s.status != Success && !s.shown) {
        std::string message = s.message;
        if (message.empty() && s.status > 128)
            message = std::string("interrupted by ") + signalName(s.status - 128);
        Output(true).failure(device, s.status, message, s.result);
    }
    return s.status;
}

}  // namespace

int main(int argc, char **argv)
{
    catchSignals();
    Cli cli;
    cli.build();
    bool json = jsonAsked(argc, argv);
    std::optional<Output> out;
    std::optional<Context> context;
    try {
        try {
            cli.app.parse(argc, argv);
        } catch (const CLI::CallForHelp &e) {
            return cli.app.exit(e);
        } catch (const CLI::CallForAllHelp &e) {
            return cli.app.exit(e);
        } catch (const CLI::CallForVersion &e) {
            return cli.app.exit(e);
        } catch (const CLI::ParseError &e) {
            stop(BadArguments, cli.reworded(e, argc, argv));
        }
        json = cli.json;
        cli.checkDevice();
        const double retry = cli.retry.empty() ? 0 : secondsArg("--retry", cli.retry);
        const int jobs = cli.jobCount();
        cli.checkLine();
        const Action action = cli.prepare();
        out.emplace(json);
        if (asksForLine(cli.devices) && cli.opensDevice()) {
            LineRun run;
            run.program = ownProgram();
            run.arguments = lineArguments(argc, argv);
            run.json = json;
            run.jobs = jobs;
            if (!lastInputPath.empty()) {
                run.inputName = lastInputPath;
                run.input = lastInput;
            }
            Link link;
            const std::vector<Listed> devices = chooseLine(link, deviceWords(cli.devices));
            return runLine(devices, run);
        }
        if (!cli.lineSerial.empty())
            context.emplace(*out, cli.lineSerial, retry, true);
        else
            context.emplace(*out, cli.devices.empty() ? std::string() : cli.devices.front(), retry);
        action(*context);
        return Success;
    } catch (const Stop &s) {
        // The device, if one was chosen, is let go before the failure is told.
        const std::string device = context ? context->chosenName() : std::string();
        context.reset();
        return fail(s, json, device);
    }
}

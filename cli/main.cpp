// zentactl: every device task of the panel from a shell, for scripts and
// production lines. Arguments and files are checked whole before a device
// is opened, so bad input never reaches one; see zentactl(1) for the
// commands and exit statuses.
#include "Commands.h"
#include "Exit.h"
#include "Signals.h"
#include "Text.h"

#include "ToolFiles.h"
#include "core/SettingsFile.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <poll.h>
#include <unistd.h>

using namespace zentactl;

namespace {

const char *const kCommands = "list, status, move, datum, jog, stop, mode, output, var, send, settings, store, "
                              "program, wait";

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

std::string readInput(const std::string &path, std::size_t cap)
{
    if (path == "-")
        return readStandardInput(cap);
    std::string data;
    switch (zenta::tools::readFile(path, data, cap)) {
    case zenta::tools::Read::Ok: return data;
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
        if (a == "-d" || a == "--device" || a == "--retry")
            ++i;
        else if (a.empty() || a[0] != '-')
            words.push_back(a);
    }
    return words;
}

using Action = std::function<void(Context &)>;

struct Cli {
    CLI::App app{"zentactl: the ZENTA-KDR-V3 driver from the command line, for scripts and production lines.",
                 "zentactl"};
    std::string device, retry;
    bool json = false;
    // Filled by the chosen command once its arguments are checked.
    std::function<Action()> prepare;

    CLI::App *command(CLI::App &parent, const char *name, const char *help, std::function<Action()> check)
    {
        CLI::App *c = parent.add_subcommand(name, help);
        c->parse_complete_callback([this, check] { prepare = check; });
        return c;
    }

    // Declared before the app parses; each command's values are kept here.
    std::string target, speed, accel, timeout, count, forSeconds, direction, mode, output, onOff, sendText, file,
        thread, untilWhat;
    std::vector<std::string> vars;
    bool wait = false, watch = false, abortToo = false, storeToo = false, rename = false;
    std::string uploadPath;

    Motion motion() const
    {
        Motion m;
        if (!speed.empty())
            m.speed = wholeNumber("--speed", speed);
        if (!accel.empty())
            m.accel = wholeNumber("--accel", accel);
        return m;
    }

    double waitLimit() const { return timeout.empty() ? kDefaultWait : secondsArg("--timeout", timeout); }

    void build();
};

void Cli::build()
{
    app.set_version_flag("--version", "zentactl " ZENTA_VERSION, "Print the version and exit");
    app.add_option("-d,--device", device, "The device: its name (CFG01), its product string, its serial, or #N for index N")
        ->type_name("NAME");
    app.add_flag("--json", json, "One JSON object per reading or result");
    app.add_option("--retry", retry, "Wait up to S seconds for a device another program holds")->type_name("S");
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.footer("Exit status: 0 success, 1 bad arguments (nothing sent), 2 the operation failed, 3 no such device,\n"
               "4 several devices and none chosen, 5 the device is in use by another program, 6 the device\n"
               "stopped answering, 7 a wait timed out; 128+N after signal N ended a wait. See zentactl(1).");

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
        if (!sameWord(onOff, "on") && !sameWord(onOff, "off"))
            stop(BadArguments, "output: \"" + onOff + "\" is not on or off");
        return Action([name, on = sameWord(onOff, "on")](Context &c) { setOutput(c, name, on); });
    });
    out->add_option("OUTPUT", output, "DO1, DO2 or EO")->required();
    out->add_option("STATE", onOff, "on or off")->required();

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
        return Action([f = file, bytes, s = storeToo, r = rename](Context &c) {
            settingsSet(c, fileName(f), bytes, s, r);
        });
    });
    ss->add_option("FILE", file, "The settings file, or -")->required();
    ss->add_flag("--store", storeToo, "Then store to flash, if every value reads back as sent");
    ss->add_flag("--rename", rename, "Set the file's device ID too (the device keeps its own otherwise)");

    command(app, "store", "Store the device's settings to flash", [] { return Action(store); });

    CLI::App *pg = app.add_subcommand("program", "Standalone programs");
    pg->require_subcommand(1, 1);
    CLI::App *pc = command(*pg, "check", "Compile FILE.prg; errors as FILE:LINE: message", [this] {
        const std::string source = readInput(file, zenta::tools::kMaxInput);
        return Action([f = file, source](Context &c) { programCheck(c, f, source); });
    });
    pc->add_option("FILE", file, "The program text")->required();
    CLI::App *pd = command(*pg, "download", "Send a program (.prg compiled first, else a compiled file)", [this] {
        const ProgramFile p = programToSend(file, readInput(file, zenta::tools::kMaxInput));
        return Action([p](Context &c) { programDownload(c, p); });
    });
    pd->add_option("FILE", file, "A .prg program text or a compiled file")->required();
    CLI::App *pu = command(*pg, "upload", "The device's program as program text", [this] {
        return Action([f = uploadPath.empty() ? std::optional<std::string>() : uploadPath](Context &c) {
            programUpload(c, f);
        });
    });
    pu->add_option("-o", uploadPath, "Write it to FILE instead of standard output")->type_name("FILE");
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

int fail(const Stop &s)
{
    if (!s.message.empty())
        std::fprintf(stderr, "%s%s\n", s.plain ? "" : "zentactl: ", s.message.c_str());
    return s.status;
}

}  // namespace

int main(int argc, char **argv)
{
    catchSignals();
    Cli cli;
    cli.build();
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
            std::string what = e.what();
            const std::vector<std::string> words = commandWords(argc, argv);
            if (what == "A subcommand is required") {
                const std::string word = words.empty() ? std::string() : words[0];
                const std::string next = words.size() > 1 ? "\"" + words[1] + "\" is not a command; " : "";
                if (word.empty())
                    what = std::string("no command given; commands: ") + kCommands;
                else if (word == "settings")
                    what = "settings: " + next + "get or set?";
                else if (word == "program")
                    what = "program: " + next + "check, download, upload, run, stop, pause, cont or status?";
                else
                    what = "unknown command \"" + word + "\"; commands: " + kCommands;
            }
            stop(BadArguments, what);
        }
        const double retry = cli.retry.empty() ? 0 : secondsArg("--retry", cli.retry);
        const Action action = cli.prepare();
        Output out(cli.json);
        Context context(out, cli.device, retry);
        action(context);
        return Success;
    } catch (const Stop &s) {
        return fail(s);
    }
}

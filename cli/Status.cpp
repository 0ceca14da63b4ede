// status, wait and list: what the main window shows, read in one go.
#include "Commands.h"
#include "Exit.h"
#include "Signals.h"
#include "Text.h"

#include "core/Numbers.h"
#include "core/StatusDecode.h"

#include <cctype>
#include <chrono>

namespace zentactl {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

void listDevices(Context &c)
{
    json devices = json::array();
    std::string text;
    for (const Listed &d : c.library().list()) {
        // A name that could not be asked is shown as unknown, with why.
        const bool named = d.unnamed.empty();
        json device{{"index", d.index}, {"name", named ? json(utf8(d.name)) : json()}, {"product", utf8(d.product)},
                    {"serial", utf8(d.serial)}};
        if (!named)
            device["unnamed"] = d.unnamed;
        devices.push_back(device);
        text += (text.empty() ? "" : "\n") + std::to_string(d.index) + "\t" + (named ? utf8(d.name) : "?") + "\t" +
                utf8(d.product) + "\t" + utf8(d.serial) + (named ? std::string() : "\t" + d.unnamed);
    }
    c.out.carriesData();
    if (c.out.json())
        c.out.object({{"devices", devices}});
    else if (!text.empty())
        c.out.line(text);
}

namespace {

[[noreturn]] void unreadable(Context &c, const char *command, const std::string &reply)
{
    stop(Failed, c.name() + " gave an unreadable reply to \"" + command + "\": \"" + utf8(reply) + "\"");
}

}  // namespace

int32_t readNumber(Context &c, const char *command)
{
    const std::string reply = c.device().ask(command);
    const auto v = zenta::core::parseInt32(reply);
    if (!v)
        unreadable(c, command, reply);
    return *v;
}

namespace {

template <typename T>
const T &known(Context &c, const std::optional<T> &part, const char *command, const std::string &reply)
{
    if (!part)
        unreadable(c, command, reply);
    return *part;
}

std::string stateWord(int32_t code)
{
    std::string text = StatusDecode::programStateText(code);
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text.empty() ? "unknown" : text;
}

struct Program {
    int32_t code = 0, index = 0;
    json object() const { return {{"status", stateWord(code)}, {"code", code}, {"index", index}}; }
    std::string text() const { return stateWord(code) + "/" + std::to_string(index); }
};

// "SASTAT" and "SPC" for the whole program, or "SASTAT<t>" and "SPC<t>".
Program program(Context &c, int thread)
{
    const std::string suffix = thread < 0 ? "" : std::to_string(thread);
    const std::string stateCommand = "SASTAT" + suffix;
    const std::string reply = c.device().ask(stateCommand);
    StatusDecode::Replies r;
    if (thread < 0)
        r.sastat = reply;
    else
        r.threadState[thread] = reply;
    const StatusDecode::Status s = StatusDecode::decode(r);
    Program p;
    p.code = known(c, thread < 0 ? s.programState : s.threadState[thread], stateCommand.c_str(), reply);
    p.index = readNumber(c, ("SPC" + suffix).c_str());
    return p;
}

std::string bits(const bool *b, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += b[i] ? '1' : '0';
    return s;
}

// One reading of everything the main window shows.
json reading(Context &c, std::string &text)
{
    Link &link = c.device();
    const int32_t position = readNumber(c, "PX");
    StatusDecode::Replies r;
    const std::string mst = link.ask("MST"), di = link.ask("DI"), dout = link.ask("DO"), eo = link.ask("EO"),
                      ai = link.ask("AI"), mm = link.ask("MM");
    r.mst = mst;
    r.di = di;
    r.dout = dout;
    r.eo = eo;
    r.ai = ai;
    r.mm = mm;
    const StatusDecode::Status s = StatusDecode::decode(r);
    const std::string state = known(c, s.motionState, "MST", mst);
    const double current = known(c, s.currentTenths, "MST", mst) / 10.0;
    const auto &inputs = known(c, s.inputs, "DI", di);
    const auto &outputs = known(c, s.outputs, "DO", dout);
    const bool enabled = known(c, s.outputEnabled, "EO", eo);
    const int32_t analog = known(c, s.analogInput, "AI", ai);
    const std::string mode = *s.moveMode;
    const Program whole = program(c, -1), t0 = program(c, 0), t1 = program(c, 1);

    char amps[16];
    std::snprintf(amps, sizeof amps, "%g", current);
    text = c.name() + " position=" + std::to_string(position) + " state=" + state + " current=" + amps +
           " ai=" + std::to_string(analog) + " mode=" + mode + " di=" + bits(inputs.data(), 6) +
           " do=" + bits(outputs.data(), 2) + " eo=" + (enabled ? "1" : "0") + " program=" + whole.text() +
           " thread0=" + t0.text() + " thread1=" + t1.text();
    return {{"device", c.name()},
            {"position", position},
            {"state", state},
            {"current", current},
            {"ai", analog},
            {"mode", mode},
            {"di", inputs},
            {"do", outputs},
            {"eo", enabled},
            {"program", whole.object()},
            {"threads", json::array({t0.object(), t1.object()})}};
}

bool axisStands(Context &c)
{
    const std::string mst = c.device().ask("MST");
    StatusDecode::Replies r;
    r.mst = mst;
    return known(c, StatusDecode::decode(r).motionState, "MST", mst) == "IDLE";
}

// The thread codes of SASTAT0 and SASTAT1.
constexpr int32_t kRunning = 1, kPaused = 2;

// Whether no thread runs or is paused: a paused thread may go on (cont),
// so its program has not ended. A thread that ended with an error (any
// code but idle, running and paused) ends the wait with status 2.
bool threadsStopped(Context &c, std::string &still)
{
    const Program threads[] = {program(c, 0), program(c, 1)};
    still.clear();
    for (int t = 0; t < 2; ++t)
        if (threads[t].code == kRunning || threads[t].code == kPaused)
            still += (still.empty() ? "" : " and ") + std::string("thread ") + std::to_string(t) +
                     (threads[t].code == kRunning ? " still runs" : " is paused");
    if (!still.empty())
        return false;
    json errored = json::array();
    std::string text;
    for (int t = 0; t < 2; ++t) {
        if (threads[t].code == 0)
            continue;
        errored.push_back({{"thread", t}, {"line", threads[t].index}, {"code", threads[t].code}});
        text += (text.empty() ? "" : "; ") + std::string("thread ") + std::to_string(t) +
                " ended with an error at line " + std::to_string(threads[t].index) + " (code " +
                std::to_string(threads[t].code) + ", " + stateWord(threads[t].code) + ")";
    }
    if (!text.empty())
        throw Stop{Failed, c.name() + ": " + text, false, {{"device", c.name()}, {"errored", errored}}};
    return true;
}

}  // namespace

void status(Context &c, bool watch, std::optional<int32_t> count)
{
    if (watch)
        signalEndsInOrder();
    c.allowThroughDoor();
    c.device();
    // One reading is the data asked for; a watch may end when its reader goes.
    if (!watch)
        c.out.carriesData();
    for (int32_t n = 0; !watch || !count || n < *count; ++n) {
        // A watch ends in order at a signal, after a whole reading.
        if (watch && caughtSignal())
            return;
        std::string text;
        const json o = reading(c, text);
        c.out.result(text, o);
        if (!watch)
            return;
    }
}

bool waitUntil(Context &c, bool threads, double timeout, const char *what)
{
    // The panel polls every 10 ms; so does a wait, to leave the device room.
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
    for (;;) {
        // What still keeps a program from having ended, as last read.
        std::string still;
        if (threads ? threadsStopped(c, still) : axisStands(c))
            return true;
        if (caughtSignal())
            return false;
        if (Clock::now() >= deadline)
            stop(TimedOut, c.name() + ": " + (still.empty() ? std::string(what) : still) + " after " +
                               secondsText(timeout) + " s");
        pauseFor(std::chrono::milliseconds(10));
    }
}

void waitFor(Context &c, bool threads, double timeout)
{
    if (!waitUntil(c, threads, timeout, threads ? "a program thread still runs" : "the axis still moves"))
        stop(128 + caughtSignal(), {});
    c.out.result(c.name() + (threads ? ": no thread runs or is paused" : ": the axis stands"),
                 {{"device", c.name()}, {"waited", threads ? "stopped" : "idle"}});
}

void programStatus(Context &c)
{
    const Program whole = program(c, -1), t0 = program(c, 0), t1 = program(c, 1);
    c.out.result(c.name() + " program=" + whole.text() + " thread0=" + t0.text() + " thread1=" + t1.text(),
                 {{"device", c.name()},
                  {"program", whole.object()},
                  {"threads", json::array({t0.object(), t1.object()})}});
}

}  // namespace zentactl

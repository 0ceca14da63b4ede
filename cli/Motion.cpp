// The axis: what the panel's move, DATUM, jog and STOP buttons send, the
// move mode and the outputs.
#include "Commands.h"
#include "Exit.h"
#include "Signals.h"
#include "Text.h"

#include <chrono>

namespace zentactl {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

// The panel's motion guard: the device must be under USB control.
void guard(Context &c)
{
    const std::string pa = c.device().ask("PA");
    if (pa != "1")
        stop(Failed, "Turn on USB Control to move. (" + c.name() + " answers \"PA\" with \"" + utf8(pa) + "\")");
}

void speedAndAccel(Context &c, const Motion &m)
{
    if (m.speed)
        c.device().set("HSPD=" + std::to_string(*m.speed));
    if (m.accel)
        c.device().set("ACC=" + std::to_string(*m.accel));
}

// While it lives, an axis that zentactl set moving is stopped whenever the
// program ends early: a signal, a time-out, a fault. Its STOP goes out
// without judging the reply, since it may run while an error unwinds. A
// link that fails meanwhile is reached again for STOP (Link::noAnswer).
class StopOnExit {
public:
    explicit StopOnExit(Context &c) : link_(c.device()) { link_.setMoving(true); }
    ~StopOnExit() { link_.stopIfMoving(); }
    StopOnExit(const StopOnExit &) = delete;
    StopOnExit &operator=(const StopOnExit &) = delete;
    // The regular STOP, whose reply is judged.
    void stopNow()
    {
        link_.set("STOP");
        link_.setMoving(false);
    }
    void release() { link_.setMoving(false); }

private:
    Link &link_;
};

[[noreturn]] void interrupted(Context &c, const char *what)
{
    stop(128 + caughtSignal(),
         c.name() + ": " + what + " was interrupted by " + signalName(caughtSignal()) + "; STOP sent");
}

// A signal caught during the exchanges before a motion command ends the
// program there: that command never goes out.
void notAfterASignal(Context &c, const std::string &command)
{
    if (caughtSignal())
        stop(128 + caughtSignal(), c.name() + ": interrupted by " + signalName(caughtSignal()) + " before " +
                                       command + " was sent; the axis was not set moving");
}

// ABORT, then the move, as the panel's buttons send them; with `wait`, until
// the axis stands.
void abortThenMove(Context &c, const std::string &command, const Motion &m, bool wait, double timeout)
{
    guard(c);
    speedAndAccel(c, m);
    c.device().set("ABORT");
    notAfterASignal(c, command);
    StopOnExit stopper(c);
    c.device().set(command);
    json result{{"device", c.name()}, {"command", command}};
    // One that came while the device took the move stops it again.
    if (caughtSignal())
        interrupted(c, "the move");
    if (!wait) {
        stopper.release();
        c.out.result(c.name() + ": " + command + " sent", result);
        return;
    }
    if (!waitUntil(c, false, timeout, "the axis still moves; STOP sent")) {
        stopper.stopNow();
        interrupted(c, "the move");
    }
    stopper.release();
    const int32_t position = readNumber(c, "PX");
    result["position"] = position;
    c.out.result(c.name() + ": " + command + " done, position " + std::to_string(position), result);
}

}  // namespace

void move(Context &c, int32_t target, const Motion &m, bool wait, double timeout)
{
    abortThenMove(c, "X" + std::to_string(target), m, wait, timeout);
}

void datum(Context &c, const Motion &m, bool wait, double timeout)
{
    abortThenMove(c, "X0", m, wait, timeout);
}

void jog(Context &c, bool positive, const Motion &m, double forSeconds)
{
    // A signal is how a jog is meant to end.
    signalEndsInOrder();
    guard(c);
    speedAndAccel(c, m);
    c.device().set("ABORT");
    const std::string command = positive ? "J+" : "J-";
    notAfterASignal(c, command);
    StopOnExit stopper(c);
    c.device().set(command);
    const auto end = Clock::now() + std::chrono::milliseconds(static_cast<long long>(forSeconds * 1000));
    // The motion state is read now and then, so that a device that goes
    // silent ends the jog at once instead of after the time.
    while (!caughtSignal() && Clock::now() < end) {
        pauseFor(std::min(std::chrono::milliseconds(100),
                          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()) +
                              std::chrono::milliseconds(1)));
        c.device().ask("MST");
    }
    stopper.stopNow();
    const int32_t position = readNumber(c, "PX");
    c.out.result(c.name() + ": " + command + " ended, STOP sent at position " + std::to_string(position),
                 {{"device", c.name()}, {"command", command}, {"position", position}});
}

void stopAxis(Context &c, bool abort)
{
    const char *command = abort ? "ABORT" : "STOP";
    c.allowThroughDoor();
    c.device().set(command);
    c.out.result(c.name() + ": " + command + " sent", {{"device", c.name()}, {"command", command}});
}

void setMode(Context &c, bool incremental)
{
    const char *command = incremental ? "INC" : "ABS";
    c.device().set(command);
    c.out.result(c.name() + ": mode " + command, {{"device", c.name()}, {"mode", command}});
}

void setOutput(Context &c, const std::string &output, bool on)
{
    c.device().set(output + (on ? "=1" : "=0"));
    c.out.result(c.name() + ": " + output + (on ? " on" : " off"),
                 {{"device", c.name()}, {"output", output}, {"on", on}});
}

}  // namespace zentactl

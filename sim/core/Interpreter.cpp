#include "Interpreter.h"

#include "zenta/lang/decimal.hpp"
#include "zenta/lang/exec.hpp"

#include <algorithm>

namespace zsim {

using namespace zenta::lang;

namespace {

// A status word as the device answers it; nothing when the answer is not a
// 32-bit number, which stops the thread rather than guess a value.
std::optional<std::int32_t> parseWord(const std::string &reply)
{
    std::int64_t v = 0;
    if (!parseDecimalIn(reply, INT32_MIN, INT32_MAX, v))
        return std::nullopt;
    return static_cast<std::int32_t>(v);
}

std::string unreadableReason(const std::string &status)
{
    return "the device's " + status + " reply is no number";
}

}  // namespace

void Interpreter::load(Program program)
{
    program_ = std::move(program);
    reset();
}

void Interpreter::reset()
{
    for (Thread &t : threads_)
        apply(t, static_cast<int>(&t - threads_.data()), RunAction::Stop, 0);
}

bool Interpreter::setStatementUs(Micros us)
{
    if (us < 1 || us > kMaxStatementUs)
        return false;
    statementUs_ = us;
    return true;
}

std::string Interpreter::control(int thread, RunAction action, Micros now)
{
    bool any = false;
    for (int k = 0; k < kThreads; ++k)
        any = any || ((thread < 0 || thread == k) && hasProgram(k));
    if (!any && action != RunAction::Stop)
        return "?NOPROGRAM";
    for (int k = 0; k < kThreads; ++k)
        if (thread < 0 || thread == k)
            apply(threads_[k], k, action, now);
    return "OK";
}

void Interpreter::apply(Thread &t, int index, RunAction action, Micros now)
{
    const ThreadState before = t.state;
    const unsigned generation = t.generation;
    switch (action) {
    case RunAction::Stop:
        t = Thread{};
        break;
    case RunAction::Run: {
        const ProgramRange &range = program_.range[index];
        if (!range.present)
            break;
        t = Thread{};
        // An empty program has nothing to run and stays idle.
        if (range.entry < range.end) {
            t.state = ThreadState::Running;
            t.pc = range.entry;
            t.at = earliestStart(now);
        }
        break;
    }
    case RunAction::Pause:
        if (t.state == ThreadState::Running) {
            t.state = ThreadState::Paused;
            t.left = std::max<Micros>(0, t.at - now);
        }
        break;
    case RunAction::Continue:
        if (t.state == ThreadState::Paused) {
            t.state = ThreadState::Running;
            t.at = std::max(now + t.left, earliestStart(now));
        }
        break;
    }
    // Only a real change counts: a statement that continues its own running
    // thread has not stopped it, and must go on to the end-of-program check.
    const bool restarted = action == RunAction::Run && t.state == ThreadState::Running;
    t.generation = t.state != before || restarted ? generation + 1 : generation;
}

Micros Interpreter::earliestStart(Micros now) const
{
    // Started by a statement, a thread waits for that statement's time: two
    // programs that keep starting each other still let time pass.
    return stepping_ ? now + statementUs_ : now;
}

Micros Interpreter::dueAt(const Thread &t, const ProgramHost &host) const
{
    return t.wait == Wait::Motion ? std::max(t.at, host.standstillAt()) : t.at;
}

std::optional<Micros> Interpreter::nextWakeUp(const ProgramHost &host) const
{
    std::optional<Micros> wake;
    for (const Thread &t : threads_)
        if (t.state == ThreadState::Running)
            wake = std::min(wake.value_or(INT64_MAX), dueAt(t, host));
    return wake;
}

bool Interpreter::runUntil(Micros until, ProgramHost &host, int maxSteps)
{
    return runWatched(until, host, maxSteps, Watch{}).stop != RunStop::Budget;
}

bool Interpreter::breaksAt(const Thread &t, int self, const Watch &watch) const
{
    if (!watch.breakLines || t.pastBreak || t.wait != Wait::None || !insideProgram(t, self))
        return false;
    const auto line = static_cast<std::size_t>(program_.code[static_cast<std::size_t>(t.pc)].line);
    return line < watch.breakLines->size() && (*watch.breakLines)[line];
}

RunResult Interpreter::runWatched(Micros until, ProgramHost &host, int maxSteps, const Watch &watch)
{
    for (int budget = maxSteps;; --budget) {
        Thread *next = nullptr;
        Micros when = 0;
        for (Thread &t : threads_) {
            if (t.state != ThreadState::Running)
                continue;
            const Micros due = dueAt(t, host);
            if (!next || due < when) {  // equal times: thread 0 first
                next = &t;
                when = due;
            }
        }
        if (!next || when > until)
            return {};
        const int self = static_cast<int>(next - threads_.data());
        if (breaksAt(*next, self, watch)) {
            host.moveTimeTo(when);
            next->pastBreak = true;
            return {RunStop::Breakpoint, self};
        }
        if (budget <= 0)
            return {RunStop::Budget, -1};
        next->pastBreak = false;
        stepping_ = true;
        step(*next, host.moveTimeTo(when), host);
        stepping_ = false;
        if (watch.stopOnError && next->state == ThreadState::Errored)
            return {RunStop::Errored, self};
        if (self == watch.stepThread && (next->wait == Wait::None || next->state != ThreadState::Running)) {
            // It stands before its next statement as at a breakpoint: going
            // on from here carries that statement out.
            next->pastBreak = true;
            return {RunStop::Stepped, self};
        }
    }
}

void Interpreter::fallBehind(Micros until)
{
    for (Thread &t : threads_)
        if (t.state == ThreadState::Running && t.at < until)
            t.at = until;
}

void Interpreter::fail(Thread &t, int line, std::string reason)
{
    t.state = ThreadState::Errored;
    t.errorLine = line;
    t.errorReason = std::move(reason);
    t.wait = Wait::None;
    t.depth = 0;
}

bool Interpreter::deviceCommand(Thread &t, const Instr &i, const std::string &text, ProgramHost &host)
{
    const int index = t.pc;
    const unsigned generation = t.generation;
    // The thread is already past the statement when the command runs, so that
    // a command that pauses its own thread resumes after it.
    t.pc = index + 1;
    const std::string reply = host.command(text);
    if (t.generation != generation)
        return false;  // it stopped, restarted or paused this very thread
    if (!reply.empty() && reply.front() == '?') {
        t.pc = index;
        fail(t, i.line, "the device answered " + reply + " to " + text);
        return false;
    }
    return true;
}

bool Interpreter::insideProgram(const Thread &t, int self) const
{
    const ProgramRange &range = program_.range[self];
    return t.pc >= range.entry && t.pc < range.end && static_cast<std::size_t>(t.pc) < program_.code.size();
}

void Interpreter::step(Thread &t, Micros now, ProgramHost &host)
{
    const int self = static_cast<int>(&t - threads_.data());
    if (insideProgram(t, self))
        execute(t, self, now, host);
    // Whatever the statement did to its own thread (ran on, paused it, left
    // it running), a thread past its last statement has ended: it must never
    // look at what lies beyond its program.
    if ((t.state == ThreadState::Running || t.state == ThreadState::Paused) && !insideProgram(t, self))
        apply(t, self, RunAction::Stop, now);
}

void Interpreter::execute(Thread &t, int self, Micros now, ProgramHost &host)
{
    if (t.wait != Wait::None) {  // the DELAY or WAITX at pc is over
        t.wait = Wait::None;
        ++t.pc;
        t.at = now;
    } else {
        const int index = t.pc;
        const Instr &i = program_.code[static_cast<std::size_t>(index)];
        t.at = now + statementUs_;

        std::string unreadable;  // the status word that gave no number
        auto value = [&](const Operand &o) -> std::int32_t {
            switch (o.kind) {
            case OperandKind::Literal:
                return o.value;
            case OperandKind::Variable:
                return host.variable(o.value);
            case OperandKind::Status: {
                const int base = baseStatusIndex(o.value);
                const std::string_view name = statusNames()[static_cast<std::size_t>(base)];
                const auto word = parseWord(host.command(name));
                if (!word) {
                    unreadable = name;
                    return 0;
                }
                return statusValue(o.value, *word);
            }
            }
            return 0;
        };

        switch (i.op) {
        case Op::Action: {
            const std::string_view name = actionNames()[static_cast<std::size_t>(i.code)];
            if (!deviceCommand(t, i, std::string(name), host))
                return;
            if (name == "STORE")
                t.at = now + std::max(statementUs_, kStoreUs);
            break;
        }
        case Op::Set:
        case Op::Move: {
            const std::int32_t v = value(i.a);
            if (!unreadable.empty())
                return fail(t, i.line, unreadableReason(unreadable));
            const std::string text = i.op == Op::Move
                                         ? "X" + std::to_string(v)
                                         : std::string(settingNames()[static_cast<std::size_t>(i.code)]) + "=" +
                                               std::to_string(v);
            if (!deviceCommand(t, i, text, host))
                return;
            break;
        }
        case Op::Assign: {
            const std::int32_t a = value(i.a);
            const std::int32_t b = i.arith == Arith::None ? 0 : value(i.b);
            const auto result = arithmetic(i.arith, a, b);
            if (!unreadable.empty())
                return fail(t, i.line, unreadableReason(unreadable));
            if (!result)
                return fail(t, i.line, "division by zero");
            host.variable(i.code) = *result;
            t.pc = index + 1;
            break;
        }
        case Op::Delay: {
            const std::int32_t ms = value(i.a);
            if (!unreadable.empty())
                return fail(t, i.line, unreadableReason(unreadable));
            if (ms > 0) {
                t.wait = Wait::Delay;
                t.at = now + std::max<Micros>(statementUs_, Micros{ms} * 1000);
            } else {
                t.pc = index + 1;
            }
            break;
        }
        case Op::WaitX:
            if (host.standstillAt() > now)
                t.wait = Wait::Motion;
            else
                t.pc = index + 1;
            break;
        case Op::End:
            apply(t, self, RunAction::Stop, now);
            return;
        case Op::Return:
            if (t.depth == 0)
                return fail(t, i.line, "RETURN without GOSUB");
            t.pc = t.stack[static_cast<std::size_t>(--t.depth)];
            break;
        case Op::Gosub:
            if (t.depth == kMaxCallDepth)
                return fail(t, i.line, "GOSUB nested more than " + std::to_string(kMaxCallDepth) + " deep");
            t.stack[static_cast<std::size_t>(t.depth++)] = index + 1;
            t.pc = i.target;
            break;
        case Op::Goto:
        case Op::Else:
        case Op::EndWhile:
            t.pc = i.target;
            break;
        case Op::If:
        case Op::ElseIf:
        case Op::While: {
            const Condition c = evaluateCondition(program_.code, index, value);
            if (!unreadable.empty())
                return fail(t, i.line, unreadableReason(unreadable));
            t.pc = c.value ? c.next : i.target;
            break;
        }
        case Op::Prg:
        case Op::And:
        case Op::Or:
            // The reader never lets a program reach these on its own.
            return fail(t, i.line, "a line no program runs on its own");
        }
    }
}

ThreadState Interpreter::state(int thread) const
{
    if (thread >= 0)
        return threads_[static_cast<std::size_t>(thread)].state;
    for (auto s : {ThreadState::Running, ThreadState::Errored, ThreadState::Paused})
        for (const Thread &t : threads_)
            if (t.state == s)
                return s;
    return ThreadState::Idle;
}

const std::string &Interpreter::errorReason(int thread) const
{
    return threads_[static_cast<std::size_t>(std::max(thread, 0))].errorReason;
}

int Interpreter::sourceLine(int thread) const
{
    const Thread &t = threads_[static_cast<std::size_t>(std::max(thread, 0))];
    switch (t.state) {
    case ThreadState::Idle:
        return 0;
    case ThreadState::Errored:
        return t.errorLine;
    case ThreadState::Running:
    case ThreadState::Paused:
        break;
    }
    if (t.pc < 0 || static_cast<std::size_t>(t.pc) >= program_.code.size())
        return 0;
    return program_.code[static_cast<std::size_t>(t.pc)].line;
}

}  // namespace zsim

// The two program threads: each runs one program of the stored compiled form
// with its own program counter, call stack and state, on the device that holds
// it.
//
// Time is device time. A statement (one compiled line; a condition with its
// AND/OR lines counts as one) takes a fixed statement time; DELAY takes its
// milliseconds instead when they are longer, and WAITX lasts until the axis
// stands still. Nothing here runs on its own: runUntil() carries out every
// statement due up to a given instant, each at its own device time, so the
// result does not depend on how often or how late the caller asks.
#pragma once

#include "Axis.h"

#include "zenta/lang/program.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zsim {

enum class ThreadState : int { Idle = 0, Running = 1, Paused = 2, Errored = 4 };

// What "SR=" and "SRn=" ask for.
enum class RunAction : int { Stop = 0, Run = 1, Pause = 2, Continue = 3 };

// What a running program reaches of the device it runs on.
class ProgramHost {
public:
    // The device's command layer, exactly as a host command reaches it.
    virtual std::string command(std::string_view text) = 0;
    virtual std::int32_t &variable(int number) = 0;  // 1..50
    // When the axis stands still if nothing changes its plan; now when it does.
    virtual Micros standstillAt() const = 0;
    // Moves the device clock on to t (never back) and returns the clock.
    virtual Micros moveTimeTo(Micros t) = 0;

protected:
    ~ProgramHost() = default;
};

// Why a watched run came back.
enum class RunStop {
    Due,         // nothing more is due up to the time asked for
    Budget,      // the count of statements ran out with more still due
    Breakpoint,  // a thread stands before a statement on a marked line
    Stepped,     // the stepped thread has carried out one whole statement
    Errored,     // a thread stopped with an error
};
struct RunResult {
    RunStop stop = RunStop::Due;
    int thread = -1;  // the thread it names, for all but Due and Budget
};

// What a watched run stops for besides time and count.
struct Watch {
    // Indexed by source line: a thread stops before it starts a statement on
    // a marked line. Going on from there carries that statement out first.
    const std::vector<bool> *breakLines = nullptr;
    // This thread (0 or 1) stops once it has carried out one statement, a
    // DELAY or WAITX with its wait; the other thread runs meanwhile as due.
    int stepThread = -1;
    bool stopOnError = false;
};

class Interpreter {
public:
    static constexpr int kThreads = 2;
    static constexpr Micros kDefaultStatementUs = 100;
    static constexpr Micros kMaxStatementUs = 1'000'000;
    // Statements carried out by one runUntil(); a program that is due more than
    // that (a huge lockstep advance, a process that was stopped) falls behind
    // instead of holding the device up.
    static constexpr int kMaxStepsPerRun = 1'000'000;
    // Device time of a STORE run by a program: writing the flash is slow on
    // any device, and a program that stores in a loop must not ask for more
    // writes than the flash (or the disk under a simulator) can take.
    static constexpr Micros kStoreUs = 50'000;

    // Replaces the program; every thread becomes idle.
    void load(zenta::lang::Program program);
    const zenta::lang::Program &program() const { return program_; }
    bool hasProgram(int thread) const { return program_.range[thread].present; }

    // thread -1 acts on both. Returns the reply text.
    std::string control(int thread, RunAction action, Micros now);
    // Every thread idle, as at power-up.
    void reset();

    // Runs every statement due at or before `t`, at most `maxSteps` of them;
    // false when it stopped for the count with more still due.
    bool runUntil(Micros t, ProgramHost &host, int maxSteps);
    // The same, stopping also for what `watch` asks. A breakpoint stop moves
    // the clock to when the thread reached the line.
    RunResult runWatched(Micros t, ProgramHost &host, int maxSteps, const Watch &watch);
    // Gives up what is due before `t`: the running threads go on from `t`,
    // so a program the host cannot keep up with falls behind instead of
    // holding the device up.
    void fallBehind(Micros t);
    // The earliest device time at which a thread has something to do; nothing
    // while every thread is idle, paused or errored.
    std::optional<Micros> nextWakeUp(const ProgramHost &host) const;

    // State of one thread, or of the program as a whole (-1): running while
    // either thread runs, else errored while either is errored, else paused
    // while either is paused, else idle.
    ThreadState state(int thread) const;
    // Source line of the statement the thread is at (waiting in, for DELAY and
    // WAITX); for an errored thread the statement that failed; 0 when idle.
    // Thread -1 means thread 0.
    int sourceLine(int thread) const;

    // Why an errored thread stopped, for the operator; empty otherwise.
    const std::string &errorReason(int thread) const;

    Micros statementUs() const { return statementUs_; }
    // 1..kMaxStatementUs; false leaves it as it was.
    bool setStatementUs(Micros us);

private:
    enum class Wait : std::uint8_t { None, Delay, Motion };
    struct Thread {
        ThreadState state = ThreadState::Idle;
        int pc = 0;
        Wait wait = Wait::None;
        Micros at = 0;    // running: when the statement at pc runs (or the wait may end)
        Micros left = 0;  // paused: what was left until `at`
        int errorLine = 0;
        std::string errorReason;
        bool pastBreak = false;  // stopped before the statement at pc: it runs next without stopping again
        int depth = 0;
        std::array<int, zenta::lang::kMaxCallDepth> stack{};
        // Moves on with every run-control action, so that a statement that
        // stopped or restarted its own thread can tell.
        unsigned generation = 0;
    };

    Micros earliestStart(Micros now) const;
    Micros dueAt(const Thread &t, const ProgramHost &host) const;
    bool insideProgram(const Thread &t, int self) const;
    void step(Thread &t, Micros now, ProgramHost &host);
    void execute(Thread &t, int self, Micros now, ProgramHost &host);
    void fail(Thread &t, int line, std::string reason);
    bool breaksAt(const Thread &t, int self, const Watch &watch) const;
    bool deviceCommand(Thread &t, const zenta::lang::Instr &i, const std::string &text, ProgramHost &host);
    void apply(Thread &t, int index, RunAction action, Micros now);

    zenta::lang::Program program_;
    std::array<Thread, kThreads> threads_{};
    Micros statementUs_ = kDefaultStatementUs;
    bool stepping_ = false;  // inside a statement, so run control comes from a program
};

}  // namespace zsim

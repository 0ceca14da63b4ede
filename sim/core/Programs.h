// The stored program and its two threads.
//
// The device has room for one stored program made of two entry points, run as
// two threads (Interpreter) with their own program counters. The program is
// only ever replaced whole, and never while a thread holds a place in it.
#pragma once

#include "Interpreter.h"

#include "zenta/lang/program.hpp"

#include <string>
#include <vector>

namespace zsim {

class Programs {
public:
    static constexpr int kThreads = Interpreter::kThreads;

    // thread -1 acts on both. Returns the reply text.
    std::string control(int thread, RunAction action, Micros now) { return threads_.control(thread, action, now); }

    // Source line of one thread (-1: thread 0) and the state of one thread or
    // of the program as a whole (-1); Interpreter says how.
    int pc(int thread) const { return threads_.sourceLine(thread); }
    ThreadState state(int thread) const { return threads_.state(thread); }

    // The stored program: its compiled lines exactly as received, and their
    // parsed form. install() takes lines that parseCompiled() accepted.
    void install(std::vector<std::string> lines, zenta::lang::Program program)
    {
        lines_ = std::move(lines);
        threads_.load(std::move(program));  // counters into the old program mean nothing now
    }
    void clear() { install({}, {}); }
    const std::vector<std::string> &lines() const { return lines_; }
    const zenta::lang::Program &program() const { return threads_.program(); }
    // Whether program `thread` (0 or 1) is stored; -1: any program at all.
    bool stored(int thread) const
    {
        if (lines_.empty())
            return false;
        return thread < 0 || threads_.hasProgram(thread);
    }
    // A running or paused thread holds a place in the stored program, so the
    // program cannot be replaced under it.
    bool busy() const
    {
        for (int k = 0; k < kThreads; ++k)
            if (state(k) == ThreadState::Running || state(k) == ThreadState::Paused)
                return true;
        return false;
    }

    // Power-up: every thread idle, then the ones `sload` names (bit 0 thread
    // 0, bit 1 thread 1) start, when their program is stored.
    void powerUp(int sload, Micros now)
    {
        threads_.reset();
        for (int k = 0; k < kThreads; ++k)
            if (sload & (1 << k))
                threads_.control(k, RunAction::Run, now);
    }

    Interpreter &threads() { return threads_; }
    const Interpreter &threads() const { return threads_; }

private:
    std::vector<std::string> lines_;  // compiled program as stored in flash
    Interpreter threads_;
};

}  // namespace zsim

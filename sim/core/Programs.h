// The stored program and its two threads.
//
// The device has room for one stored program made of two entry points, run as
// two threads with their own program counters. The program arrives whole
// through a finished transfer (Model) and is only ever replaced whole.
// Executing it arrives later; until then every thread stays idle and a run
// request is refused. The run-control rules below already hold per thread so
// execution can slot in without touching the command layer.
#pragma once

#include "zenta/lang/program.hpp"

#include <array>
#include <string>
#include <vector>

namespace zsim {

enum class ThreadState : int { Idle = 0, Running = 1, Paused = 2, Errored = 4 };

// What "SR=" and "SRn=" ask for.
enum class RunAction : int { Stop = 0, Run = 1, Pause = 2, Continue = 3 };

struct ProgramThread {
    ThreadState state = ThreadState::Idle;
    int pc = 0;
};

class Programs {
public:
    static constexpr int kThreads = 2;

    // thread -1 acts on both. Returns the reply text.
    std::string control(int thread, RunAction action)
    {
        if (action == RunAction::Stop) {
            forEach(thread, [](ProgramThread &t) { t = ProgramThread{}; });
            return "OK";
        }
        // Nothing can be stored yet, so there is nothing to run, pause or
        // continue; execution replaces this refusal when programs arrive.
        return "?NOPROGRAM";
    }

    // Program counter and state of one thread, or of the program as a whole
    // (-1): the whole program counts as running while either thread runs.
    int pc(int thread) const { return threads_[thread < 0 ? 0 : thread].pc; }
    ThreadState state(int thread) const
    {
        if (thread >= 0)
            return threads_[thread].state;
        for (auto s : {ThreadState::Running, ThreadState::Errored, ThreadState::Paused})
            for (const auto &t : threads_)
                if (t.state == s)
                    return s;
        return ThreadState::Idle;
    }

    // The stored program: its compiled lines exactly as received, and their
    // parsed form. install() takes lines that parseCompiled() accepted.
    void install(std::vector<std::string> lines, zenta::lang::Program program)
    {
        lines_ = std::move(lines);
        program_ = std::move(program);
        threads_ = {};  // counters into the old program mean nothing now
    }
    void clear() { install({}, {}); }
    const std::vector<std::string> &lines() const { return lines_; }
    const zenta::lang::Program &program() const { return program_; }
    // Whether program `thread` (0 or 1) is stored; -1: any program at all.
    bool stored(int thread) const
    {
        if (lines_.empty())
            return false;
        return thread < 0 || program_.range[thread].present;
    }
    // A running or paused thread holds a place in the stored program, so the
    // program cannot be replaced under it.
    bool busy() const
    {
        for (const auto &t : threads_)
            if (t.state == ThreadState::Running || t.state == ThreadState::Paused)
                return true;
        return false;
    }

    // Power-up: every thread idle at the start.
    void reset() { threads_ = {}; }

private:
    template <class F> void forEach(int thread, F f)
    {
        for (int i = 0; i < kThreads; ++i)
            if (thread < 0 || thread == i)
                f(threads_[i]);
    }

    std::array<ProgramThread, kThreads> threads_{};
    std::vector<std::string> lines_;  // compiled program as stored in flash
    zenta::lang::Program program_;
};

}  // namespace zsim

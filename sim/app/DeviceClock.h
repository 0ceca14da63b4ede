// The device's clock: what time it is for the model, and how the model is
// brought up to that time. The model itself (sim/core) has no clock; the
// server's loop calls this once per turn and before every frame and control
// command, and this runs the model.
//
// The rules:
//  - Real time. Device time is the time since the simulator started. The loop
//    reads the clock once when it wakes; whatever that turn reads (frames,
//    control lines) arrived by then, and is handled at that moment. Before
//    each one the model is brought to it, whatever the gap since the last:
//    the statements due meanwhile run, and those that did not fit in the
//    turn's share of real time (below) are given up, the threads going on
//    from that moment as if the device had been held. So a reply always shows
//    the device as it was between the host's sending and its reply.
//  - Between frames a running program is woken at its next wake-up (the end
//    of a DELAY or of a move under WAITX, the next statement), at most every
//    2 ms, so a tight loop runs in batches and an idle or waiting program
//    costs nothing. A program that cannot keep up lags the clock by at most
//    250 ms before it gives up what is due; until then the loop comes back to
//    it at once.
//  - Lockstep. Device time is the sum of the `advance` commands, and nothing
//    else moves it, not even for what falls due at the present instant (a
//    thread just started waits for the next `advance`, `advance 0` will do).
//    `advance MS` runs exactly the statements due in MS of device time,
//    however long that takes in real time, and is answered when it is done:
//    the outcome does not depend on the machine. Frames and control commands
//    that come meanwhile are handled at the device time reached so far.
//  - Real-time bounds, in both modes. The model runs in slices of at most
//    20 ms of real time per loop turn, the clock looked at after every
//    statement (one statement, a STORE on a slow disk, may cost more than the
//    whole slice); between slices the loop serves its sockets and signals.
//    So SIGTERM is served within a slice and a statement, and an exchange is
//    answered within two (the slice under way when it came, then its own).
#pragma once

#include "Model.h"

#include <chrono>
#include <optional>

namespace zsim {

class DeviceClock {
public:
    using RealTime = std::chrono::steady_clock::time_point;

    DeviceClock(Model &model, bool lockstep);

    bool lockstep() const { return lockstep_; }

    // A loop turn begins at `now`, read once after the wait: what the turn
    // reads arrived by then. It gets a fresh slice of real time.
    void beginTurn(RealTime now)
    {
        turn_ = now;
        sliceEnd_.reset();
    }
    RealTime turnTime() const { return turn_; }

    // Before a frame or a control command: the model at the moment it
    // arrived (real time), or where `advance` has brought it (lockstep).
    void catchUpForInput();
    // At the end of a turn: a running program up to the turn's moment (real
    // time), or the next slice of an `advance` under way (lockstep).
    void runDue();
    // When the loop must wake next for the model; none while it only waits
    // for commands. A time already past means at once.
    std::optional<RealTime> nextWake() const;

    // Lockstep: asks for `us` more of device time; returns the device time
    // to be reached. runDue() does the work.
    Micros advance(Micros us);
    // Lockstep: every statement due by `target` has run.
    bool reached(Micros target) const;

private:
    Micros deviceTime(RealTime t) const;
    // Statements due by `target` until none is left (true) or the turn's
    // slice is spent (false).
    bool run(Micros target);

    Model &model_;
    const bool lockstep_;
    const RealTime epoch_;
    RealTime turn_;
    std::optional<RealTime> sliceEnd_;  // set when the turn first runs a statement
    bool behind_ = false;               // real time: statements still due when the slice ran out
    Micros target_ = 0;                 // lockstep: the sum of the advances
    bool advancing_ = false;            // lockstep: statements may be due by target_
};

}  // namespace zsim

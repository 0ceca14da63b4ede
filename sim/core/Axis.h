// The single axis: a trapezoidal motion plan evaluated in closed form.
//
// A plan is a short list of constant-acceleration segments computed once when
// a motion command arrives. Position at any instant comes straight from the
// plan, so there is no stepping error however the clock is sampled. Re-planning
// starts from the continuous state (position and velocity) of the old plan at
// that instant, so a new command never makes the position jump.
#pragma once

#include <cstdint>
#include <vector>

namespace zsim {

using Micros = std::int64_t;

// Motion-state bits of "MST".
enum MotionBits : int { kConstant = 1, kAccelerating = 2, kDecelerating = 4 };

class Axis {
public:
    static constexpr std::int64_t kMin = INT32_MIN;
    static constexpr std::int64_t kMax = INT32_MAX;

    // At rest on position 0 since `now`.
    explicit Axis(Micros now = 0) : planStart_(now), endAt_(now), restAt_(now) {}

    // speed in pulses/s, accel in pulses/s^2, both positive.
    void moveTo(Micros now, std::int64_t target, long double speed, long double accel);
    // Runs towards the end of the position range; it stops there if nothing else
    // stops it first.
    void jog(Micros now, int direction, long double speed, long double accel);
    // Decelerates to standstill at `accel` and stays where that leaves it.
    void stop(Micros now, long double accel);
    // Standstill at once, on the nearest whole pulse.
    void abort(Micros now);
    // Only meaningful at standstill; the caller checks.
    void setPosition(Micros now, std::int64_t position);

    std::int64_t position(Micros now) const;
    long double velocity(Micros now) const;
    int motionBits(Micros now) const;
    bool moving(Micros now) const { return !segments_.empty() && now < endAt_; }
    // When the axis last came to rest (the exact end of the last plan, rounded
    // up to a microsecond). Only meaningful while not moving.
    Micros restingSince(Micros now) const;
    // The whole-pulse position the present plan ends on.
    std::int64_t finalPosition() const { return final_; }
    Micros plannedEnd() const { return endAt_; }

private:
    struct Segment {
        long double start;   // seconds from plan start
        long double length;  // seconds
        long double p0, v0, a;
        int bits;
    };
    struct State { long double p, v; };

    State stateAt(Micros now) const;
    void begin(Micros now);
    void addSegment(State &s, long double length, long double a, int bits);
    void addBrake(State &s, long double accel);
    void addApproach(State &s, long double target, long double speed, long double accel);
    void finish(Micros now, bool wasMoving, std::int64_t finalPos);

    std::vector<Segment> segments_;
    Micros planStart_ = 0;
    long double planLength_ = 0;  // seconds
    Micros endAt_ = 0;            // first microsecond at which the plan is over
    Micros restAt_ = 0;           // when the axis last came to rest
    std::int64_t final_ = 0;      // position at rest
};

}  // namespace zsim

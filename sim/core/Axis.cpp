#include "Axis.h"

#include <algorithm>
#include <cmath>

namespace zsim {

namespace {

long double seconds(Micros us) { return static_cast<long double>(us) / 1e6L; }

std::int64_t nearestPulse(long double p)
{
    const long double r = std::nearbyintl(p);
    return static_cast<std::int64_t>(std::clamp<long double>(r, Axis::kMin, Axis::kMax));
}

int signOf(long double x) { return (x > 0) - (x < 0); }

}  // namespace

Axis::State Axis::stateAt(Micros now) const
{
    if (!moving(now))
        return {static_cast<long double>(final_), 0};
    const long double t = seconds(now - planStart_);
    auto it = std::upper_bound(segments_.begin(), segments_.end(), t,
                               [](long double x, const Segment &s) { return x < s.start; });
    const Segment &seg = it == segments_.begin() ? segments_.front() : *(it - 1);
    const long double dt = std::clamp<long double>(t - seg.start, 0, seg.length);
    return {seg.p0 + seg.v0 * dt + seg.a * dt * dt / 2, seg.v0 + seg.a * dt};
}

std::int64_t Axis::position(Micros now) const
{
    if (!moving(now))
        return final_;
    // The continuous position never passes the target, so neither does the
    // nearest whole pulse.
    return nearestPulse(stateAt(now).p);
}

long double Axis::velocity(Micros now) const { return stateAt(now).v; }

int Axis::motionBits(Micros now) const
{
    if (!moving(now))
        return 0;
    const long double t = seconds(now - planStart_);
    auto it = std::upper_bound(segments_.begin(), segments_.end(), t,
                               [](long double x, const Segment &s) { return x < s.start; });
    return (it == segments_.begin() ? segments_.front() : *(it - 1)).bits;
}

Micros Axis::restingSince(Micros now) const { return moving(now) ? now : restAt_; }

void Axis::begin(Micros now)
{
    segments_.clear();
    planStart_ = now;
    planLength_ = 0;
}

void Axis::addSegment(State &s, long double length, long double a, int bits)
{
    if (!(length > 0))
        return;
    segments_.push_back({planLength_, length, s.p, s.v, a, bits});
    s.p += s.v * length + a * length * length / 2;
    s.v += a * length;
    planLength_ += length;
}

void Axis::addBrake(State &s, long double accel)
{
    const int dir = signOf(s.v);
    if (dir == 0)
        return;
    // Never run past the ends of the position range: brake harder if the
    // requested rate would not stop the axis in time.
    const long double room = dir > 0 ? kMax - s.p : s.p - kMin;
    const long double needed = s.v * s.v / (2 * accel);
    if (needed > room) {
        if (room <= 0) {
            s.v = 0;
            return;
        }
        accel = s.v * s.v / (2 * room);
    }
    addSegment(s, std::fabs(s.v) / accel, -dir * accel, kDecelerating);
    s.v = 0;
}

void Axis::addApproach(State &s, long double target, long double speed, long double accel)
{
    long double d = target - s.p;
    if (s.v != 0 && (signOf(s.v) != signOf(d) || s.v * s.v / (2 * accel) > std::fabs(d))) {
        // Heading away, or too fast to stop in time: come to rest first, then
        // turn round.
        addBrake(s, accel);
        d = target - s.p;
    }
    const int dir = signOf(d);
    if (dir == 0)
        return;
    const long double dist = std::fabs(d);
    const long double u = std::fabs(s.v);
    if (u > speed) {
        // Faster than the new speed: slow down to it, cruise, then stop.
        addSegment(s, (u - speed) / accel, -dir * accel, kDecelerating);
        const long double cruise = dist - u * u / (2 * accel);
        addSegment(s, cruise / speed, 0, kConstant);
        addSegment(s, speed / accel, -dir * accel, kDecelerating);
        return;
    }
    long double peak = speed;
    long double cruise = dist - (2 * speed * speed - u * u) / (2 * accel);
    if (cruise < 0) {
        // Too short to reach full speed: a triangle whose peak covers the distance.
        peak = std::sqrt(accel * dist + u * u / 2);
        cruise = 0;
    }
    addSegment(s, (peak - u) / accel, dir * accel, kAccelerating);
    addSegment(s, cruise / peak, 0, kConstant);
    addSegment(s, peak / accel, -dir * accel, kDecelerating);
}

void Axis::finish(Micros now, bool wasMoving, std::int64_t finalPos)
{
    final_ = finalPos;
    if (segments_.empty()) {
        endAt_ = planStart_;
        if (wasMoving)
            restAt_ = now;
        return;
    }
    endAt_ = planStart_ + static_cast<Micros>(std::ceil(planLength_ * 1e6L));
    restAt_ = endAt_;
}

void Axis::moveTo(Micros now, std::int64_t target, long double speed, long double accel)
{
    const bool wasMoving = moving(now);
    State s = stateAt(now);
    begin(now);
    addApproach(s, static_cast<long double>(target), speed, accel);
    finish(now, wasMoving, target);
}

void Axis::jog(Micros now, int direction, long double speed, long double accel)
{
    moveTo(now, direction > 0 ? kMax : kMin, speed, accel);
}

void Axis::stop(Micros now, long double accel)
{
    if (!moving(now))
        return;
    State s = stateAt(now);
    begin(now);
    addBrake(s, accel);
    finish(now, true, nearestPulse(s.p));
}

void Axis::abort(Micros now)
{
    const bool wasMoving = moving(now);
    const std::int64_t p = position(now);
    segments_.clear();
    planStart_ = now;
    finish(now, wasMoving, p);
}

void Axis::setPosition(Micros now, std::int64_t position)
{
    abort(now);
    final_ = position;
}

}  // namespace zsim

#include "MotionHistory.h"

#include <algorithm>

namespace {
// Bounds the look back for the speed base, whatever the poll's rate.
constexpr int kMaxLookBack = 64;
}  // namespace

std::optional<MotionState> motionStateFromText(const QString &text)
{
    if (text == QLatin1String("IDLE"))
        return MotionState::Idle;
    if (text == QLatin1String("ACCEL"))
        return MotionState::Accel;
    if (text == QLatin1String("CONST"))
        return MotionState::Const;
    if (text == QLatin1String("DECEL"))
        return MotionState::Decel;
    return std::nullopt;
}

QString motionStateText(MotionState state)
{
    switch (state) {
    case MotionState::Accel: return QStringLiteral("ACCEL");
    case MotionState::Const: return QStringLiteral("CONST");
    case MotionState::Decel: return QStringLiteral("DECEL");
    case MotionState::Idle: break;
    }
    return QStringLiteral("IDLE");
}

MotionHistory::MotionHistory() : ring_(kCapacity) {}

const MotionSample &MotionHistory::at(int i) const
{
    return ring_[(first_ + i) % kCapacity];
}

const MotionSample &MotionHistory::newest() const
{
    return at(count_ - 1);
}

void MotionHistory::clear()
{
    first_ = 0;
    count_ = 0;
}

void MotionHistory::dropOlderThan(double time)
{
    while (count_ > 0 && at(0).time < time) {
        first_ = (first_ + 1) % kCapacity;
        --count_;
    }
}

void MotionHistory::add(double time, int32_t position, MotionState state, bool afterGap)
{
    if (count_ > 0 && time < newest().time)
        return;
    MotionSample s{time, position, 0.0, state, afterGap};
    // The speed base: the newest earlier sample at least kSpeedBaseSeconds
    // back, not reaching across a gap; short of that, the oldest one reached.
    int base = -1;
    for (int i = count_ - 1, steps = 0; i >= 0 && steps < kMaxLookBack; --i, ++steps) {
        const double later = i == count_ - 1 ? time : at(i + 1).time;
        const bool outage = i == count_ - 1 ? afterGap : at(i + 1).afterGap;
        if (outage || later - at(i).time > kMaxGapSeconds)
            break;
        base = i;
        if (time - at(i).time >= kSpeedBaseSeconds)
            break;
    }
    if (base >= 0 && time > at(base).time)
        s.speed = (double(position) - at(base).position) / (time - at(base).time);

    dropOlderThan(time - kMaxSpanSeconds);
    if (count_ == kCapacity) {
        first_ = (first_ + 1) % kCapacity;
        --count_;
    }
    ring_[(first_ + count_) % kCapacity] = s;
    ++count_;
}

QList<MotionSample> MotionHistory::span(double seconds, double end) const
{
    QList<MotionSample> out;
    // Samples are in time order: find the first one inside the span.
    int lo = 0, hi = count_;
    const double start = end - seconds;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (at(mid).time < start)
            lo = mid + 1;
        else
            hi = mid;
    }
    for (int i = lo; i < count_ && at(i).time <= end; ++i)
        out << at(i);
    return out;
}

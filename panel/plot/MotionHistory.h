#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

enum class MotionState : uint8_t { Idle, Accel, Const, Decel };

// The poll's words for the states; none for any other text.
std::optional<MotionState> motionStateFromText(const QString &text);
QString motionStateText(MotionState state);

struct MotionSample {
    double time = 0;       // seconds on the plot's clock
    int32_t position = 0;  // steps
    double speed = 0;      // steps per second, derived from the positions
    MotionState state = MotionState::Idle;
    bool afterGap = false;  // first sample after the link was lost
};

// The axis positions the poll read, with the speed derived from them, in a
// ring of fixed size: older samples fall out by age and by count, so the
// memory stays the same however long the panel runs.
class MotionHistory {
public:
    static constexpr double kMaxSpanSeconds = 60.0;
    // A minute at the poll's 100 readings a second, with room to spare.
    static constexpr int kCapacity = 8192;
    // Speed is taken over at least this long, so the poll's jitter of a few
    // milliseconds per tick does not show as speed noise.
    static constexpr double kSpeedBaseSeconds = 0.05;
    // A longer silence (a paused poll) starts the speed afresh.
    static constexpr double kMaxGapSeconds = 1.0;

    MotionHistory();

    // Times must not go backwards; a sample older than the newest is dropped.
    // `afterGap`: the first sample after an outage, whose speed starts afresh.
    void add(double time, int32_t position, MotionState state, bool afterGap = false);
    void clear();

    int size() const { return count_; }
    bool isEmpty() const { return count_ == 0; }
    const MotionSample &newest() const;
    // Samples no older than `seconds` before `end`, oldest first.
    QList<MotionSample> span(double seconds, double end) const;

private:
    const MotionSample &at(int i) const;  // 0 is the oldest
    void dropOlderThan(double time);

    std::vector<MotionSample> ring_;
    int first_ = 0;
    int count_ = 0;
};

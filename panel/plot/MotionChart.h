#pragma once

#include "MotionHistory.h"

#include <QList>
#include <QString>
#include <array>

class QAreaSeries;
class QChartView;
class QLineSeries;
class QValueAxis;

// The drawing of a motion plot, one implementation for every window that
// plots the axis: position and speed over time as lines, the motion state
// as coloured bands behind them, and a recording drawn dashed beside them.
class MotionChart {
public:
    // The chart draws at most this many points per line; longer spans are
    // thinned to the lowest and highest value of each stretch.
    static constexpr int kMaxDrawnPoints = 600;

    // Builds the chart into `view`, which owns it.
    explicit MotionChart(QChartView *view);

    // Draws `trace` with its bands and `recording` as dashed lines, over the
    // time range from `start` for `span` seconds; the value axes fit what
    // both show.
    void draw(const QList<MotionSample> &trace, const QList<MotionSample> &recording, double start, double span);
    // The legend's name of the recording's lines.
    void setRecordingName(const QString &name);

    QLineSeries *positionSeries() const { return position_; }
    QLineSeries *speedSeries() const { return speed_; }
    QLineSeries *recordedPositionSeries() const { return recordedPosition_; }
    QLineSeries *recordedSpeedSeries() const { return recordedSpeed_; }
    QValueAxis *timeAxis() const { return timeAxis_; }
    QValueAxis *positionAxis() const { return positionAxis_; }

private:
    QLineSeries *position_ = nullptr;
    QLineSeries *speed_ = nullptr;
    QLineSeries *recordedPosition_ = nullptr;
    QLineSeries *recordedSpeed_ = nullptr;
    std::array<QLineSeries *, 4> bandEdges_{};
    std::array<QAreaSeries *, 4> bands_{};
    QValueAxis *timeAxis_ = nullptr;
    QValueAxis *positionAxis_ = nullptr;
    QValueAxis *speedAxis_ = nullptr;
    QValueAxis *bandAxis_ = nullptr;
};

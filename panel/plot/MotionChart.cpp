#include "MotionChart.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace {

constexpr std::array<MotionState, 4> kStates{MotionState::Idle, MotionState::Accel, MotionState::Const,
                                             MotionState::Decel};

QString bandName(MotionState s)
{
    switch (s) {
    case MotionState::Accel: return QStringLiteral("Accelerating");
    case MotionState::Const: return QStringLiteral("Constant");
    case MotionState::Decel: return QStringLiteral("Decelerating");
    case MotionState::Idle: break;
    }
    return QStringLiteral("Idle");
}

QColor bandColour(MotionState s)
{
    switch (s) {
    case MotionState::Accel: return QColor(255, 150, 0, 70);
    case MotionState::Const: return QColor(0, 170, 60, 55);
    case MotionState::Decel: return QColor(40, 110, 255, 60);
    case MotionState::Idle: break;
    }
    return QColor(150, 150, 150, 35);
}

double positionOf(const MotionSample &s) { return double(s.position); }
double speedOf(const MotionSample &s) { return s.speed; }

// At most `limit` points: all of them, or per stretch of samples its lowest
// and highest value in time order, so peaks survive the thinning.
template <typename Value>
QList<QPointF> thinned(const QList<MotionSample> &samples, int limit, Value value)
{
    QList<QPointF> points;
    const qsizetype n = samples.size();
    if (n <= limit) {
        points.reserve(n);
        for (const MotionSample &s : samples)
            points << QPointF(s.time, value(s));
        return points;
    }
    const qsizetype stretches = limit / 2;
    points.reserve(stretches * 2);
    for (qsizetype b = 0; b < stretches; ++b) {
        const qsizetype from = b * n / stretches, to = (b + 1) * n / stretches;
        qsizetype lo = from, hi = from;
        for (qsizetype i = from; i < to; ++i) {
            if (value(samples[i]) < value(samples[lo]))
                lo = i;
            if (value(samples[i]) > value(samples[hi]))
                hi = i;
        }
        for (qsizetype i : {std::min(lo, hi), std::max(lo, hi)})
            points << QPointF(samples[i].time, value(samples[i]));
    }
    return points;
}

// A range around the values of both lists with a little room, never empty.
template <typename Value>
void autoscale(QValueAxis *axis, const QList<MotionSample> &a, const QList<MotionSample> &b, Value value)
{
    if (a.isEmpty() && b.isEmpty()) {
        axis->setRange(-1, 1);
        return;
    }
    double lo = value(a.isEmpty() ? b.first() : a.first()), hi = lo;
    for (const QList<MotionSample> *list : {&a, &b}) {
        for (const MotionSample &s : *list) {
            lo = std::min(lo, value(s));
            hi = std::max(hi, value(s));
        }
    }
    const double room = hi > lo ? (hi - lo) * 0.05 : std::max(1.0, std::abs(hi) * 0.05);
    axis->setRange(lo - room, hi + room);
    axis->applyNiceNumbers();
}

}  // namespace

MotionChart::MotionChart(QChartView *view)
{
    auto *chart = new QChart;
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->legend()->setAlignment(Qt::AlignBottom);
    view->setChart(chart);

    timeAxis_ = new QValueAxis;
    timeAxis_->setTitleText(QStringLiteral("Time (s)"));
    timeAxis_->setLabelFormat(QStringLiteral("%.1f"));
    positionAxis_ = new QValueAxis;
    positionAxis_->setTitleText(QStringLiteral("Position (steps)"));
    positionAxis_->setLabelFormat(QStringLiteral("%.0f"));
    speedAxis_ = new QValueAxis;
    speedAxis_->setTitleText(QStringLiteral("Speed (steps/s)"));
    speedAxis_->setLabelFormat(QStringLiteral("%.0f"));
    // The bands fill the plot's height on an axis of their own.
    bandAxis_ = new QValueAxis;
    bandAxis_->setRange(0, 1);
    bandAxis_->setVisible(false);
    chart->addAxis(timeAxis_, Qt::AlignBottom);
    chart->addAxis(positionAxis_, Qt::AlignLeft);
    chart->addAxis(speedAxis_, Qt::AlignRight);
    chart->addAxis(bandAxis_, Qt::AlignRight);

    for (std::size_t k = 0; k < kStates.size(); ++k) {
        bandEdges_[k] = new QLineSeries(chart);
        bands_[k] = new QAreaSeries(bandEdges_[k]);
        bands_[k]->setName(bandName(kStates[k]));
        bands_[k]->setBrush(bandColour(kStates[k]));
        bands_[k]->setPen(Qt::NoPen);
        chart->addSeries(bands_[k]);
        bands_[k]->attachAxis(timeAxis_);
        bands_[k]->attachAxis(bandAxis_);
    }
    const QColor positionColour(20, 40, 160), speedColour(200, 0, 0);
    position_ = new QLineSeries;
    position_->setName(QStringLiteral("Position"));
    position_->setPen(QPen(positionColour, 2));
    speed_ = new QLineSeries;
    speed_->setName(QStringLiteral("Speed"));
    speed_->setPen(QPen(speedColour, 1.5));
    recordedPosition_ = new QLineSeries;
    recordedPosition_->setPen(QPen(positionColour.lighter(150), 2, Qt::DashLine));
    recordedSpeed_ = new QLineSeries;
    recordedSpeed_->setPen(QPen(speedColour.lighter(150), 1.5, Qt::DashLine));
    for (QLineSeries *line : {position_, speed_, recordedPosition_, recordedSpeed_}) {
        chart->addSeries(line);
        line->attachAxis(timeAxis_);
    }
    position_->attachAxis(positionAxis_);
    recordedPosition_->attachAxis(positionAxis_);
    speed_->attachAxis(speedAxis_);
    recordedSpeed_->attachAxis(speedAxis_);
    setRecordingName({});
    draw({}, {}, 0, 10);
}

void MotionChart::setRecordingName(const QString &name)
{
    recordedPosition_->setName(QStringLiteral("Position (%1)").arg(name));
    recordedSpeed_->setName(QStringLiteral("Speed (%1)").arg(name));
}

void MotionChart::draw(const QList<MotionSample> &trace, const QList<MotionSample> &recording, double start,
                       double span)
{
    timeAxis_->setRange(start, start + span);
    position_->replace(thinned(trace, kMaxDrawnPoints, positionOf));
    speed_->replace(thinned(trace, kMaxDrawnPoints, speedOf));
    recordedPosition_->replace(thinned(recording, kMaxDrawnPoints, positionOf));
    recordedSpeed_->replace(thinned(recording, kMaxDrawnPoints, speedOf));
    // A line with nothing to draw leaves the legend too.
    recordedPosition_->setVisible(!recording.isEmpty());
    recordedSpeed_->setVisible(!recording.isEmpty());
    autoscale(positionAxis_, trace, recording, positionOf);
    autoscale(speedAxis_, trace, recording, speedOf);

    // Each state's band is a step between 0 and 1, with points only where
    // the state changes.
    std::array<QList<QPointF>, 4> edges;
    auto level = [](MotionState s, std::size_t k) { return s == kStates[k] ? 1.0 : 0.0; };
    for (qsizetype i = 0; i < trace.size(); ++i) {
        const MotionSample &s = trace[i];
        for (std::size_t k = 0; k < kStates.size(); ++k) {
            if (i == 0) {
                edges[k] << QPointF(s.time, level(s.state, k));
            } else if (s.state != trace[i - 1].state) {
                edges[k] << QPointF(s.time, level(trace[i - 1].state, k)) << QPointF(s.time, level(s.state, k));
            } else if (i == trace.size() - 1) {
                edges[k] << QPointF(s.time, level(s.state, k));
            }
        }
    }
    for (std::size_t k = 0; k < kStates.size(); ++k)
        bandEdges_[k]->replace(edges[k]);
}

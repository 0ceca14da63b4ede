#include "PlotForm.h"

#include "common/StopKey.h"

#include "common/Dialogs.h"
#include "common/NumberText.h"
#include "common/SaveAs.h"
#include "mainwindow/StatusPoll.h"
#include "ui_PlotForm.h"

#include <QAreaSeries>
#include <QBuffer>
#include <QChart>
#include <QElapsedTimer>
#include <QLineSeries>
#include <QTimer>
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

// A range around the values with a little room, never empty.
template <typename Value>
void autoscale(QValueAxis *axis, const QList<MotionSample> &samples, Value value)
{
    if (samples.isEmpty()) {
        axis->setRange(-1, 1);
        return;
    }
    double lo = value(samples.first()), hi = lo;
    for (const MotionSample &s : samples) {
        lo = std::min(lo, value(s));
        hi = std::max(hi, value(s));
    }
    const double room = hi > lo ? (hi - lo) * 0.05 : std::max(1.0, std::abs(hi) * 0.05);
    axis->setRange(lo - room, hi + room);
    axis->applyNiceNumbers();
}

}  // namespace

PlotForm::PlotForm(QWidget *owner) : QWidget(owner, Qt::Window), ui_(std::make_unique<Ui::PlotForm>())
{
    ui_->setupUi(this);
    StopKey::cover(this);
    auto wall = std::make_shared<QElapsedTimer>();
    wall->start();
    clock_ = [wall] { return wall->nsecsElapsed() / 1e9; };

    for (int s : kSpans)
        ui_->Span->addItem(QStringLiteral("%1 s").arg(s), s);
    ui_->Span->setCurrentIndex(1);  // 10 s
    buildChart();

    refreshTimer_ = new QTimer(this);
    refreshTimer_->setInterval(kRefreshMs);
    connect(refreshTimer_, &QTimer::timeout, this, [this] {
        if (dirty_)
            refresh();
    });
    connect(ui_->Freeze, &QPushButton::clicked, this, [this] { Freeze_Click(); });
    connect(ui_->Span, &QComboBox::currentIndexChanged, this, [this] { Span_Click(); });
    connect(ui_->ExportCsv, &QPushButton::clicked, this, [this] { ExportCsv_Click(); });
    connect(ui_->ExportPng, &QPushButton::clicked, this, [this] { ExportPng_Click(); });
}

PlotForm::~PlotForm() = default;

void PlotForm::buildChart()
{
    auto *chart = new QChart;
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->legend()->setAlignment(Qt::AlignBottom);
    ui_->Chart->setChart(chart);

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
    position_ = new QLineSeries;
    position_->setName(QStringLiteral("Position"));
    position_->setPen(QPen(QColor(20, 40, 160), 2));
    speed_ = new QLineSeries;
    speed_->setName(QStringLiteral("Speed"));
    speed_->setPen(QPen(QColor(200, 0, 0), 1.5));
    for (QLineSeries *line : {position_, speed_}) {
        chart->addSeries(line);
        line->attachAxis(timeAxis_);
    }
    position_->attachAxis(positionAxis_);
    speed_->attachAxis(speedAxis_);
    refresh();
}

double PlotForm::spanSeconds() const
{
    return ui_->Span->currentData().toDouble();
}

void PlotForm::takeReading(const PollReading &reading)
{
    if (!reading.linkOpen) {
        if (!linkLost_) {
            linkLost_ = true;
            ui_->LinkState->setText(QStringLiteral("Link lost: the plot has stopped."));
        }
        return;
    }
    // Back after a reconnect: the trace goes on after the outage, and the
    // speed starts afresh rather than average across it.
    const bool afterGap = linkLost_;
    if (linkLost_) {
        linkLost_ = false;
        ui_->LinkState->clear();
        lastState_ = MotionState::Idle;
    }
    if (const auto state = motionStateFromText(reading.motionState))
        lastState_ = *state;
    const auto position = parseInt32(reading.position);
    if (!position)
        return;
    history_.add(clock_(), *position, lastState_, afterGap);
    dirty_ = true;
}

QList<MotionSample> PlotForm::shownSamples() const
{
    const double span = spanSeconds();
    if (!frozen_)
        return history_.isEmpty() ? QList<MotionSample>{} : history_.span(span, history_.newest().time);
    QList<MotionSample> out;
    for (const MotionSample &s : frozenSamples_)
        if (s.time >= frozenEnd_ - span)
            out << s;
    return out;
}

void PlotForm::refresh()
{
    dirty_ = false;
    const QList<MotionSample> samples = shownSamples();
    const double span = spanSeconds();
    const double end = frozen_ ? frozenEnd_ : history_.isEmpty() ? 0.0 : history_.newest().time;
    const double start = std::max(0.0, end - span);
    timeAxis_->setRange(start, start + span);

    position_->replace(thinned(samples, kMaxDrawnPoints, [](const MotionSample &s) { return double(s.position); }));
    speed_->replace(thinned(samples, kMaxDrawnPoints, [](const MotionSample &s) { return s.speed; }));
    autoscale(positionAxis_, samples, [](const MotionSample &s) { return double(s.position); });
    autoscale(speedAxis_, samples, [](const MotionSample &s) { return s.speed; });

    // Each state's band is a step between 0 and 1, with points only where
    // the state changes.
    std::array<QList<QPointF>, 4> edges;
    auto level = [](MotionState s, std::size_t k) { return s == kStates[k] ? 1.0 : 0.0; };
    for (qsizetype i = 0; i < samples.size(); ++i) {
        const MotionSample &s = samples[i];
        for (std::size_t k = 0; k < kStates.size(); ++k) {
            if (i == 0) {
                edges[k] << QPointF(s.time, level(s.state, k));
            } else if (s.state != samples[i - 1].state) {
                edges[k] << QPointF(s.time, level(samples[i - 1].state, k)) << QPointF(s.time, level(s.state, k));
            } else if (i == samples.size() - 1) {
                edges[k] << QPointF(s.time, level(s.state, k));
            }
        }
    }
    for (std::size_t k = 0; k < kStates.size(); ++k)
        bandEdges_[k]->replace(edges[k]);
}

void PlotForm::ShowPlot_Click()
{
    show();
    raise();
    activateWindow();
    refresh();
}

void PlotForm::Freeze_Click()
{
    frozen_ = !frozen_;
    if (frozen_) {
        frozenEnd_ = history_.isEmpty() ? 0.0 : history_.newest().time;
        frozenSamples_ = history_.span(MotionHistory::kMaxSpanSeconds, frozenEnd_);
    } else {
        frozenSamples_.clear();
    }
    ui_->Freeze->setChecked(frozen_);
    ui_->Freeze->setText(frozen_ ? QStringLiteral("Resume") : QStringLiteral("Freeze"));
    refresh();
}

void PlotForm::Span_Click()
{
    refresh();
}

QByteArray PlotForm::csvBytes(const QList<MotionSample> &samples)
{
    QByteArray out = "time_s,position_steps,speed_steps_per_s,state\r\n";
    for (const MotionSample &s : samples)
        out += QByteArray::number(s.time, 'f', 3) + ',' + QByteArray::number(s.position) + ','
               + QByteArray::number(s.speed, 'f', 1) + ',' + motionStateText(s.state).toLatin1() + "\r\n";
    return out;
}

void PlotForm::ExportCsv_Click()
{
    // The span as it is now; the poll goes on while the dialog is open.
    const QByteArray bytes = csvBytes(shownSamples());
    saveAs(this, QStringLiteral("Export CSV"), QStringLiteral("CSV files (*.csv)|*.csv"), QStringLiteral("motion.csv"),
           folder_, bytes, QStringLiteral("The plot was not exported: "));
}

void PlotForm::ExportPng_Click()
{
    refresh();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!ui_->Chart->grab().save(&buffer, "PNG")) {
        Dialogs::get().notice(this, QStringLiteral("The plot was not exported: the picture could not be made."));
        return;
    }
    saveAs(this, QStringLiteral("Export PNG"), QStringLiteral("PNG pictures (*.png)|*.png"),
           QStringLiteral("motion.png"), folder_, bytes, QStringLiteral("The plot was not exported: "));
}

void PlotForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refreshTimer_->start();
}

void PlotForm::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    refreshTimer_->stop();
}

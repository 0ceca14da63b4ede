#pragma once

#include "MotionChart.h"
#include "MotionHistory.h"

#include <QWidget>
#include <array>
#include <functional>
#include <memory>

struct PollReading;
class QLineSeries;
class QTimer;
class QValueAxis;

namespace Ui {
class PlotForm;
}

// The live motion plot: the axis position and the speed derived from it as a
// scrolling strip chart, the motion state as coloured bands behind them. It
// is fed only by the status poll's readings and sends nothing to the device.
class PlotForm : public QWidget {
    Q_OBJECT
public:
    // A window of its own, owned by `owner`; it records from the start and
    // draws while shown.
    explicit PlotForm(QWidget *owner);
    ~PlotForm() override;

    Ui::PlotForm *ui() const { return ui_.get(); }

    static constexpr std::array<int, 4> kSpans{5, 10, 30, 60};  // seconds
    static constexpr int kRefreshMs = 200;
    // The chart draws at most this many points per line; longer spans are
    // thinned to the lowest and highest value of each stretch.
    static constexpr int kMaxDrawnPoints = MotionChart::kMaxDrawnPoints;

    // The main window's "Plot" button: shows the window (non-modal).
    void ShowPlot_Click();
    void Freeze_Click();
    void Span_Click();
    void ExportCsv_Click();
    void ExportPng_Click();
    // A CSV export opened again, drawn dashed beside the live trace (from
    // the left edge of the shown span) or alone over its whole length.
    void OpenCsv_Click();
    void CloseCsv_Click();
    void ShowLive_Click();

    // One tick of the status poll.
    void takeReading(const PollReading &reading);
    // Draws the shown span now; the refresh timer calls it while shown.
    void refresh();

    // Seconds on the plot's clock; tests put their own clock in.
    void setClock(std::function<double()> clock) { clock_ = std::move(clock); }

    double spanSeconds() const;
    bool isFrozen() const { return frozen_; }
    bool isLinkLost() const { return linkLost_; }
    const MotionHistory &history() const { return history_; }
    // The samples of the shown span: live, or as they were when frozen.
    QList<MotionSample> shownSamples() const;

    QLineSeries *positionSeries() const { return chart_->positionSeries(); }
    QLineSeries *speedSeries() const { return chart_->speedSeries(); }
    QValueAxis *timeAxis() const { return chart_->timeAxis(); }
    const MotionChart &chart() const { return *chart_; }
    // The opened recording as read, its times as in the file.
    const QList<MotionSample> &recording() const { return recording_; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    std::unique_ptr<Ui::PlotForm> ui_;
    std::unique_ptr<MotionChart> chart_;
    std::function<double()> clock_;
    MotionHistory history_;
    MotionState lastState_ = MotionState::Idle;
    bool frozen_ = false;
    QList<MotionSample> frozenSamples_;  // the last kMaxSpanSeconds when frozen
    double frozenEnd_ = 0;
    bool linkLost_ = false;
    bool dirty_ = false;
    QString folder_;  // last export folder this session
    QList<MotionSample> recording_;

    QTimer *refreshTimer_ = nullptr;
};

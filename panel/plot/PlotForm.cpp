#include "PlotForm.h"

#include "MotionCsv.h"
#include "common/StopKey.h"
#include "common/Dialogs.h"
#include "common/NumberText.h"
#include "common/SaveAs.h"
#include "mainwindow/StatusPoll.h"
#include "ui_PlotForm.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <algorithm>

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
    ui_->CloseCsv->setEnabled(false);
    ui_->ShowLive->setEnabled(false);
    chart_ = std::make_unique<MotionChart>(ui_->Chart);

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
    connect(ui_->OpenCsv, &QPushButton::clicked, this, [this] { OpenCsv_Click(); });
    connect(ui_->CloseCsv, &QPushButton::clicked, this, [this] { CloseCsv_Click(); });
    connect(ui_->ShowLive, &QCheckBox::clicked, this, [this] { ShowLive_Click(); });
}

PlotForm::~PlotForm() = default;

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
    // A recording shown alone does not change with the readings.
    dirty_ = recording_.isEmpty() || ui_->ShowLive->isChecked();
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
    if (!recording_.isEmpty() && !ui_->ShowLive->isChecked()) {
        // The recording alone, over its whole length from its first sample.
        const double t0 = recording_.first().time;
        QList<MotionSample> alone = recording_;
        for (MotionSample &s : alone)
            s.time -= t0;
        chart_->draw({}, alone, 0, std::max(1.0, alone.last().time));
        return;
    }
    const QList<MotionSample> samples = shownSamples();
    const double span = spanSeconds();
    const double end = frozen_ ? frozenEnd_ : history_.isEmpty() ? 0.0 : history_.newest().time;
    const double start = std::max(0.0, end - span);
    // Beside the live trace the recording starts at the span's left edge,
    // so a run started there lines up with it.
    QList<MotionSample> beside;
    for (const MotionSample &s : recording_) {
        const double t = start + (s.time - recording_.first().time);
        if (t > start + span)
            break;
        beside << MotionSample{t, s.position, s.speed, s.state};
    }
    chart_->draw(samples, beside, start, span);
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

void PlotForm::ExportCsv_Click()
{
    // The span as it is now; the poll goes on while the dialog is open.
    const QByteArray bytes = MotionCsv::write(shownSamples());
    saveAs(this, QStringLiteral("Export CSV"), QStringLiteral("CSV files (*.csv)|*.csv"), QStringLiteral("motion.csv"),
           folder_, bytes, QStringLiteral("The plot was not exported: "));
}

void PlotForm::OpenCsv_Click()
{
    const auto name = Dialogs::get().openFileName(this, QStringLiteral("Open CSV"),
                                                  QStringLiteral("CSV files (*.csv)|*.csv"), folder_);
    if (!name || name->isEmpty())
        return;
    const QString failure = QStringLiteral("The file %1 was not opened: ").arg(*name);
    const MotionCsv::Read read = MotionCsv::readFile(*name);
    if (!read.error.isEmpty()) {
        Dialogs::get().notice(this, failure + read.error + QStringLiteral("."));
        return;
    }
    if (read.samples.isEmpty()) {
        Dialogs::get().notice(this, failure + QStringLiteral("it holds no samples."));
        return;
    }
    folder_ = QFileInfo(*name).absolutePath();
    recording_ = read.samples;
    chart_->setRecordingName(QFileInfo(*name).fileName());
    ui_->RecordingName->setText(QFileInfo(*name).fileName());
    ui_->CloseCsv->setEnabled(true);
    ui_->ShowLive->setEnabled(true);
    refresh();
}

void PlotForm::CloseCsv_Click()
{
    recording_.clear();
    ui_->RecordingName->clear();
    ui_->CloseCsv->setEnabled(false);
    ui_->ShowLive->setChecked(true);
    ui_->ShowLive->setEnabled(false);
    refresh();
}

void PlotForm::ShowLive_Click()
{
    refresh();
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

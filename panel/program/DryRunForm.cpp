#include "DryRunForm.h"

#include "ProgramEdit.h"
#include "common/StopKey.h"
#include "common/TextFile.h"
#include "config/DriverSettings.h"
#include "mainwindow/MainControlForm.h"
#include "plot/MotionChart.h"
#include "ui_DryRunForm.h"
#include "ui_MainControlForm.h"

#include <QHeaderView>
#include <QTextBlock>

using zsim::ThreadState;

namespace {

QString stateText(ThreadState s)
{
    switch (s) {
    case ThreadState::Idle: return QStringLiteral("Idle");
    case ThreadState::Running: return QStringLiteral("Running");
    case ThreadState::Paused: return QStringLiteral("Paused");
    case ThreadState::Errored: return QStringLiteral("Errored");
    }
    return {};
}

}  // namespace

DryRunForm::DryRunForm(MainControlForm &main)
    : QWidget(&main, Qt::Window), main_(main), ui_(std::make_unique<Ui::DryRunForm>())
{
    ui_->setupUi(this);
    StopKey::cover(this);
    chart_ = std::make_unique<MotionChart>(ui_->DryRunPlot);
    ui_->DryRunThread->addItems({QStringLiteral("Program 0"), QStringLiteral("Program 1")});
    ui_->DryRunVariables->setHorizontalHeaderLabels({QStringLiteral("Variable"), QStringLiteral("Value")});
    ui_->DryRunVariables->verticalHeader()->hide();
    ui_->DryRunVariables->horizontalHeader()->setStretchLastSection(true);
    ui_->DryRunProgram->setFont(main.ui()->OrgProgram->font());

    connect(ui_->DryRunRun, &QPushButton::clicked, this, [this] { DryRunRun_Click(); });
    connect(ui_->DryRunStep, &QPushButton::clicked, this, [this] { DryRunStep_Click(); });
    connect(ui_->DryRunReset, &QPushButton::clicked, this, [this] { DryRunReset_Click(); });
    connect(ui_->DryRunStop, &QPushButton::clicked, this, [this] { DryRunStop_Click(); });
    connect(ui_->DryRunClose, &QPushButton::clicked, this, [this] { close(); });
    connect(ui_->DryRunProgram, &ProgramEdit::gutterClicked, this, [this](int line) { toggleBreakpoint(line); });
    for (QCheckBox *box : {ui_->DryRunDI1, ui_->DryRunDI2, ui_->DryRunDI3, ui_->DryRunDI4, ui_->DryRunDI5,
                           ui_->DryRunDI6})
        connect(box, &QCheckBox::clicked, this, [this] { inputsChanged(); });
    connect(ui_->DryRunAI, &QSpinBox::valueChanged, this, [this] { inputsChanged(); });
    connect(&engine_, &DryRun::progressed, this, [this] { showState(); });
    sincePlot_.start();
}

DryRunForm::~DryRunForm() = default;

void DryRunForm::closeEvent(QCloseEvent *event)
{
    // A closed window computes nothing (a minimised one goes on); opening
    // it again loads the editor's program afresh.
    engine_.stop();
    QWidget::closeEvent(event);
}

DryRun::Start DryRunForm::startFrom(const MainControlForm &main)
{
    const Ui::MainControlForm &ui = *main.ui();
    DryRun::Start start;
    start.commands = DriverSettings::settingCommands(ui);
    start.commands << QStringLiteral("EO=") + (ui.EO->isLit() ? QStringLiteral("1") : QStringLiteral("0"));
    start.commands << QStringLiteral("DO=%1").arg((ui.DO1->isLit() ? 1 : 0) + (ui.DO2->isLit() ? 2 : 0));
    start.commands << QStringLiteral("HSPD=") + ui.SetSpeed->text() << QStringLiteral("ACC=") + ui.Accel->text();
    start.commands << (ui.Mode->text() == QLatin1String("INC") ? QStringLiteral("INC") : QStringLiteral("ABS"));
    start.commands << QStringLiteral("PX=") + ui.Pos->text();
    const Lamp *inputs[] = {ui.DI1, ui.DI2, ui.DI3, ui.DI4, ui.DI5, ui.DI6};
    for (int bit = 0; bit < 6; ++bit)
        if (inputs[bit]->isLit())
            start.inputs |= 1u << bit;
    bool number = false;
    start.analog = ui.AI->text().trimmed().toInt(&number);
    if (!number)
        start.unread << QStringLiteral("AI ") + ui.AI->text() + QStringLiteral(" (no number: 0 taken)");
    return start;
}

void DryRunForm::DryRun_Click()
{
    load();
    show();
    raise();
    activateWindow();
}

void DryRunForm::load()
{
    const QString text = TextFile::documentText(*main_.ui()->OrgProgram);
    ui_->DryRunProgram->setPlainText(text);
    const DryRun::Start start = startFrom(main_);
    const bool ok = engine_.load(text, start);
    // Breakpoints stay on their lines while they are lines of the text, each
    // on the line that holds the statement it stops before.
    QSet<int> kept;
    for (int line : ui_->DryRunProgram->breakpoints())
        if (line <= ui_->DryRunProgram->blockCount())
            kept.insert(line);
    engine_.setBreakpoints(kept);
    ui_->DryRunProgram->setBreakpoints(engine_.breakpoints());
    ui_->DryRunBreakNote->clear();
    showInputs();
    QString notes;
    if (ok && !engine_.startRefusals().isEmpty())
        notes = QStringLiteral("Not taken from the main window, the model keeps its own value: ") +
                engine_.startRefusals().join(QStringLiteral(", ")) + QStringLiteral(".");
    ui_->DryRunStart->setText(notes);
    showState();
}

void DryRunForm::showInputs()
{
    QCheckBox *boxes[] = {ui_->DryRunDI1, ui_->DryRunDI2, ui_->DryRunDI3, ui_->DryRunDI4, ui_->DryRunDI5, ui_->DryRunDI6};
    const DryRun::Start start = startFrom(main_);
    for (int bit = 0; bit < 6; ++bit)
        boxes[bit]->setChecked(start.inputs & (1u << bit));
    const QSignalBlocker quiet(ui_->DryRunAI);
    ui_->DryRunAI->setValue(start.analog);
}

void DryRunForm::inputsChanged()
{
    QCheckBox *boxes[] = {ui_->DryRunDI1, ui_->DryRunDI2, ui_->DryRunDI3, ui_->DryRunDI4, ui_->DryRunDI5, ui_->DryRunDI6};
    unsigned bits = 0;
    for (int bit = 0; bit < 6; ++bit)
        if (boxes[bit]->isChecked())
            bits |= 1u << bit;
    engine_.setInputs(bits);
    engine_.setAnalog(ui_->DryRunAI->value());
}

void DryRunForm::DryRunRun_Click()
{
    engine_.run();
    showState();
}

void DryRunForm::DryRunStep_Click()
{
    engine_.step(ui_->DryRunThread->currentIndex());
    showState();
}

void DryRunForm::DryRunReset_Click()
{
    load();
}

void DryRunForm::DryRunStop_Click()
{
    engine_.stop();
}

void DryRunForm::toggleBreakpoint(int line)
{
    // A program stops only before a statement: a press beside a line that
    // holds none (a label alone, a comment, a blank, ENDIF, PRG) means the
    // next line that does, and the mark goes there.
    const int at = engine_.breakpointLine(line);
    QSet<int> lines = ui_->DryRunProgram->breakpoints();
    QString note;
    if (at == 0) {
        note = QStringLiteral("Line %1 holds no statement and none follows it: no breakpoint set.").arg(line);
    } else if (!lines.remove(at)) {
        lines.insert(at);
        if (at != line)
            note = QStringLiteral("Line %1 holds no statement: the breakpoint is on line %2, the next that does.")
                       .arg(line)
                       .arg(at);
    }
    engine_.setBreakpoints(lines);
    ui_->DryRunProgram->setBreakpoints(engine_.breakpoints());
    ui_->DryRunBreakNote->setText(note);
}

void DryRunForm::showState()
{
    const bool loaded = engine_.loaded();
    const bool busy = engine_.busy();
    ui_->DryRunRun->setEnabled(loaded && !busy);
    ui_->DryRunStep->setEnabled(loaded && !busy);
    ui_->DryRunReset->setEnabled(!busy);
    ui_->DryRunStop->setEnabled(busy);
    ui_->DryRunProgress->setVisible(busy);
    if (!loaded) {
        ui_->DryRunResult->setText(QStringLiteral("Not run: ") + engine_.loadError());
        ui_->DryRunResult->setStyleSheet(QStringLiteral("font-weight: bold; color: #b00000;"));
        ui_->DryRunState0->clear();
        ui_->DryRunState1->clear();
        ui_->DryRunTime->clear();
        ui_->DryRunVariables->setRowCount(0);
        ui_->DryRunProgram->setRunningLines({});
        chart_->draw({}, {}, 0, 1);
        return;
    }
    const bool error = engine_.outcome() == DryRun::Outcome::Error;
    ui_->DryRunResult->setText(busy ? QStringLiteral("Computing...") : engine_.resultText());
    ui_->DryRunResult->setStyleSheet(error ? QStringLiteral("font-weight: bold; color: #b00000;")
                                           : QStringLiteral("font-weight: bold;"));
    const double now = double(engine_.deviceTime()) / 1e6;
    ui_->DryRunTime->setText(QStringLiteral("%1 s").arg(now, 0, 'f', 4));
    ui_->DryRunProgress->setValue(int((engine_.deviceTime() - engine_.runStartedAt()) / 1'000'000));

    QList<int> lines;
    QLineEdit *boxes[] = {ui_->DryRunState0, ui_->DryRunState1};
    for (int k = 0; k < 2; ++k) {
        const ThreadState s = engine_.state(k);
        const int line = engine_.line(k);
        lines << line;
        QString text = engine_.hasProgram(k) ? stateText(s) : QStringLiteral("No program");
        if (line)
            text += QStringLiteral(", line %1").arg(line);
        boxes[k]->setText(text);
    }
    ui_->DryRunProgram->setRunningLines(lines);
    // The line a stop names is brought into view.
    if (!busy && engine_.outcomeThread() >= 0 && engine_.line(engine_.outcomeThread()) > 0) {
        const QTextBlock block =
            ui_->DryRunProgram->document()->findBlockByNumber(engine_.line(engine_.outcomeThread()) - 1);
        QTextCursor cursor(block);
        ui_->DryRunProgram->setTextCursor(cursor);
        ui_->DryRunProgram->ensureCursorVisible();
    }

    const auto changed = engine_.changedVariables();
    ui_->DryRunVariables->setRowCount(int(changed.size()));
    for (int row = 0; row < int(changed.size()); ++row) {
        ui_->DryRunVariables->setItem(row, 0, new QTableWidgetItem(QStringLiteral("V%1").arg(changed[row].first)));
        ui_->DryRunVariables->setItem(row, 1, new QTableWidgetItem(QString::number(changed[row].second)));
    }

    if (!busy || sincePlot_.elapsed() >= kPlotRefreshMs) {
        sincePlot_.restart();
        const QList<MotionSample> &samples = engine_.samples();
        const double end = samples.isEmpty() ? 0.0 : samples.last().time;
        chart_->draw(samples, {}, 0, std::max(1.0, end));
    }
}

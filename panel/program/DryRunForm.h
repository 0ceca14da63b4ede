#pragma once

#include "DryRun.h"

#include <QElapsedTimer>
#include <QWidget>
#include <memory>

class MainControlForm;
class MotionChart;

namespace Ui {
class DryRunForm;
}

// The dry-run window: the editor's program run, stepped and stopped at
// breakpoints on the device model, with its motion plotted, before anything
// is sent to the device. Nothing here talks to the device.
class DryRunForm : public QWidget {
    Q_OBJECT
public:
    // The plot is redrawn at most this often while a run computes.
    static constexpr int kPlotRefreshMs = 200;

    // A window of its own, owned by the main window.
    explicit DryRunForm(MainControlForm &main);
    ~DryRunForm() override;

    Ui::DryRunForm *ui() const { return ui_.get(); }
    DryRun &engine() { return engine_; }
    const MotionChart &chart() const { return *chart_; }

    // The main window's "Dry Run..." button: takes the editor's text and the
    // starting point the main window shows, and shows the window.
    void DryRun_Click();
    void DryRunRun_Click();
    void DryRunStep_Click();
    void DryRunReset_Click();
    void DryRunStop_Click();
    // A press in the program's margin.
    void toggleBreakpoint(int line);

    // The position, speeds, settings and inputs the main window shows.
    static DryRun::Start startFrom(const MainControlForm &main);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void load();
    void showState();
    void showInputs();
    void inputsChanged();

    MainControlForm &main_;
    std::unique_ptr<Ui::DryRunForm> ui_;
    std::unique_ptr<MotionChart> chart_;
    DryRun engine_;
    QElapsedTimer sincePlot_;
};

#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>

class QTimer;
class ProgramEdit;
class StatusPoll;
class MotionControl;
class LinkControl;
class OutputsControl;
class DriverSettings;
class FlashStore;
class SettingsFileControl;
class PlotForm;
class ProgramTools;
class QPlainTextEdit;

namespace Ui {
class MainControlForm;
}

// The main window. Each subsystem's handlers live in a class of their own;
// this window owns the controls, the shared state and the wiring.
class MainControlForm : public QWidget {
    Q_OBJECT
public:
    explicit MainControlForm(QWidget *parent = nullptr);
    ~MainControlForm() override;

    Ui::MainControlForm *ui() const { return ui_.get(); }

    // The guarded exchange every main-window handler uses.
    QString SendReceive(const QString &command);

    bool PausePolling = false;

    // Keeps the status poll off the device for as long as it lives, and
    // lets it go again on every way out of a scope. The upload stops the
    // timer instead; TimerStop in program/ProgramTransfer.cpp says why.
    class PollPause {
    public:
        explicit PollPause(MainControlForm &main) : main_(main) { main_.PausePolling = true; }
        ~PollPause() { main_.PausePolling = false; }
        PollPause(const PollPause &) = delete;
        PollPause &operator=(const PollPause &) = delete;

    private:
        MainControlForm &main_;
    };
    int16_t PollPhase = 0;

    // Start-up: list vocabularies, version check, settings, speed and accel.
    void Form_Load();
    // The version check and what start-up reads into the window, then the
    // poll from its first group; false (link closed, message shown) when the
    // version is refused or the link is lost meanwhile.
    bool readDeviceIntoWindow();
    // Reads the driver settings into the window (the hidden "Upload" button).
    void UploadPar_Click();

    QTimer *Timer1() const { return timer1_; }
    StatusPoll &statusPoll() const { return *poll_; }
    MotionControl &motion() const { return *motion_; }
    OutputsControl &outputs() const { return *outputs_; }
    LinkControl &link() const { return *link_; }
    DriverSettings &settings() const { return *settings_; }
    FlashStore &store() const { return *store_; }
    SettingsFileControl &settingsFile() const { return *settingsFile_; }
    PlotForm &plot() const { return *plot_; }

    // The compile step's helpers (defined in program/).
    int32_t CountCompiledLines();
    void Highlight1(int16_t lineNumber, QPlainTextEdit *OrgProgram);
    ProgramTools &program() const { return *program_; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void fillVocabularies();
    // Each subsystem connects its own buttons; defined in its folder.
    void wireConfig();
    void wireProgram();
    void wireWorkbench();
    void wireTools();
    void wirePlot();

    std::unique_ptr<Ui::MainControlForm> ui_;
    QTimer *timer1_ = nullptr;
    std::unique_ptr<StatusPoll> poll_;
    std::unique_ptr<MotionControl> motion_;
    std::unique_ptr<OutputsControl> outputs_;
    std::unique_ptr<LinkControl> link_;
    std::unique_ptr<DriverSettings> settings_;
    std::unique_ptr<FlashStore> store_;
    std::unique_ptr<SettingsFileControl> settingsFile_;
    PlotForm *plot_ = nullptr;  // child window, set by wirePlot()
    ProgramTools *program_ = nullptr;  // child object, set by wireProgram()
};

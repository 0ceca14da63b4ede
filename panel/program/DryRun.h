#pragma once

#include "Model.h"
#include "plot/MotionHistory.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

class QTimer;

// A program run on an in-process device model, in device time, never on the
// device: the same model the simulator runs, so the program behaves as the
// device runs it. Computing goes in slices between which the event loop
// runs, so the windows and the status poll stay live.
class DryRun : public QObject {
    Q_OBJECT
public:
    // Device time one press of Run may take at most.
    static constexpr zsim::Micros kRunLimitUs = 600'000'000;
    // The plot's samples: one per this much device time, fewer when a run
    // is long (every other one is dropped when the store is full).
    static constexpr zsim::Micros kSampleUs = 10'000;
    static constexpr int kMaxSamples = 20'000;
    // One slice computes for about this long before the event loop runs.
    static constexpr int kSliceMs = 3;
    static constexpr int kStatementsPerCheck = 2048;

    // Where the model starts: commands as a host would send them (settings,
    // speeds, position) and the inputs as the program reads them.
    struct Start {
        QStringList commands;
        unsigned inputs = 0;  // DI1..DI6 as read, bit 0 = DI1
        int analog = 0;
        QStringList unread;   // what the window shows that is no value the model can take
    };

    enum class Outcome { None, Ended, Error, Breakpoint, Stepped, Limit, Stopped, NotRunning, Paused };

    explicit DryRun(QObject *parent = nullptr);
    ~DryRun() override;

    // Compiles the text and sets the model up from `start`; the program is
    // not started. False, with what the check found, when it has errors.
    bool load(const QString &text, const Start &start);
    // Back to the state load() left.
    void reset();
    // Computes until both threads end, an error, a breakpoint, or
    // kRunLimitUs of device time. A move still under way when both have
    // ended goes on, as on the device: the run follows it until the axis
    // stands (or the limit; Run then follows it on).
    // Going on after a breakpoint, a step, Stop or the limit resumes nothing:
    // those only stopped the computing, so a thread the program paused stays
    // paused. Only when nothing runs and a thread is paused does Run send
    // "SR=3" (and Step "SRn=3" for its thread), as the host's Cont would.
    void run();
    // One statement of `thread` (its DELAY or WAITX whole); the other thread
    // runs as it is due meanwhile.
    void step(int thread);
    // Ends a run that is still computing.
    void stop();
    bool busy() const { return busy_; }
    bool loaded() const { return model_ != nullptr; }

    // Breakpoints by source line. A line that holds no statement (a label
    // alone, a comment, a blank, ENDIF, PRG) is never stood before: its
    // breakpoint goes on the next line that holds one (breakpointLine), and
    // one with no statement after it is dropped.
    void setBreakpoints(const QSet<int> &lines);
    const QSet<int> &breakpoints() const { return breakSet_; }
    // The first line at or after `line` that holds a statement of the loaded
    // program; 0 when none does. Before a program is loaded, `line` itself.
    int breakpointLine(int line) const;
    // The inputs as the program reads them, before or during a run.
    void setInputs(unsigned bits);
    void setAnalog(int value);

    // What the last run or step came to, and the thread it names.
    Outcome outcome() const { return outcome_; }
    int outcomeThread() const { return outcomeThread_; }
    // "Ended after T s of device time" (with "; the axis stood still after
    // T s" when a move went on after the end), "Program N stopped with an
    // error at line L: reason", "Program N at line L" (" (breakpoint)"), and
    // the like; empty before the first run.
    QString resultText() const;
    // Why load() refused the text; what of the starting point the model did
    // not take (a command it refused, a value that is no number).
    const QString &loadError() const { return loadError_; }
    const QStringList &startRefusals() const { return startRefusals_; }

    zsim::Micros deviceTime() const;
    zsim::Micros runStartedAt() const { return runStart_; }
    zsim::ThreadState state(int thread) const;
    int line(int thread) const;  // the line it is at; for an errored thread the failing one; 0 when idle
    bool started() const { return started_; }
    bool hasProgram(int thread) const;
    std::vector<std::pair<int, std::int32_t>> changedVariables() const;
    const QList<MotionSample> &samples() const { return samples_; }

signals:
    // After every slice that computed, and once more when the run stops.
    void progressed();
    void finished();

private:
    enum class Mode { Run, Step };
    void begin(Mode mode, int thread);
    void slice();
    void finish(Outcome outcome, int thread);
    void sample();
    void takeSampleAt(zsim::Micros t);
    bool coastUnfinished() const;

    std::unique_ptr<zsim::MemoryFlash> flash_;
    std::unique_ptr<zsim::Model> model_;
    QTimer *slicer_ = nullptr;
    std::vector<std::string> compiled_;
    Start start_;
    QSet<int> breakSet_;
    std::vector<bool> breakLines_;
    zsim::Model::Variables startVars_{};
    QList<MotionSample> samples_;
    zsim::Micros samplePeriod_ = kSampleUs;
    zsim::Micros nextSample_ = 0;
    zsim::Micros runStart_ = 0;
    zsim::Micros runEnd_ = 0;
    zsim::Micros endedAt_ = 0;
    // Both programs have ended (at endedAt_) and the run follows the axis
    // until it stands.
    bool coasting_ = false;
    Mode mode_ = Mode::Run;
    int stepThread_ = -1;
    bool started_ = false;
    bool busy_ = false;
    Outcome outcome_ = Outcome::None;
    int outcomeThread_ = -1;
    QString loadError_;
    QStringList startRefusals_;
};

#include "DryRun.h"

#include "ProgramCheck.h"

#include "zenta/lang/compiler.hpp"
#include "zenta/lang/decimal.hpp"
#include "zenta/lang/transfer.hpp"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

using zsim::Micros;
using zsim::RunStop;
using zsim::ThreadState;

namespace {

QString seconds(Micros us)
{
    return QString::number(double(us) / 1e6, 'f', 2);
}

MotionState stateOf(int bits)
{
    if (bits & zsim::kDecelerating)
        return MotionState::Decel;
    if (bits & zsim::kAccelerating)
        return MotionState::Accel;
    if (bits & zsim::kConstant)
        return MotionState::Const;
    return MotionState::Idle;
}

}  // namespace

DryRun::DryRun(QObject *parent) : QObject(parent)
{
    slicer_ = new QTimer(this);
    slicer_->setSingleShot(true);
    slicer_->setInterval(0);
    connect(slicer_, &QTimer::timeout, this, &DryRun::slice);
}

DryRun::~DryRun() = default;

bool DryRun::load(const QString &text, const Start &start)
{
    stop();
    model_.reset();
    compiled_.clear();
    loadError_.clear();
    start_ = start;
    // The same check the editor shows, so both name the same first error.
    const ProgramCheck::Result check = ProgramCheck::check(text);
    if (!check.errors.isEmpty()) {
        loadError_ = ProgramCheck::summary(check);
        return false;
    }
    const QByteArray bytes = text.toLatin1();  // the check refused any other character
    const zenta::lang::CompileResult compiled =
        zenta::lang::compile(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    compiled_ = zenta::lang::formatCompiled(compiled.program.code);
    reset();
    setBreakpoints(QSet<int>(breakSet_));  // onto this program's statements
    return true;
}

void DryRun::reset()
{
    stop();
    if (compiled_.empty() && !loadError_.isEmpty())
        return;
    flash_ = std::make_unique<zsim::MemoryFlash>();
    model_ = std::make_unique<zsim::Model>(*flash_, "CFG01");
    // The program travels as the loader carries it to a device.
    for (const std::string &c : zenta::lang::transfer::downloadCommands(compiled_))
        model_->handle(c);
    startRefusals_ = start_.unread;
    for (const QString &c : start_.commands) {
        const std::string reply = model_->handle(c.toStdString());
        if (!reply.empty() && reply.front() == '?')
            startRefusals_ << c + QStringLiteral(" (") + QString::fromStdString(reply) + QStringLiteral(")");
    }
    setInputs(start_.inputs);
    setAnalog(start_.analog);
    startVars_ = model_->variables();
    samples_.clear();
    samplePeriod_ = kSampleUs;
    nextSample_ = model_->now();
    runStart_ = endedAt_ = model_->now();
    coasting_ = false;
    started_ = false;
    outcome_ = Outcome::None;
    outcomeThread_ = -1;
    takeSampleAt(model_->now());
    emit progressed();
}

int DryRun::breakpointLine(int line) const
{
    if (!model_)
        return line;
    // A thread stands only before an instruction it runs on its own: not a
    // PRG line, nor the AND/OR part of a condition.
    int next = 0;
    for (const zenta::lang::Instr &i : model_->programs().program().code) {
        if (i.op == zenta::lang::Op::Prg || i.op == zenta::lang::Op::And || i.op == zenta::lang::Op::Or)
            continue;
        if (i.line >= line && (next == 0 || i.line < next))
            next = i.line;
    }
    return next;
}

void DryRun::setBreakpoints(const QSet<int> &lines)
{
    breakSet_.clear();
    for (int line : lines)
        if (const int at = breakpointLine(line))
            breakSet_.insert(at);
    breakLines_.clear();
    for (int line : breakSet_) {
        if (line < 1 || line > zenta::lang::kMaxSourceLine)
            continue;
        if (breakLines_.size() <= std::size_t(line))
            breakLines_.resize(std::size_t(line) + 1, false);
        breakLines_[std::size_t(line)] = true;
    }
}

void DryRun::setInputs(unsigned bits)
{
    start_.inputs = bits & zsim::Model::kInputMask;
    if (!model_)
        return;
    // The model takes the levels at its terminals; polarity turns them into
    // what the program reads.
    std::int64_t polarity = 0;
    zenta::lang::parseDecimalIn(model_->handle("POL"), 0, 3, polarity);
    model_->setInputs(start_.inputs ^ ((polarity & 2) ? zsim::Model::kInputMask : 0u));
}

void DryRun::setAnalog(int value)
{
    start_.analog = std::clamp(value, 0, zsim::Model::kAnalogMax);
    if (model_)
        model_->setAnalog(start_.analog);
}

void DryRun::run()
{
    begin(Mode::Run, -1);
}

void DryRun::step(int thread)
{
    begin(Mode::Step, thread);
}

void DryRun::begin(Mode mode, int thread)
{
    if (!model_ || busy_)
        return;
    // A run that came to its end, or stopped with no thread left running,
    // starts afresh; Run follows a move that outlasted the programs on.
    if (started_ && state(-1) != ThreadState::Running && state(-1) != ThreadState::Paused &&
        !(mode == Mode::Run && coastUnfinished()))
        reset();
    if (!started_) {
        model_->handle("SR=1");
        started_ = true;
    } else if (state(-1) == ThreadState::Paused) {
        // Nothing runs: the program paused itself and waits for its host, so
        // this press is the host's Cont. A breakpoint, a step or Stop paused
        // nothing in the model, so going on from them resumes nothing: a
        // thread that a program paused stays paused, as on the device.
        model_->handle(mode == Mode::Run ? std::string("SR=3") : "SR" + std::to_string(thread) + "=3");
    }
    if (mode == Mode::Step && state(thread) != ThreadState::Running) {
        finish(Outcome::NotRunning, thread);
        return;
    }
    mode_ = mode;
    stepThread_ = mode == Mode::Step ? thread : -1;
    runStart_ = model_->now();
    runEnd_ = runStart_ + kRunLimitUs;
    busy_ = true;
    outcomeThread_ = -1;
    slicer_->start();
}

void DryRun::stop()
{
    if (!busy_)
        return;
    slicer_->stop();
    finish(Outcome::Stopped, -1);
}

void DryRun::takeSampleAt(Micros t)
{
    if (samples_.size() >= kMaxSamples) {
        // Full: keep every other sample and take them half as often.
        QList<MotionSample> kept;
        kept.reserve(samples_.size() / 2 + 1);
        for (qsizetype i = 0; i < samples_.size(); i += 2)
            kept << samples_[i];
        samples_ = kept;
        samplePeriod_ *= 2;
    }
    samples_ << MotionSample{double(t) / 1e6, int32_t(model_->position()), model_->speed(),
                             stateOf(model_->motionBits())};
}

void DryRun::sample()
{
    takeSampleAt(model_->now());
    nextSample_ = model_->now() + samplePeriod_;
}

bool DryRun::coastUnfinished() const
{
    return coasting_ && model_ && model_->standstillAt() > model_->now();
}

void DryRun::slice()
{
    if (!busy_)
        return;
    zsim::Watch watch;
    watch.breakLines = &breakLines_;
    watch.stepThread = stepThread_;
    watch.stopOnError = true;
    QElapsedTimer wall;
    wall.start();
    do {
        if (coasting_) {
            // The programs have ended; the axis goes on to the end of its
            // plan, and the run with it, sampled as before.
            const Micros stands = model_->standstillAt();
            if (stands <= model_->now())
                return finish(Outcome::Ended, outcomeThread_);
            const Micros target = std::min({nextSample_, runEnd_, stands});
            model_->advanceTo(target);
            if (target == nextSample_)
                sample();
            if (target == stands)
                return finish(Outcome::Ended, outcomeThread_);
            if (target >= runEnd_)
                return finish(Outcome::Limit, -1);
            continue;
        }
        const Micros target = std::min(nextSample_, runEnd_);
        const zsim::RunResult r = model_->advanceWatched(target, kStatementsPerCheck, watch);
        switch (r.stop) {
        case RunStop::Budget:
            continue;
        case RunStop::Breakpoint:
            return finish(Outcome::Breakpoint, r.thread);
        case RunStop::Stepped:
            if (state(-1) != ThreadState::Idle)
                return finish(Outcome::Stepped, r.thread);
            outcomeThread_ = r.thread;  // a step that ended the program ends the run, after the axis
            break;
        case RunStop::Errored:
            return finish(Outcome::Error, r.thread);
        case RunStop::Due:
            break;
        }
        switch (state(-1)) {
        case ThreadState::Running:
            break;
        case ThreadState::Idle:
            coasting_ = true;
            endedAt_ = model_->now();
            continue;
        case ThreadState::Errored:
            return finish(Outcome::Error, state(0) == ThreadState::Errored ? 0 : 1);
        case ThreadState::Paused:
            return finish(Outcome::Paused, state(0) == ThreadState::Paused ? 0 : 1);
        }
        model_->advanceTo(target);  // nothing is due before it: only the clock moves
        if (target == nextSample_)
            sample();
        if (target >= runEnd_)
            return finish(Outcome::Limit, -1);
    } while (wall.elapsed() < kSliceMs);
    emit progressed();
    slicer_->start();
}

void DryRun::finish(Outcome outcome, int thread)
{
    busy_ = false;
    outcome_ = outcome;
    outcomeThread_ = thread;
    // The plot reaches the instant the run stopped at.
    if (samples_.isEmpty() || samples_.last().time < double(model_->now()) / 1e6)
        takeSampleAt(model_->now());
    emit progressed();
    emit finished();
}

QString DryRun::resultText() const
{
    const QString program = QStringLiteral("Program %1").arg(outcomeThread_);
    switch (outcome_) {
    case Outcome::None:
        return {};
    case Outcome::Ended:
        if (model_->now() > endedAt_)
            return QStringLiteral("Ended after %1 s of device time; the axis stood still after %2 s")
                .arg(seconds(endedAt_), seconds(model_->now()));
        return QStringLiteral("Ended after %1 s of device time").arg(seconds(endedAt_));
    case Outcome::Error:
        return program + QStringLiteral(" stopped with an error at line %1: %2")
                             .arg(line(outcomeThread_))
                             .arg(QString::fromStdString(model_->programs().threads().errorReason(outcomeThread_)));
    case Outcome::Breakpoint:
        return program + QStringLiteral(" at line %1 (breakpoint)").arg(line(outcomeThread_));
    case Outcome::Stepped:
        if (state(outcomeThread_) == ThreadState::Paused)
            return program + QStringLiteral(" paused at line %1").arg(line(outcomeThread_));
        if (state(outcomeThread_) != ThreadState::Running)
            return program + QStringLiteral(" has ended");
        return program + QStringLiteral(" at line %1").arg(line(outcomeThread_));
    case Outcome::Limit:
        if (coasting_)
            return QStringLiteral("Ended after %1 s of device time; the axis was still moving after %2 s; Run goes on")
                .arg(seconds(endedAt_), seconds(model_->now()));
        return QStringLiteral("Still running after %1 s of device time; Run goes on").arg(seconds(model_->now()));
    case Outcome::Stopped:
        if (coastUnfinished())
            return QStringLiteral("Ended after %1 s of device time; stopped at %2 s with the axis still moving")
                .arg(seconds(endedAt_), seconds(model_->now()));
        return QStringLiteral("Stopped at %1 s of device time").arg(seconds(model_->now()));
    case Outcome::NotRunning:
        return program + QStringLiteral(" is not running");
    case Outcome::Paused:
        return program + QStringLiteral(" paused at line %1").arg(line(outcomeThread_));
    }
    return {};
}

Micros DryRun::deviceTime() const
{
    return model_ ? model_->now() : 0;
}

ThreadState DryRun::state(int thread) const
{
    return model_ ? model_->programs().state(thread) : ThreadState::Idle;
}

int DryRun::line(int thread) const
{
    return model_ ? model_->programs().pc(thread) : 0;
}

bool DryRun::hasProgram(int thread) const
{
    return model_ && model_->programs().stored(thread);
}

std::vector<std::pair<int, std::int32_t>> DryRun::changedVariables() const
{
    return model_ ? model_->changedVariables(startVars_) : std::vector<std::pair<int, std::int32_t>>{};
}

// The dry run on the real main window over the scripted device: programs run,
// stepped and stopped at breakpoints on the device model, their motion timed
// and plotted, and not one exchange sent for it.
#include "PanelFixture.h"
#include "mainwindow/StatusPoll.h"
#include "plot/MotionChart.h"
#include "program/DryRunForm.h"
#include "program/ProgramEdit.h"
#include "program/ProgramTools.h"
#include "ui_DryRunForm.h"
#include "ui_MainControlForm.h"

#include <QLineSeries>
#include <QPushButton>
#include <QTextBlock>
#include <QtTest>
#include <cmath>

namespace {

constexpr int kRunWaitMs = 60000;  // a whole run computes in well under this, even on a loaded machine

// A main window over the scripted device after its start-up and one round
// of the status poll, so it shows what the device reported; the dry-run
// window opened from its button.
struct DryRig {
    PanelFixture f;
    DryRunForm *form = nullptr;

    DryRig(const QStringList &program, const QHash<QString, QString> &device = {})
    {
        for (auto it = device.cbegin(); it != device.cend(); ++it)
            f.dev.setReply(it.key(), it.value());
        f.load();
        for (int tick = 0; tick < 4; ++tick)
            f.main->statusPoll().Timer1_Timer();
        f.main->ui()->OrgProgram->setPlainText(program.join('\n'));
        f.dev.clearLog();
        f.main->findChild<QPushButton *>(QStringLiteral("DryRun"))->click();
        form = f.main->program().dryRun;
    }

    Ui::DryRunForm &ui() const { return *form->ui(); }

    // A click in the window's copy of the program, beside a 1-based line.
    void clickMargin(int line) const
    {
        ProgramEdit *copy = ui().DryRunProgram;
        const QRect r = copy->cursorRect(QTextCursor(copy->document()->findBlockByNumber(line - 1)));
        QTest::mouseClick(copy->gutter(), Qt::LeftButton, {}, QPoint(4, r.center().y()));
    }

    // Waits for a run or step to come to its stop; false if it never does.
    bool settled() const
    {
        QElapsedTimer wall;
        wall.start();
        while (form->engine().busy() && wall.elapsed() < kRunWaitMs)
            QTest::qWait(5);
        return !form->engine().busy();
    }

    // One script step: "run => RESULT", "step N => RESULT", "!di BITS",
    // "!ai N", "!break LINE" (a click in the margin), "V1 == 5" (the table of
    // changed variables), "state1 == TEXT". Empty on success.
    QString play(const QString &step)
    {
        const qsizetype arrow = step.indexOf(" => ");
        if (arrow > 0) {
            const QString action = step.left(arrow);
            if (action == "run")
                ui().DryRunRun->click();
            else if (action.startsWith("step ")) {
                ui().DryRunThread->setCurrentIndex(action.mid(5).toInt());
                ui().DryRunStep->click();
            } else
                return "unknown action " + action;
            if (!settled())
                return "did not stop";
            const QString got = ui().DryRunResult->text();
            return got == step.mid(arrow + 4) ? QString() : "gave " + got;
        }
        if (step.startsWith("!di ")) {
            const unsigned bits = step.mid(4).toUInt();
            QCheckBox *boxes[] = {ui().DryRunDI1, ui().DryRunDI2, ui().DryRunDI3,
                                  ui().DryRunDI4, ui().DryRunDI5, ui().DryRunDI6};
            for (int bit = 0; bit < 6; ++bit)
                if (boxes[bit]->isChecked() != bool(bits & (1u << bit)))
                    boxes[bit]->click();
            return {};
        }
        if (step.startsWith("!ai ")) {
            ui().DryRunAI->setValue(step.mid(4).toInt());
            return {};
        }
        if (step.startsWith("!break ")) {
            const int line = step.mid(7).toInt();
            const bool was = ui().DryRunProgram->breakpoints().contains(line);
            clickMargin(line);
            return ui().DryRunProgram->breakpoints().contains(line) != was ? QString() : "the breakpoint did not toggle";
        }
        const qsizetype eq = step.indexOf(" == ");
        const QString what = step.left(eq), want = step.mid(eq + 4);
        if (what.startsWith("state")) {
            const QString got = (what == "state0" ? ui().DryRunState0 : ui().DryRunState1)->text();
            return got == want ? QString() : "shows " + got;
        }
        const QTableWidget *table = ui().DryRunVariables;
        for (int row = 0; row < table->rowCount(); ++row)
            if (table->item(row, 0)->text() == what)
                return table->item(row, 1)->text() == want ? QString() : "is " + table->item(row, 1)->text();
        return want == "unchanged" ? QString() : what + " is not listed as changed";
    }
};

// Seconds from "Ended after T s of device time"; NaN for any other text.
double endedAfter(const QString &result)
{
    static const QRegularExpression ended(QStringLiteral("^Ended after (\\d+\\.\\d\\d) s of device time$"));
    const auto m = ended.match(result);
    return m.hasMatch() ? m.captured(1).toDouble() : std::nan("");
}

}  // namespace

class DryRunTest : public QObject {
    Q_OBJECT
private slots:
    void runs_data()
    {
        QTest::addColumn<QStringList>("program");
        QTest::addColumn<QStringList>("script");

        QTest::newRow("GOSUB and RETURN")
            << QStringList{"GOSUB add", "GOSUB add", "V2=V1", "END", "add: V1=V1+5", "RETURN"}
            << QStringList{"run => Ended after 0.00 s of device time", "V1 == 10", "V2 == 10", "state0 == Idle"};
        QTest::newRow("both threads")
            << QStringList{"PRG 0", "HSPD=2000", "ACC=100", "X2000", "WAITX", "PRG 1", "loop: V1=V1+1", "DELAY=100",
                           "IF V1<20", "GOTO loop", "ENDIF"}
            << QStringList{"run => Ended after 2.01 s of device time", "V1 == 20", "state0 == Idle", "state1 == Idle"};
        QTest::newRow("a DELAY counts device time")
            << QStringList{"DELAY=2500", "V3=7"} << QStringList{"run => Ended after 2.50 s of device time", "V3 == 7"};
        // Run-time errors, each with its line.
        QTest::newRow("division by zero") << QStringList{"V1=5", "V2=V1/V3", "V4=1"}
                                          << QStringList{"run => Program 0 stopped with an error at line 2: division by zero",
                                                         "state0 == Errored, line 2", "V1 == 5", "V4 == unchanged"};
        QTest::newRow("RETURN without GOSUB")
            << QStringList{"X0", "RETURN"}
            << QStringList{"run => Program 0 stopped with an error at line 2: RETURN without GOSUB"};
        QTest::newRow("GOSUB too deep")
            << QStringList{"; recursion", "deep: GOSUB deep"}
            << QStringList{"run => Program 0 stopped with an error at line 2: GOSUB nested more than 16 deep"};
        QTest::newRow("a setting the device refuses")
            << QStringList{"V1=0", "ACC=V1"}
            << QStringList{"run => Program 0 stopped with an error at line 2: the device answered ?RANGE to ACC=0"};
        QTest::newRow("a move with the output disabled")
            << QStringList{"EO=0", "X100"}
            << QStringList{"run => Program 0 stopped with an error at line 2: the device answered ?DISABLED to X100"};
        QTest::newRow("an error in thread 1 while thread 0 runs")
            << QStringList{"PRG 0", "loop: DELAY=1", "GOTO loop", "PRG 1", "DELAY=500", "V5=V5/V6"}
            << QStringList{"run => Program 1 stopped with an error at line 6: division by zero", "state0 == Running, line 2",
                           "state1 == Errored, line 6"};
        // Breakpoints and steps in each thread.
        QTest::newRow("breakpoints in both threads")
            << QStringList{"PRG 0", "V1=1", "V1=2", "PRG 1", "DELAY=50", "V2=1"}
            << QStringList{"!break 3", "!break 6", "run => Program 0 at line 3 (breakpoint)", "V1 == 1",
                           "run => Program 1 at line 6 (breakpoint)", "V1 == 2", "V2 == unchanged",
                           "run => Ended after 0.05 s of device time", "V2 == 1"};
        QTest::newRow("steps in each thread")
            << QStringList{"PRG 0", "V1=1", "V1=2", "V1=3", "PRG 1", "V2=1", "V2=2"}
            << QStringList{"step 0 => Program 0 at line 3", "V1 == 1", "V2 == unchanged", "state1 == Running, line 6",
                           "step 1 => Program 1 at line 7", "V2 == 1", "step 1 => Program 1 has ended", "V2 == 2",
                           "V1 == 2", "step 0 => Ended after 0.00 s of device time", "V1 == 3"};
        QTest::newRow("a step waits out a WAITX")
            << QStringList{"HSPD=1000", "ACC=100", "X500", "WAITX", "V1=PX"}
            << QStringList{"step 0 => Program 0 at line 2", "step 0 => Program 0 at line 3",
                           "step 0 => Program 0 at line 4", "step 0 => Program 0 at line 5", "V1 == unchanged",
                           "run => Ended after 0.60 s of device time", "V1 == 500"};
        QTest::newRow("stepping a thread that is not running")
            << QStringList{"PRG 0", "V1=1"} << QStringList{"step 1 => Program 1 is not running"};
        // Inputs the operator sets between runs.
        QTest::newRow("inputs changed at a breakpoint")
            << QStringList{"WHILE DI3=0", "DELAY=10", "ENDWHILE", "V1=AI"}
            << QStringList{"!break 2", "run => Program 0 at line 2 (breakpoint)", "run => Program 0 at line 2 (breakpoint)",
                           "!di 4", "!ai 777", "!break 2", "run => Ended after 0.02 s of device time", "V1 == 777"};
        QTest::newRow("a program that pauses itself") << QStringList{"V1=1", "SR0=2", "V1=2"}
                                                      << QStringList{"run => Program 0 paused at line 3",
                                                                     "V1 == 1", "run => Ended after 0.00 s of device time",
                                                                     "V1 == 2"};
        // A step that pauses its own program says so; the next step is the
        // host's Cont for that program.
        QTest::newRow("a step that pauses its own program")
            << QStringList{"V1=1", "SR0=2", "V1=2"}
            << QStringList{"step 0 => Program 0 at line 2", "step 0 => Program 0 paused at line 3",
                           "state0 == Paused, line 3", "V1 == 1", "step 0 => Ended after 0.00 s of device time",
                           "V1 == 2"};
        // A program that pauses the other: a breakpoint or a step leaves the
        // other paused, as the device would.
        QTest::newRow("a thread another paused stays paused at a breakpoint")
            << QStringList{"PRG 0", "SR1=2", "V2=V1", "DELAY=50", "V3=V1", "SR1=0", "PRG 1", "loop: V1=V1+1",
                           "GOTO loop"}
            << QStringList{"!break 5", "run => Program 0 at line 5 (breakpoint)", "state1 == Paused, line 8",
                           "V2 == unchanged", "run => Ended after 0.05 s of device time", "V1 == unchanged",
                           "V3 == unchanged", "state1 == Idle"};
        QTest::newRow("a thread another paused stays paused while the other steps")
            << QStringList{"PRG 0", "SR1=2", "V2=V1", "DELAY=50", "V3=V1", "SR1=0", "PRG 1", "loop: V1=V1+1",
                           "GOTO loop"}
            << QStringList{"step 0 => Program 0 at line 3", "state1 == Paused, line 8",
                           "step 1 => Program 1 is not running", "step 0 => Program 0 at line 4",
                           "step 0 => Program 0 at line 5", "state1 == Paused, line 8", "V1 == unchanged",
                           "step 0 => Program 0 at line 6", "step 0 => Ended after 0.05 s of device time",
                           "V1 == unchanged"};
        // A move goes on after the program's end: the run follows it until
        // the axis stands, or up to the run limit.
        QTest::newRow("a move the program does not wait for")
            << QStringList{"HSPD=1000", "ACC=100", "X1000"}
            << QStringList{"run => Ended after 0.00 s of device time; the axis stood still after 1.10 s",
                           "run => Ended after 0.00 s of device time; the axis stood still after 1.10 s"};
        QTest::newRow("a step that ends the program with a move")
            << QStringList{"HSPD=1000", "ACC=100", "X1000", "DELAY=300"}
            << QStringList{"step 0 => Program 0 at line 2", "step 0 => Program 0 at line 3",
                           "step 0 => Program 0 at line 4",
                           "step 0 => Ended after 0.30 s of device time; the axis stood still after 1.10 s"};
        QTest::newRow("a move that ends as the program does")
            << QStringList{"HSPD=1000", "ACC=100", "X1000", "DELAY=1100"}
            << QStringList{"run => Ended after 1.10 s of device time"};
        QTest::newRow("a jog never stands")
            << QStringList{"HSPD=1000", "ACC=100", "J+"}
            << QStringList{"run => Ended after 0.00 s of device time; the axis was still moving after 600.00 s; Run goes on",
                           "run => Ended after 0.00 s of device time; the axis was still moving after 1200.00 s; Run goes on",
                           "step 0 => Program 0 at line 2"};
    }

    void runs()
    {
        QFETCH(QStringList, program);
        QFETCH(QStringList, script);
        DryRig rig(program);
        for (int i = 0; i < script.size(); ++i) {
            const QString fault = rig.play(script[i]);
            QVERIFY2(fault.isEmpty(), qPrintable(QString("step %1 (%2): %3").arg(i + 1).arg(script[i], fault)));
        }
        // The device heard nothing of it.
        QCOMPARE(rig.f.dev.log, QStringList{});
    }

    // Program 0 pauses program 1, copies its count, waits, copies again and
    // stops it: both copies are the same however the run is broken up.
    void breakpointsAndStepsLeaveTheResultAlone_data()
    {
        QTest::addColumn<QList<int>>("breakpoints");
        QTest::addColumn<QString>("press");  // "run", "step 0", or "steps" (1, 0, 1, 0, ...)

        QTest::newRow("no breakpoint") << QList<int>{} << "run";
        QTest::newRow("a breakpoint on the first copy") << QList<int>{4} << "run";
        QTest::newRow("breakpoints on every line of program 0") << QList<int>{2, 3, 4, 5, 6, 7} << "run";
        QTest::newRow("a breakpoint in program 1's loop") << QList<int>{9} << "run";
        QTest::newRow("steps through program 0") << QList<int>{} << "step 0";
        QTest::newRow("steps of both programs in turn") << QList<int>{} << "steps";
    }

    void breakpointsAndStepsLeaveTheResultAlone()
    {
        QFETCH(QList<int>, breakpoints);
        QFETCH(QString, press);
        const QStringList program{"PRG 0", "DELAY=10", "SR1=2", "V2=V1", "DELAY=50", "V3=V1", "SR1=0", "PRG 1",
                                  "loop: V1=V1+1", "GOTO loop"};
        DryRig plain(program);
        plain.ui().DryRunRun->click();
        QVERIFY(plain.settled());
        QCOMPARE(plain.ui().DryRunResult->text(), QString("Ended after 0.06 s of device time"));
        const auto want = plain.form->engine().changedVariables();
        QCOMPARE(want.size(), std::size_t(3));
        QVERIFY(want[0].second > 0);
        QCOMPARE(want[1].second, want[0].second);  // V2 = V1
        QCOMPARE(want[2].second, want[0].second);  // V3 = V1: program 1 stood paused

        DryRig rig(program);
        for (int line : breakpoints)
            rig.clickMargin(line);
        QCOMPARE(rig.ui().DryRunProgram->breakpoints(), QSet<int>(breakpoints.cbegin(), breakpoints.cend()));
        DryRun &engine = rig.form->engine();
        int presses = 0;
        for (; presses < 2000 && engine.outcome() != DryRun::Outcome::Ended; ++presses) {
            if (press == "run") {
                rig.ui().DryRunRun->click();
            } else {
                rig.ui().DryRunThread->setCurrentIndex(press == "steps" ? 1 - presses % 2 : 0);
                rig.ui().DryRunStep->click();
            }
            QVERIFY(rig.settled());
            QVERIFY2(engine.outcome() != DryRun::Outcome::Error && engine.outcome() != DryRun::Outcome::Paused,
                     qPrintable(rig.ui().DryRunResult->text()));
        }
        QVERIFY(presses > (breakpoints.isEmpty() && press == "run" ? 0 : 1));
        QCOMPARE(rig.ui().DryRunResult->text(), plain.ui().DryRunResult->text());
        QCOMPARE(engine.changedVariables(), want);
        QCOMPARE(engine.deviceTime(), plain.form->engine().deviceTime());
        QCOMPARE(rig.f.dev.log, QStringList{});
    }

    // A breakpoint beside a line that holds no statement goes on the next
    // line that holds one, and the mark and a note say so.
    void breakpointOnALineWithoutAStatement_data()
    {
        QTest::addColumn<int>("clicked");
        QTest::addColumn<int>("mark");  // 0: none
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("note");

        const QString moved = "Line %1 holds no statement: the breakpoint is on line %2, the next that does.";
        QTest::newRow("PRG 0") << 1 << 5 << "Program 0 at line 5 (breakpoint)" << moved.arg(1).arg(5);
        QTest::newRow("a comment") << 2 << 5 << "Program 0 at line 5 (breakpoint)" << moved.arg(2).arg(5);
        QTest::newRow("a blank line") << 3 << 5 << "Program 0 at line 5 (breakpoint)" << moved.arg(3).arg(5);
        QTest::newRow("a label alone") << 4 << 5 << "Program 0 at line 5 (breakpoint)" << moved.arg(4).arg(5);
        QTest::newRow("a statement with a label") << 5 << 5 << "Program 0 at line 5 (breakpoint)" << QString();
        QTest::newRow("ENDIF") << 8 << 9 << "Program 0 at line 9 (breakpoint)" << moved.arg(8).arg(9);
        QTest::newRow("PRG 1") << 10 << 12 << "Program 1 at line 12 (breakpoint)" << moved.arg(10).arg(12);
        QTest::newRow("a comment with blanks") << 11 << 12 << "Program 1 at line 12 (breakpoint)" << moved.arg(11).arg(12);
        QTest::newRow("a comment after the last statement")
            << 13 << 0 << "Ended after 0.00 s of device time"
            << "Line 13 holds no statement and none follows it: no breakpoint set.";
    }

    void breakpointOnALineWithoutAStatement()
    {
        QFETCH(int, clicked);
        QFETCH(int, mark);
        QFETCH(QString, result);
        QFETCH(QString, note);
        DryRig rig({"PRG 0", "; count to three", "", "top:", "top2: V1=V1+1", "IF V1<3", "GOTO top", "ENDIF", "V2=V1",
                    "PRG 1", "   ; program 1", "V3=7", "; the end"});
        rig.clickMargin(clicked);
        const QSet<int> marks = mark ? QSet<int>{mark} : QSet<int>{};
        QCOMPARE(rig.ui().DryRunProgram->breakpoints(), marks);
        QCOMPARE(rig.form->engine().breakpoints(), marks);
        QCOMPARE(rig.ui().DryRunBreakNote->text(), note);
        QCOMPARE(rig.play("run => " + result), QString());
        if (mark) {
            // A second click beside the same line clears the mark where it went.
            rig.clickMargin(clicked);
            QCOMPARE(rig.ui().DryRunProgram->breakpoints(), QSet<int>{});
            QCOMPARE(rig.ui().DryRunBreakNote->text(), QString());
            QCOMPARE(rig.play("run => Ended after 0.00 s of device time"), QString());
        }
    }

    // A breakpoint whose line no longer holds a statement after an edit moves
    // with Reset to the next line that does.
    void breakpointsMoveWithAnEdit()
    {
        DryRig rig({"V1=1", "V2=2", "V3=3"});
        rig.clickMargin(2);
        QCOMPARE(rig.ui().DryRunProgram->breakpoints(), QSet<int>{2});
        rig.f.main->ui()->OrgProgram->setPlainText("V1=1\n; V2=2\nV3=3");
        rig.ui().DryRunReset->click();
        QCOMPARE(rig.ui().DryRunProgram->breakpoints(), QSet<int>{3});
        QCOMPARE(rig.play("run => Program 0 at line 3 (breakpoint)"), QString());
    }

    // The motion after the program's end is plotted to where the axis stands,
    // or to the run limit for a jog; Stop during it says both.
    void aMoveAfterTheEndIsPlotted()
    {
        DryRig rig({"HSPD=1000", "ACC=100", "X1000"});
        rig.ui().DryRunRun->click();
        QVERIFY(rig.settled());
        const QList<MotionSample> &samples = rig.form->engine().samples();
        QCOMPARE(samples.last().position, 1000);
        QVERIFY(std::abs(samples.last().time - 1.1002) < 1e-6);
        QVERIFY(samples.size() > 100);
        const QLineSeries *position = rig.form->chart().positionSeries();
        QCOMPARE(position->at(position->count() - 1).y(), 1000.0);
        QCOMPARE(rig.f.dev.log, QStringList{});

        DryRig jog({"HSPD=1000", "ACC=100", "J+"});
        jog.ui().DryRunRun->click();
        QVERIFY(jog.settled());
        const MotionSample last = jog.form->engine().samples().last();
        QCOMPARE(last.time, 600.0);
        QCOMPARE(last.speed, 1000.0);
        QVERIFY2(std::abs(last.position - 599950) <= 1, qPrintable(QString::number(last.position)));

        // Stop while Run follows the axis on (the press starts no slice
        // before Stop) says both; Run then follows it from there.
        DryRun &engine = jog.form->engine();
        jog.ui().DryRunRun->click();
        QVERIFY(engine.busy());
        jog.ui().DryRunStop->click();
        QCOMPARE(jog.ui().DryRunResult->text(),
                 QString("Ended after 0.00 s of device time; stopped at 600.00 s with the axis still moving"));
        jog.ui().DryRunRun->click();
        QVERIFY(jog.settled());
        QCOMPARE(engine.deviceTime(), 2 * DryRun::kRunLimitUs);
        QCOMPARE(jog.ui().DryRunResult->text(),
                 QString("Ended after 0.00 s of device time; the axis was still moving after 1200.00 s; Run goes on"));
        QCOMPARE(jog.f.dev.log, QStringList{});
    }

    // A trapezoid (or a triangle, when the move is too short for full speed)
    // has a cycle time that follows from speed, ramp and distance.
    void trapezoidCycleTime_data()
    {
        QTest::addColumn<int>("speed");  // pulses/s
        QTest::addColumn<int>("ramp");   // ms to full speed
        QTest::addColumn<int>("distance");

        QTest::newRow("1000 pps, 100 ms, 1000 steps") << 1000 << 100 << 1000;
        QTest::newRow("4000 pps, 300 ms, 20000 steps") << 4000 << 300 << 20000;
        QTest::newRow("50000 pps, 1000 ms, 2000000 steps") << 50000 << 1000 << 2000000;
        QTest::newRow("never reaches full speed") << 2000 << 500 << 400;
    }

    void trapezoidCycleTime()
    {
        QFETCH(int, speed);
        QFETCH(int, ramp);
        QFETCH(int, distance);
        DryRig rig({"HSPD=" + QString::number(speed), "ACC=" + QString::number(ramp), "X" + QString::number(distance),
                    "WAITX"});
        rig.ui().DryRunRun->click();
        QVERIFY(rig.settled());
        const double accel = speed / (ramp / 1000.0);  // pulses/s^2
        const double rampDistance = double(speed) * speed / accel;  // both ramps
        const double expected = distance >= rampDistance ? ramp / 1000.0 + distance / double(speed)
                                                         : 2 * std::sqrt(distance / accel);
        const double got = endedAfter(rig.ui().DryRunResult->text());
        QVERIFY2(std::abs(got - expected) <= 0.01,
                 qPrintable(QString("%1, expected %2 s").arg(rig.ui().DryRunResult->text()).arg(expected)));
        // The plot shows the whole move, standing at the target at its end.
        const QList<MotionSample> &samples = rig.form->engine().samples();
        QCOMPARE(samples.last().position, distance);
        const QLineSeries *position = rig.form->chart().positionSeries();
        QVERIFY(position->count() > 2);
        QCOMPARE(position->at(position->count() - 1).y(), double(distance));
        double fastest = 0;
        for (const MotionSample &s : samples)
            fastest = std::max(fastest, s.speed);
        QVERIFY2(fastest <= speed + 1e-6, qPrintable(QString::number(fastest)));
        QCOMPARE(rig.f.dev.log, QStringList{});
    }

    // The model starts where the main window stands: position, speeds,
    // settings and inputs as last read.
    void startsFromWhatTheMainWindowShows()
    {
        DryRig rig({"V1=PX", "V2=DI", "V3=AI", "V4=HSPD", "V5=ACC", "V7=MM", "V8=DO", "V9=EO"},
                   {{"PX", "-1234"}, {"DI", "5"}, {"AI", "321"}, {"HSPD", "2500"}, {"ACC", "150"}, {"P6", "12"},
                    {"MM", "1"}, {"DO", "2"}});
        rig.f.main->UploadPar_Click();  // the settings as the device holds them
        rig.f.main->ui()->SetSpeed->setText("2500");
        rig.f.main->ui()->Accel->setText("150");
        rig.f.dev.clearLog();
        rig.ui().DryRunReset->click();
        QVERIFY(rig.ui().DryRunDI1->isChecked());
        QVERIFY(!rig.ui().DryRunDI2->isChecked());
        QVERIFY(rig.ui().DryRunDI3->isChecked());
        QCOMPARE(rig.ui().DryRunAI->value(), 321);
        for (const char *step : {"run => Ended after 0.00 s of device time", "V1 == -1234", "V2 == 5", "V3 == 321",
                                    "V4 == 2500", "V5 == 150", "V7 == 1", "V8 == 2", "V9 == 1"}) {
            const QString fault = rig.play(step);
            QVERIFY2(fault.isEmpty(), qPrintable(QString(step) + ": " + fault));
        }
        // Every setting the window showed was taken.
        QCOMPARE(rig.ui().DryRunStart->text(), QString());
        QVERIFY(rig.form->engine().startRefusals().isEmpty());
        QCOMPARE(rig.f.dev.log, QStringList{});
    }

    void whatTheModelCannotTakeIsListed()
    {
        DryRig rig({"V1=HSPD", "V2=AI"});
        rig.f.main->ui()->SetSpeed->setText("fast");
        rig.f.main->ui()->AI->setText("COM ERR");
        rig.ui().DryRunReset->click();
        QCOMPARE(rig.ui().DryRunStart->text(),
                 QString("Not taken from the main window, the model keeps its own value: AI COM ERR (no number: 0 "
                         "taken), HSPD=fast (?SYNTAX)."));
        QCOMPARE(rig.play("run => Ended after 0.00 s of device time"), QString());
        QCOMPARE(rig.play("V1 == 1000"), QString());
        QCOMPARE(rig.play("V2 == unchanged"), QString());
    }

    void aProgramWithErrorsRunsNothing()
    {
        DryRig rig({"X1", "FOO=1", "V99=1"});
        QCOMPARE(rig.ui().DryRunResult->text(),
                 QString("Not run: Line 2: unknown command FOO (and 1 more)"));
        QVERIFY(!rig.ui().DryRunRun->isEnabled());
        QVERIFY(!rig.ui().DryRunStep->isEnabled());
        // Mended in the editor, Reset takes the text again.
        rig.f.main->ui()->OrgProgram->setPlainText("X1");
        rig.ui().DryRunReset->click();
        QVERIFY(rig.ui().DryRunRun->isEnabled());
        // The one-pulse move goes on after the end, at the main window's speed.
        QCOMPARE(rig.play("run => Ended after 0.00 s of device time; the axis stood still after 0.03 s"), QString());
    }

    // A run that would take long shows its progress, can be stopped and
    // goes on from there; inputs changed while it computes reach it.
    void aLongRunIsLiveAndCanBeStopped()
    {
        DryRig rig({"PRG 0", "loop: V1=V1+1", "GOTO loop", "PRG 1", "WHILE DI2=0", "V2=V2+1", "ENDWHILE", "V3=V2"});
        DryRun &engine = rig.form->engine();
        int progress = 0;
        bool inputSet = false;
        zsim::Micros setAt = 0;
        QObject::connect(&engine, &DryRun::progressed, &engine, [&] {
            ++progress;
            if (engine.busy() && !inputSet && engine.deviceTime() > 2'000'000) {
                inputSet = true;
                setAt = engine.deviceTime();
                rig.ui().DryRunDI2->click();
            }
        });
        rig.ui().DryRunRun->click();
        QVERIFY(engine.busy());
        QVERIFY(rig.ui().DryRunStop->isEnabled());
        QVERIFY(!rig.ui().DryRunRun->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(inputSet && rig.ui().DryRunState1->text() == "Idle", kRunWaitMs);
        // Thread 1 counted until it saw the input, then ended.
        const auto changed = engine.changedVariables();
        QCOMPARE(changed.size(), std::size_t(3));
        QCOMPARE(changed[2].second, changed[1].second);  // V3 = V2
        QVERIFY(changed[1].second > 1000);
        QVERIFY(engine.busy() || engine.outcome() == DryRun::Outcome::Limit);
        rig.ui().DryRunStop->click();
        QVERIFY(!engine.busy());
        const zsim::Micros stoppedAt = engine.deviceTime();
        QVERIFY(stoppedAt > setAt);
        QVERIFY(progress > 1);
        QVERIFY2(rig.ui().DryRunResult->text().startsWith("Stopped at ") ||
                     rig.ui().DryRunResult->text().startsWith("Still running after 600.00 s"),
                 qPrintable(rig.ui().DryRunResult->text()));
        // Run goes on from where it stopped.
        rig.ui().DryRunRun->click();
        QVERIFY(engine.busy());
        rig.ui().DryRunStop->click();
        QVERIFY(engine.deviceTime() >= stoppedAt);
        QCOMPARE(rig.f.dev.log, QStringList{});
    }

    // Esc stops the real axis from here as from every window, and the
    // window stays open; a dry run computing meanwhile goes on.
    void escapeStopsTheAxisAndLeavesTheWindowOpen()
    {
        DryRig rig({"loop: GOTO loop"});
        rig.f.main->ui()->SelUSBControl->setChecked(true);
        rig.ui().DryRunRun->click();
        QTest::keyClick(rig.ui().DryRunProgram, Qt::Key_Escape);
        QVERIFY(rig.form->isVisible());
        QVERIFY(!rig.f.dev.log.isEmpty());
        QCOMPARE(rig.f.dev.log.last(), QString("STOP"));
        QVERIFY(rig.form->engine().busy());
        rig.ui().DryRunStop->click();
    }

    // A closed window computes nothing: its run stops where it stood.
    void closingTheWindowStopsItsRun()
    {
        DryRig rig({"loop: V1=V1+1", "GOTO loop"});
        rig.ui().DryRunRun->click();
        QVERIFY(rig.form->engine().busy());
        rig.ui().DryRunClose->click();
        QVERIFY(!rig.form->isVisible());
        QVERIFY(!rig.form->engine().busy());
        const zsim::Micros stoppedAt = rig.form->engine().deviceTime();
        // The slices run from the event loop: any still due would run here.
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
        QCOMPARE(rig.form->engine().deviceTime(), stoppedAt);
        QVERIFY2(rig.ui().DryRunResult->text().startsWith("Stopped at "), qPrintable(rig.ui().DryRunResult->text()));
    }
};

QTEST_MAIN(DryRunTest)
#include "tst_dry_run.moc"

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
            ProgramEdit *copy = ui().DryRunProgram;
            const int line = step.mid(7).toInt();
            const QRect r = copy->cursorRect(QTextCursor(copy->document()->findBlockByNumber(line - 1)));
            const bool was = copy->breakpoints().contains(line);
            QTest::mouseClick(copy->gutter(), Qt::LeftButton, {}, QPoint(4, r.center().y()));
            return copy->breakpoints().contains(line) != was ? QString() : "the breakpoint did not toggle";
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
        QCOMPARE(rig.play("run => Ended after 0.00 s of device time"), QString());
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

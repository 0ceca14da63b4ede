// The motion plot fed by the real status poll over a scripted device, with
// the plot's clock in the test's hand.
#include "FifoWriterLater.h"
#include "PanelFixture.h"
#include "mainwindow/StatusPoll.h"
#include "plot/MotionCsv.h"
#include "plot/PlotForm.h"
#include "ui_MainControlForm.h"
#include "ui_PlotForm.h"

#include <QLineSeries>
#include <QValueAxis>
#include <QtTest>

#include <sys/stat.h>

namespace {

// A window whose poll the test drives: every tick moves the clock on by
// `step` seconds and reads the next scripted position.
struct PlotRig {
    PanelFixture f;
    double now = 0;
    PlotForm &plot;

    PlotRig() : plot((f.load(), f.main->plot()))
    {
        plot.setClock([this] { return now; });
    }

    // Ticks with positions from `from` in steps of `stride`, one per `step` s.
    void feed(int ticks, int32_t from, int32_t stride, double step = 0.01)
    {
        QStringList px;
        for (int i = 0; i < ticks; ++i)
            px << QString::number(from + i * stride);
        f.dev.queued["PX"] = px;
        for (int i = 0; i < ticks; ++i) {
            now += step;
            f.main->statusPoll().Timer1_Timer();
        }
    }
};

QList<double> positionsOf(const QList<MotionSample> &samples)
{
    QList<double> out;
    for (const MotionSample &s : samples)
        out << s.position;
    return out;
}

}  // namespace

class PlotTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void holdsThePolledPointsWithSpeedAndState()
    {
        PlotRig rig;
        rig.f.main->PollPhase = 1;
        // MST is read every fourth tick: accelerating, then constant.
        rig.f.dev.queued["MST"] = QStringList{"2", "1", "1"};
        rig.feed(12, 100, 10);
        rig.plot.refresh();
        const QList<MotionSample> shown = rig.plot.shownSamples();
        QCOMPARE(shown.size(), 12);
        QCOMPARE(positionsOf(shown).first(), 100.0);
        QCOMPARE(positionsOf(shown).last(), 210.0);
        QCOMPARE(shown.last().time, 0.12);
        // 10 steps per 10 ms, once there is a base to measure over.
        QCOMPARE(shown[0].speed, 0.0);
        for (int i = 1; i < 12; ++i)
            QVERIFY2(qAbs(shown[i].speed - 1000.0) < 1e-6, qPrintable(QString::number(shown[i].speed)));
        QList<MotionState> states;
        for (const MotionSample &s : shown)
            states << s.state;
        const auto A = MotionState::Accel, C = MotionState::Const;
        QCOMPARE(states, (QList<MotionState>{A, A, A, A, C, C, C, C, C, C, C, C}));
        QCOMPARE(rig.plot.positionSeries()->count(), 12);
        QCOMPARE(rig.plot.positionSeries()->at(11), QPointF(0.12, 210));
        QCOMPARE(rig.plot.speedSeries()->at(11).y(), 1000.0);
        // The strip chart spans the chosen time from its start.
        QCOMPARE(rig.plot.timeAxis()->min(), 0.0);
        QCOMPARE(rig.plot.timeAxis()->max(), 10.0);
    }

    void costsNoExchange()
    {
        PlotRig rig;
        rig.f.main->PollPhase = 1;
        rig.plot.ShowPlot_Click();
        QVERIFY(rig.plot.isVisible() && !rig.plot.isModal());
        rig.feed(4, 0, 1);
        rig.plot.refresh();
        QCOMPARE(rig.f.dev.log, (QStringList{"PX", "SPC", "MST", "PX", "SPC", "DI", "DO", "EO", "PX", "SPC", "AI", "MM",
                                             "PX", "SPC", "SASTAT"}));
        // A paused poll reads nothing and so adds nothing.
        {
            MainControlForm::PollPause pause(*rig.f.main);
            rig.feed(3, 0, 1);
        }
        QCOMPARE(rig.plot.history().size(), 4);
    }

    void dropsWhatIsOlderThanTheSpan_data()
    {
        QTest::addColumn<int>("spanIndex");
        QTest::addColumn<double>("span");
        for (int i = 0; i < int(PlotForm::kSpans.size()); ++i)
            QTest::addRow("%d s", PlotForm::kSpans[i]) << i << double(PlotForm::kSpans[i]);
    }
    void dropsWhatIsOlderThanTheSpan()
    {
        QFETCH(int, spanIndex);
        QFETCH(double, span);
        PlotRig rig;
        rig.plot.ui()->Span->setCurrentIndex(spanIndex);
        QCOMPARE(rig.plot.spanSeconds(), span);
        rig.feed(750, 0, 7, 0.1);  // 75 s, beyond the longest span
        rig.plot.refresh();
        const QList<MotionSample> shown = rig.plot.shownSamples();
        QVERIFY(shown.first().time >= rig.now - span - 1e-9);
        QVERIFY(shown.first().time < rig.now - span + 0.1 + 1e-9);
        QCOMPARE(shown.last().position, 749 * 7);
        QCOMPARE(rig.plot.timeAxis()->max(), rig.now);
        QCOMPARE(rig.plot.timeAxis()->min(), rig.now - span);
        // The history keeps the longest span and no more.
        QVERIFY(rig.plot.history().span(1000, rig.now).first().time >= rig.now - MotionHistory::kMaxSpanSeconds);
        // Autoscale covers what is shown.
        QVERIFY(rig.plot.ui()->Chart->chart()->axes(Qt::Vertical).size() >= 2);
        auto *positionAxis = qobject_cast<QValueAxis *>(rig.plot.positionSeries()->attachedAxes().last());
        QVERIFY(positionAxis->min() <= shown.first().position && positionAxis->max() >= shown.last().position);
    }

    void historyIsCappedAndLongSpansAreThinned()
    {
        PlotRig rig;
        rig.plot.ui()->Span->setCurrentIndex(3);  // 60 s
        // Faster than the poll could go: the count cap holds first.
        rig.feed(MotionHistory::kCapacity + 500, 0, 1, 0.001);
        QCOMPARE(rig.plot.history().size(), MotionHistory::kCapacity);
        QCOMPARE(rig.plot.history().newest().position, MotionHistory::kCapacity + 499);
        rig.plot.refresh();
        QVERIFY(rig.plot.positionSeries()->count() <= PlotForm::kMaxDrawnPoints);
        // Thinning keeps the extremes.
        const auto points = rig.plot.positionSeries()->points();
        QCOMPARE(points.first().y(), 500.0);
        QCOMPARE(points.last().y(), double(MotionHistory::kCapacity + 499));
    }

    void speedIsTakenOverABaseAndNotAcrossAGap_data()
    {
        QTest::addColumn<QList<double>>("times");
        QTest::addColumn<QList<int>>("positions");
        QTest::addColumn<QList<double>>("speeds");
        // 1000 steps/s read on jittered ticks: over a 50 ms base the jitter
        // fades (tick to tick it would swing from 833 to 1429).
        QTest::newRow("jitter") << QList<double>{0, 0.012, 0.019, 0.031, 0.040, 0.052, 0.060}
                                << QList<int>{0, 10, 20, 30, 40, 50, 60}
                                << QList<double>{0, 833.333, 1052.632, 967.742, 1000, 961.538, 1000};
        QTest::newRow("gap starts afresh") << QList<double>{0, 0.01, 2.01, 2.02}
                                           << QList<int>{0, 10, 5000, 5010}
                                           << QList<double>{0, 1000, 0, 1000};
        QTest::newRow("backwards time is dropped") << QList<double>{0, 0.01, 0.005, 0.02}
                                                   << QList<int>{0, 10, 99, 20}
                                                   << QList<double>{0, 1000, 1000};
        QTest::newRow("standing still") << QList<double>{0, 0.01, 0.02} << QList<int>{-5, -5, -5}
                                        << QList<double>{0, 0, 0};
    }
    void speedIsTakenOverABaseAndNotAcrossAGap()
    {
        QFETCH(QList<double>, times);
        QFETCH(QList<int>, positions);
        QFETCH(QList<double>, speeds);
        MotionHistory h;
        for (int i = 0; i < times.size(); ++i)
            h.add(times[i], positions[i], MotionState::Const);
        QList<double> got;
        for (const MotionSample &s : h.span(100, h.newest().time))
            got << std::round(s.speed * 1000) / 1000;
        QCOMPARE(got, speeds);
    }

    void freezesAndResumes()
    {
        PlotRig rig;
        rig.feed(100, 0, 5);
        rig.plot.ShowPlot_Click();
        QTest::mouseClick(rig.plot.ui()->Freeze, Qt::LeftButton);
        QVERIFY(rig.plot.isFrozen());
        QCOMPARE(rig.plot.ui()->Freeze->text(), QString("Resume"));
        const QList<double> frozen = positionsOf(rig.plot.shownSamples());
        const auto drawn = rig.plot.positionSeries()->points();
        rig.feed(50, 1000, 5);
        rig.plot.refresh();
        QCOMPARE(positionsOf(rig.plot.shownSamples()), frozen);
        QCOMPARE(rig.plot.positionSeries()->points(), drawn);
        // A shorter span while frozen looks at the end of the frozen move.
        rig.plot.ui()->Span->setCurrentIndex(0);
        QCOMPARE(positionsOf(rig.plot.shownSamples()), frozen);  // 1 s of data fits 5 s
        QTest::mouseClick(rig.plot.ui()->Freeze, Qt::LeftButton);
        QVERIFY(!rig.plot.isFrozen());
        QCOMPARE(rig.plot.ui()->Freeze->text(), QString("Freeze"));
        QCOMPARE(rig.plot.shownSamples().size(), 150);
        QCOMPARE(rig.plot.positionSeries()->points().last().y(), 1245.0);
    }

    void lostLinkStopsThePlotUntilTheLinkIsBack()
    {
        PlotRig rig;
        rig.plot.ShowPlot_Click();
        rig.feed(10, 0, 1);
        rig.f.dev.silent = true;
        rig.feed(1, 10, 1);
        QCOMPARE(rig.f.dialogs.notices(), QStringList{"Communication Error!"});
        QVERIFY(!modTollan::CommOpen);
        rig.feed(3, 11, 1);
        QVERIFY(rig.plot.isLinkLost());
        QCOMPARE(rig.plot.ui()->LinkState->text(), QString("Link lost: the plot has stopped."));
        QCOMPARE(rig.plot.history().size(), 10);
        QCOMPARE(rig.plot.shownSamples().last().position, 9);

        // The link comes back (reconnected): the trace goes on after the
        // outage, with no speed made up across it.
        rig.f.dev.silent = false;
        modTollan::CommOpen = true;
        rig.feed(5, 500, 1);
        QVERIFY(!rig.plot.isLinkLost());
        QCOMPARE(rig.plot.ui()->LinkState->text(), QString());
        const QList<MotionSample> shown = rig.plot.shownSamples();
        QCOMPARE(shown.size(), 15);
        QCOMPARE(positionsOf(shown.mid(8)), (QList<double>{8, 9, 500, 501, 502, 503, 504}));
        QCOMPARE(shown[10].speed, 0.0);
        QVERIFY(shown[11].speed > 0 && shown[11].speed < 1000);
    }

    void exportsTheShownSpan()
    {
        PlotRig rig;
        rig.f.main->PollPhase = 1;
        rig.f.dev.queued["MST"] = QStringList{"2", "4", "0"};
        rig.feed(9, 0, 10);
        rig.plot.ShowPlot_Click();
        QTest::mouseClick(rig.plot.ui()->Freeze, Qt::LeftButton);
        rig.feed(5, 90, 10);  // after the freeze: not exported
        const QString csv = dir.filePath("motion.csv");
        rig.f.dialogs.fileNames = {csv};
        rig.plot.ExportCsv_Click();
        QFile file(csv);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("time_s,position_steps,speed_steps_per_s,state\r\n"
                                            "0.010,0,0.0,ACCEL\r\n"
                                            "0.020,10,1000.0,ACCEL\r\n"
                                            "0.030,20,1000.0,ACCEL\r\n"
                                            "0.040,30,1000.0,ACCEL\r\n"
                                            "0.050,40,1000.0,DECEL\r\n"
                                            "0.060,50,1000.0,DECEL\r\n"
                                            "0.070,60,1000.0,DECEL\r\n"
                                            "0.080,70,1000.0,DECEL\r\n"
                                            "0.090,80,1000.0,IDLE\r\n"));
        const QString png = dir.filePath("motion.png");
        rig.f.dialogs.fileNames = {png};
        rig.plot.ExportPng_Click();
        QImage picture(png);
        QVERIFY(!picture.isNull());
        QCOMPARE(picture.size(), rig.plot.ui()->Chart->size());
        QCOMPARE(rig.f.dialogs.notices(), QStringList{});
        QStringList asked;
        for (const auto &s : rig.f.dialogs.shown)
            asked << s.kind + " " + s.title + " | " + s.text + " | " + s.initialName;
        QCOMPARE(asked, (QStringList{"save Export CSV | CSV files (*.csv)|*.csv | motion.csv",
                                     "save Export PNG | PNG pictures (*.png)|*.png | " + dir.filePath("motion.png")}));
        // A failed export says so.
        rig.f.dialogs.fileNames = {dir.filePath("none/motion.csv")};
        rig.plot.ExportCsv_Click();
        QCOMPARE(rig.f.dialogs.notices(),
                 QStringList{"The plot was not exported: " + dir.filePath("none/motion.csv") + " could not be written."});
    }

    // An export opened again draws beside the live trace from the span's
    // left edge, or alone over its length, and writes out the same bytes.
    void csvRoundTrip()
    {
        PlotRig rig;
        rig.f.main->PollPhase = 1;
        rig.f.dev.queued["MST"] = QStringList{"2", "1", "4", "0"};
        rig.feed(40, 100, 25);
        rig.plot.ShowPlot_Click();
        const QString csv = dir.filePath("round.csv");
        rig.f.dialogs.fileNames = {csv};
        rig.plot.ExportCsv_Click();
        const QByteArray exported = MotionCsv::write(rig.plot.shownSamples());

        rig.feed(100, 5000, -3);  // a second run, live
        rig.f.dialogs.fileNames = {csv};
        rig.plot.OpenCsv_Click();
        QCOMPARE(rig.f.dialogs.notices(), QStringList{});
        QCOMPARE(rig.plot.ui()->RecordingName->text(), QString("round.csv"));
        QCOMPARE(MotionCsv::write(rig.plot.recording()), exported);
        QCOMPARE(rig.plot.recording().size(), 40);

        const MotionChart &chart = rig.plot.chart();
        QVERIFY(chart.recordedPositionSeries()->isVisible());
        QCOMPARE(chart.recordedPositionSeries()->count(), 40);
        QCOMPARE(chart.recordedPositionSeries()->at(0), QPointF(rig.plot.timeAxis()->min(), 100));
        QCOMPARE(chart.positionSeries()->count(), 140);
        QCOMPARE(chart.recordedPositionSeries()->name(), QString("Position (round.csv)"));

        // Alone: the recording over its whole length from zero.
        rig.plot.ui()->ShowLive->click();
        QCOMPARE(chart.positionSeries()->count(), 0);
        QCOMPARE(chart.recordedPositionSeries()->at(39), QPointF(0.39, 100 + 39 * 25));
        QCOMPARE(rig.plot.timeAxis()->min(), 0.0);
        QVERIFY(qAbs(rig.plot.timeAxis()->max() - 1.0) < 1e-9);

        rig.plot.ui()->CloseCsv->click();
        QVERIFY(rig.plot.recording().isEmpty());
        QVERIFY(rig.plot.ui()->ShowLive->isChecked());
        QVERIFY(!chart.recordedPositionSeries()->isVisible());
        QCOMPARE(chart.positionSeries()->count(), 140);
    }

    void refusesWhatIsNoExport_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("message");

        const QByteArray header = "time_s,position_steps,speed_steps_per_s,state\r\n";
        const QString starts = "line 1: a plot export starts with the line time_s,position_steps,speed_steps_per_s,state";
        QTest::newRow("empty") << QByteArray() << starts;
        QTest::newRow("another header") << QByteArray("t,x\r\n0,1\r\n") << starts;
        QTest::newRow("settings file") << QByteArray("HSPD=1000\r\n") << starts;
        QTest::newRow("only the header") << header << "it holds no samples";
        QTest::newRow("too few values") << header + "0.010,5,0.0,IDLE\r\n0.020,6\r\n"
                                        << "line 3: expected 4 values separated by commas, found 2";
        QTest::newRow("time no number") << header + "soon,5,0.0,IDLE\r\n" << "line 2: the time \"soon\" is not a number";
        QTest::newRow("time not finite") << header + "inf,5,0.0,IDLE\r\n" << "line 2: the time \"inf\" is not a number";
        QTest::newRow("time goes back") << header + "0.020,5,0.0,IDLE\r\n0.010,5,0.0,IDLE\r\n"
                                        << "line 3: the time \"0.010\" is earlier than the line before";
        QTest::newRow("position with a fraction") << header + "0.010,5.5,0.0,IDLE\r\n"
                                                  << "line 2: the position \"5.5\" is not a whole number of steps";
        QTest::newRow("position beyond 32 bits") << header + "0.010,2147483648,0.0,IDLE\r\n"
                                                 << "line 2: the position \"2147483648\" is not a whole number of steps";
        QTest::newRow("speed no number") << header + "0.010,5,fast,IDLE\r\n" << "line 2: the speed \"fast\" is not a number";
        QTest::newRow("unknown state") << header + "0.010,5,0.0,idle\r\n"
                                       << "line 2: the state \"idle\" is none of IDLE, ACCEL, CONST, DECEL";
        QTest::newRow("too large") << QByteArray(MotionCsv::kMaxBytes + 1, 'x')
                                   << "the file is larger than an export can be (16 MiB)";
    }

    void refusesWhatIsNoExport()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, message);
        PlotRig rig;
        rig.feed(3, 0, 1);
        const QString csv = dir.filePath("bad.csv");
        QFile file(csv);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        rig.f.dialogs.fileNames = {csv};
        rig.plot.OpenCsv_Click();
        QCOMPARE(rig.f.dialogs.notices(), QStringList{"The file " + csv + " was not opened: " + message + "."});
        QVERIFY(rig.plot.recording().isEmpty());
        QVERIFY(!rig.plot.ui()->CloseCsv->isEnabled());
    }

    // "Open CSV..." reads what a file dialog names, which may be a FIFO that
    // no one writes: the window must refuse it at once, not wait on it.
    void refusesAFifoWithoutWaiting()
    {
        PlotRig rig;
        const QString csv = dir.filePath("fifo.csv");
        QCOMPARE(::mkfifo(QFile::encodeName(csv).constData(), 0600), 0);
        FifoWriterLater rescue(csv);
        rig.f.dialogs.fileNames = {csv};
        rig.plot.OpenCsv_Click();
        rescue.cancel();
        QCOMPARE(rig.f.dialogs.notices(),
                 QStringList{"The file " + csv + " was not opened: it is not a regular file."});
        QVERIFY(rig.plot.recording().isEmpty());
    }

    // Every field a refusal quotes is cut short, the time that goes back too,
    // so that a long line does not become a message box of megabytes.
    void aRefusalQuotesAFieldShort()
    {
        PlotRig rig;
        const QByteArray one = QByteArray(100000, '0') + "1";  // 1, earlier than 5
        const QString csv = dir.filePath("long.csv");
        QFile file(csv);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("time_s,position_steps,speed_steps_per_s,state\r\n5.000,5,0.0,IDLE\r\n" + one + ",5,0.0,IDLE\r\n");
        file.close();
        rig.f.dialogs.fileNames = {csv};
        rig.plot.OpenCsv_Click();
        const QStringList notices = rig.f.dialogs.notices();
        QCOMPARE(notices.size(), 1);
        QVERIFY2(notices.first().size() < 400, qPrintable(QString("a notice of %1 characters").arg(notices.first().size())));
    }
};

QTEST_MAIN(PlotTest)
#include "tst_plot.moc"

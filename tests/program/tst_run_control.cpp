// Run control on the real widgets over the scripted device: the main
// window's "Program Control" buttons and the "Multi-Thread Control" window,
// as exact exchange logs.
#include "ModalRun.h"
#include "PanelFixture.h"
#include "mainwindow/StatusPoll.h"
#include "program/XThreadForm.h"
#include "ui_MainControlForm.h"
#include "ui_XThreadForm.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QToolButton>
#include <QtTest>

using namespace modTollan;

namespace {

const QStringList threadPoll = {"SPC0", "SPC1", "SASTAT0", "SASTAT1"};

}  // namespace

class RunControlTest : public QObject {
    Q_OBJECT
private slots:
    void mainWindowButtons_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("usbControl");
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QStringList>("notices");
        QTest::newRow("run") << "RunProg" << true << "1000" << QStringList{"SR=1"} << QStringList{};
        QTest::newRow("pause, no abort") << "PauseProg" << true << "1000" << QStringList{"SR=2"} << QStringList{};
        QTest::newRow("cont") << "ContProg" << true << "1000" << QStringList{"SR=3"} << QStringList{};
        QTest::newRow("run under analog control") << "RunProg" << false << "1000" << QStringList{"SR=1"}
                                                  << QStringList{};
        QTest::newRow("stop") << "StopProg" << true << "1500"
                              << QStringList{"SR=0", "HSPD=1500", "ACC=300", "ABORT"} << QStringList{};
        QTest::newRow("stop under analog control")
            << "StopProg" << false << "1000" << QStringList{"SR=0"}
            << QStringList{"Not USB Control!  Please set to USB Control first."};
        QTest::newRow("stop with a speed that is no number")
            << "StopProg" << true << "fast" << QStringList{"SR=0"}
            << QStringList{"Speed (PPS): \"fast\" is not a whole number from -2147483648 to 2147483647. Nothing was sent."};
    }
    void mainWindowButtons()
    {
        QFETCH(QString, button);
        QFETCH(bool, usbControl);
        QFETCH(QString, speed);
        QFETCH(QStringList, log);
        QFETCH(QStringList, notices);
        PanelFixture f;
        f.load();
        auto &ui = *f.main->ui();
        (usbControl ? ui.SelUSBControl : ui.SelJoyControl)->setChecked(true);
        ui.SetSpeed->setText(speed);
        // The message comes after the stop went out, and the poll is left alone.
        QStringList sentBeforeMessage;
        f.dialogs.onShow = [&](const ScriptedDialogs::Shown &) { sentBeforeMessage = f.dev.log; };
        QTest::mouseClick(f.main->findChild<QPushButton *>(button), Qt::LeftButton);
        QCOMPARE(f.dev.log, log);
        QCOMPARE(f.dialogs.notices(), notices);
        if (!notices.isEmpty())
            QCOMPARE(sentBeforeMessage, log);
        QVERIFY(!f.main->PausePolling);
        QVERIFY(CommOpen);
    }

    void mainWindowButtonsOnALostLink_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("command");
        QTest::newRow("run") << "RunProg" << "SR=1";
        QTest::newRow("stop") << "StopProg" << "SR=0";
        QTest::newRow("pause") << "PauseProg" << "SR=2";
        QTest::newRow("cont") << "ContProg" << "SR=3";
    }
    void mainWindowButtonsOnALostLink()
    {
        QFETCH(QString, button);
        QFETCH(QString, command);
        PanelFixture f;
        f.load();
        f.main->ui()->SelUSBControl->setChecked(true);
        auto *b = f.main->findChild<QPushButton *>(button);
        // A device that stops answering: the error is told once and the link
        // is closed before the message shows; nothing follows the failed command.
        f.dev.silent = true;
        bool closedBeforeMessage = false;
        f.dialogs.onShow = [&](const ScriptedDialogs::Shown &) { closedBeforeMessage = !CommOpen; };
        QTest::mouseClick(b, Qt::LeftButton);
        QCOMPARE(f.dev.log, QStringList{command});
        QCOMPARE(f.dialogs.notices(), QStringList{"Communication Error!"});
        QVERIFY(closedBeforeMessage);
        // With the link closed, nothing is sent at all.
        f.dev.clearLog();
        f.dialogs.shown.clear();
        QTest::mouseClick(b, Qt::LeftButton);
        QCOMPARE(f.dev.log, QStringList{});
        QVERIFY(f.dialogs.notices().isEmpty());
    }

    void threadWindowLayout()
    {
        PanelFixture f;
        XThreadForm form;
        form.Form_Load();
        QCOMPARE(form.windowTitle(), QString("Multi-Thread Control"));
        QCOMPARE(form.Timer1()->objectName(), QString("Timer1"));
        QCOMPARE(form.Timer1()->interval(), 1);
        QVERIFY(form.Timer1()->isActive());
        form.Timer1()->stop();
        auto *frame = form.findChild<QGroupBox *>("Frame6");
        QVERIFY(frame);
        QCOMPARE(frame->title(), QString("Program Control"));
        QCOMPARE(form.findChild<QPushButton *>("Command1")->text(), QString("Close"));

        auto *grid = qobject_cast<QGridLayout *>(frame->layout());
        QVERIFY(grid);
        for (int row = 0; row < 2; ++row) {
            auto *sel = form.findChild<QRadioButton *>(QString("ProgSel%1").arg(row));
            auto *status = form.findChild<QLineEdit *>(QString("ProgStatus%1").arg(row));
            auto *index = form.findChild<QLineEdit *>(QString("ProgIndex%1").arg(row));
            QVERIFY(sel && status && index);
            QCOMPARE(sel->text(), QString("Program %1").arg(row));
            QCOMPARE(sel->parentWidget(), frame);
            QCOMPARE(status->text(), QString("Idle"));
            QCOMPARE(index->text(), QString("1"));
            // Each row reads: option, "Status", its box, "Index", its box.
            const QList<QWidget *> cells = {sel, nullptr, status, nullptr, index};
            for (int column = 0; column < 5; ++column) {
                QWidget *w = grid->itemAtPosition(row, column)->widget();
                if (cells[column])
                    QCOMPARE(w, cells[column]);
                else
                    QCOMPARE(qobject_cast<QLabel *>(w)->text(), QString(column == 1 ? "Status" : "Index"));
            }
            for (QLineEdit *box : {status, index}) {
                QVERIFY(!box->isReadOnly());
                box->ensurePolished();
                QCOMPARE(box->palette().color(QPalette::Base), QColor(224, 224, 224));
            }
        }
        QVERIFY(form.ui()->ProgSel0->isChecked() && !form.ui()->ProgSel1->isChecked());

        // Four picture buttons in a row, left to right, each an icon over its caption.
        const QStringList names = {"RunProg", "StopProg", "ContProg", "PauseProg"};
        const QStringList captions = {"Run", "Stop", "Cont", "Pause"};
        form.show();
        int lastX = -1;
        for (int i = 0; i < names.size(); ++i) {
            auto *b = form.findChild<QToolButton *>(names[i]);
            QVERIFY2(b, qPrintable(names[i]));
            QCOMPARE(b->text(), captions[i]);
            QCOMPARE(b->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
            QVERIFY(!b->icon().isNull());
            QVERIFY(frame->isAncestorOf(b));
            QVERIFY(b->x() > lastX);
            lastX = b->x();
        }
        form.Timer1()->stop();
        QVERIFY(f.dev.log.isEmpty());
    }

    void threadWindowButtons_data()
    {
        QTest::addColumn<int>("thread");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("log");
        for (int t : {0, 1}) {
            const QString sr = QString("SR%1=").arg(t);
            const QByteArray p = QByteArray("program ") + QByteArray::number(t);
            QTest::newRow(p + " run") << t << "RunProg" << QStringList{sr + "1"};
            QTest::newRow(p + " stop") << t << "StopProg" << QStringList{sr + "0", "ABORT"};
            QTest::newRow(p + " cont") << t << "ContProg" << QStringList{sr + "3"};
            QTest::newRow(p + " pause") << t << "PauseProg" << QStringList{sr + "2", "ABORT"};
        }
    }
    void threadWindowButtons()
    {
        QFETCH(int, thread);
        QFETCH(QString, button);
        QFETCH(QStringList, log);
        PanelFixture f;
        f.load();
        // No USB-control check, no link flag, no look at the reply.
        f.main->ui()->SelJoyControl->setChecked(true);
        CommOpen = false;
        f.dev.fallback = "?NOPROGRAM";
        XThreadForm form;
        form.Form_Load();
        form.Timer1()->stop();
        QTest::mouseClick(thread == 0 ? form.ui()->ProgSel0 : form.ui()->ProgSel1, Qt::LeftButton);
        QCOMPARE(form.ui()->ProgSel0->isChecked(), thread == 0);
        QTest::mouseClick(form.findChild<QToolButton *>(button), Qt::LeftButton);
        QCOMPARE(f.dev.log, log);
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    void threadPollFillsBothRows()
    {
        PanelFixture f;
        f.dev.replies = {{"SPC0", "12"}, {"SPC1", "40"}, {"SASTAT0", "1"}, {"SASTAT1", "2"}};
        XThreadForm form;
        form.Form_Load();
        form.Timer1()->stop();
        form.Timer1_Timer();
        QCOMPARE(f.dev.log, threadPoll);
        auto &ui = *form.ui();
        QCOMPARE(ui.ProgIndex0->text(), QString("12"));
        QCOMPARE(ui.ProgIndex1->text(), QString("40"));
        QCOMPARE(ui.ProgStatus0->text(), QString("Running"));
        QCOMPARE(ui.ProgStatus1->text(), QString("Paused"));
        // An index is shown as it came; an empty one blanks the box.
        f.dev.replies["SPC0"] = " 7?";
        f.dev.silentCommands = {"SPC1"};
        form.Timer1_Timer();
        QCOMPARE(ui.ProgIndex0->text(), QString(" 7?"));
        QCOMPARE(ui.ProgIndex1->text(), QString());
        QCOMPARE(f.dev.log, threadPoll + threadPoll);
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    void threadStateCodes_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("shown");  // after "Running" was shown
        QTest::newRow("idle") << "0" << "Idle";
        QTest::newRow("running") << "1" << "Running";
        QTest::newRow("paused") << "2" << "Paused";
        QTest::newRow("errored") << "4" << "Errored";
        QTest::newRow("blanks around") << " 2 " << "Paused";
        QTest::newRow("3 is no state") << "3" << "Running";
        QTest::newRow("negative") << "-1" << "Running";
        QTest::newRow("beyond 32 bits") << "4294967296" << "Running";
        QTest::newRow("not a number") << "?UNKNOWN" << "Running";
        QTest::newRow("failed exchange") << QString() << "Running";
    }
    void threadStateCodes()
    {
        QFETCH(QString, reply);
        QFETCH(QString, shown);
        PanelFixture f;
        f.dev.replies = {{"SASTAT0", "1"}, {"SASTAT1", "1"}};
        XThreadForm form;
        form.Form_Load();
        form.Timer1()->stop();
        form.Timer1_Timer();
        // Each thread's reply goes to its own row only.
        for (const QString thread : {"0", "1"}) {
            f.dev.replies = {{"SASTAT0", "1"}, {"SASTAT1", "1"}};
            f.dev.silentCommands.clear();
            form.Timer1_Timer();
            f.dev.replies["SASTAT" + thread] = reply;
            if (reply.isEmpty())
                f.dev.silentCommands << "SASTAT" + thread;
            form.Timer1_Timer();
            QLineEdit *mine = thread == "0" ? form.ui()->ProgStatus0 : form.ui()->ProgStatus1;
            QLineEdit *other = thread == "0" ? form.ui()->ProgStatus1 : form.ui()->ProgStatus0;
            QCOMPARE(mine->text(), shown);
            QCOMPARE(other->text(), QString("Running"));
        }
    }

    void threadPollRestsOnlyWhenNothingAnswers()
    {
        PanelFixture f;
        XThreadForm form;
        form.Form_Load();
        form.Timer1_Timer();
        QCOMPARE(form.Timer1()->interval(), 0);
        f.dev.silent = true;
        form.Timer1_Timer();
        QCOMPARE(form.Timer1()->interval(), 1);
        QVERIFY(form.Timer1()->isActive());
        form.Timer1()->stop();
    }

    // Back to back, the boxes take every reply at once but repaint at most
    // once a RepaintInterval: a change in a tick that begins within that time
    // of a repaint waits, with its latest text, for the repaint timer.
    void changesRepaintAtMostOnceAnInterval()
    {
        PanelFixture f;
        XThreadForm form;
        form.Form_Load();
        form.Timer1()->stop();
        auto &ui = *form.ui();
        QTimer *repaint = form.repaintTimer();
        QCOMPARE(repaint->interval(), WatchDialog::RepaintInterval);
        int n = 0;
        f.dev.responder = [&n](const QString &c) { return c.startsWith("SPC") ? QString::number(++n) : "1"; };

        form.Timer1_Timer();  // nothing painted lately: paints now
        QCOMPARE(ui.ProgIndex0->text(), QString("1"));
        QVERIFY(ui.ProgIndex0->updatesEnabled() && ui.ProgIndex1->updatesEnabled());
        QVERIFY(repaint->isActive());

        form.Timer1_Timer();
        form.Timer1_Timer();
        QCOMPARE(ui.ProgIndex0->text(), QString("5"));
        QCOMPARE(ui.ProgIndex1->text(), QString("6"));
        QVERIFY(!ui.ProgIndex0->updatesEnabled() && !ui.ProgIndex1->updatesEnabled());
        QVERIFY(ui.ProgStatus0->updatesEnabled());  // unchanged boxes are left alone

        form.RepaintHeld();  // the repaint timer's tick
        QVERIFY(ui.ProgIndex0->updatesEnabled() && ui.ProgIndex1->updatesEnabled());
        QVERIFY(repaint->isActive());  // and the next interval begins

        // With nothing held, the timer's tick ends the interval.
        form.RepaintHeld();
        QVERIFY(!repaint->isActive());
        form.Timer1_Timer();
        QVERIFY(ui.ProgIndex0->updatesEnabled());

        // Closing paints what is still held.
        form.Timer1_Timer();
        QVERIFY(!ui.ProgIndex0->updatesEnabled());
        form.Command1_Click();
        QVERIFY(ui.ProgIndex0->updatesEnabled());
        QVERIFY(!repaint->isActive());
        QVERIFY(!form.Timer1()->isActive());
    }

    // Opened from the main window: modal, no owner, the main poll resting for
    // exactly as long; reopening starts over with "Program 0".
    void openingPausesTheMainPollAndStartsAfresh_data()
    {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("Close button") << false;
        QTest::newRow("close box") << true;
    }
    void openingPausesTheMainPollAndStartsAfresh()
    {
        QFETCH(bool, closeBox);
        PanelFixture f;
        f.load();
        f.dev.replies["PX"] = "100";
        f.main->statusPoll().Timer1_Timer();
        QCOMPARE(f.main->ui()->Pos->text(), QString("100"));
        f.dev.replies["PX"] = "200";
        f.dev.replies["SPC0"] = "9";

        QPointer<QTimer> timer;
        auto &mainUi = *f.main->ui();
        QVERIFY(runWhileOpen<XThreadForm>([&] { mainUi.XThread->click(); }, [&](XThreadForm *x) {
            QVERIFY(f.main->PausePolling);
            QCOMPARE(x->parentWidget(), nullptr);
            QVERIFY(x->isModal());
            timer = x->Timer1();
            QVERIFY(timer->isActive());
            timer->stop();  // ticks by hand from here
            f.dev.clearLog();
            f.main->statusPoll().Timer1_Timer();
            QCOMPARE(f.dev.log, QStringList{});
            QCOMPARE(mainUi.Pos->text(), QString("100"));
            x->Timer1_Timer();
            f.main->statusPoll().Timer1_Timer();
            x->Timer1_Timer();
            QCOMPARE(f.dev.log, threadPoll + threadPoll);
            QCOMPARE(x->ui()->ProgIndex0->text(), QString("9"));
            // Escape is not a way out.
            QTest::keyClick(x, Qt::Key_Escape);
            QVERIFY(x->isVisible());
            x->ui()->ProgSel1->setChecked(true);
            timer->start();
            if (closeBox)
                x->close();
            else
                x->ui()->Command1->click();
            QVERIFY(!timer->isActive());
            QVERIFY(f.main->PausePolling);
        }));
        QVERIFY(!f.main->PausePolling);
        QVERIFY(!timer);

        QVERIFY(runWhileOpen<XThreadForm>([&] { mainUi.XThread->click(); }, [&](XThreadForm *x) {
            x->Timer1()->stop();
            QVERIFY(x->ui()->ProgSel0->isChecked());
            QCOMPARE(x->ui()->ProgIndex0->text(), QString("1"));
            QCOMPARE(x->ui()->ProgStatus1->text(), QString("Idle"));
            f.dev.clearLog();
            x->ui()->RunProg->click();
            QCOMPARE(f.dev.log, QStringList{"SR0=1"});
        }));
        QVERIFY(!f.main->PausePolling);
        f.dev.clearLog();
        f.main->statusPoll().Timer1_Timer();
        QCOMPARE(f.dev.log.first(), QString("PX"));
        QCOMPARE(mainUi.Pos->text(), QString("200"));
    }
};

QTEST_MAIN(RunControlTest)
#include "tst_run_control.moc"

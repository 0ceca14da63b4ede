// The main window over the scripted device: layout, start-up, the status
// poll, motion commands and the outputs, as exact exchange logs.
#include "PanelFixture.h"
#include "common/Lamp.h"
#include "mainwindow/MotionControl.h"
#include "mainwindow/OutputsControl.h"
#include "mainwindow/StatusPoll.h"
#include "ui_MainControlForm.h"

#include <QtTest>

using namespace modTollan;

class MainWindowTest : public QObject {
    Q_OBJECT

    static QString text(const QWidget *w)
    {
        if (auto *e = qobject_cast<const QLineEdit *>(w))
            return e->text();
        if (auto *l = qobject_cast<const QLabel *>(w))
            return l->text();
        if (auto *b = qobject_cast<const QAbstractButton *>(w))
            return b->text();
        if (auto *g = qobject_cast<const QGroupBox *>(w))
            return g->title();
        return {};
    }

private slots:
    void everyControlCarriesItsNameAndCaption()
    {
        PanelFixture f(false);
        const QList<QPair<QString, QString>> controls = {
            {"Pos", "0"}, {"Stat", "IDLE"}, {"curCurrent", "IDLE"}, {"AI", "0"}, {"Mode", "0"},
            {"ID", "XXXX"}, {"Version", "V000"}, {"SetDN", "Set"}, {"TimeOut", "0"}, {"DOBoot", "Text3"},
            {"SelUSBControl", "USB"}, {"SelJoyControl", "Analog"}, {"DOPolarity", "DO"}, {"DIPolarity", "DI"},
            {"SLOAD0", "Auto Run0"}, {"SLOAD1", "Auto Run1"}, {"SetPosition", "1000"}, {"SetSpeed", "1000"},
            {"Accel", "300"}, {"Datum", "DATUM"}, {"ABS", "ABS"}, {"Command2", "ABS"}, {"Command3", "INC"},
            {"JOGN", "JOG-"}, {"JOGP", "JOG+"}, {"rstop", "STOP"}, {"ManualTerminal", "Terminal"},
            {"DownloadDrv", "Down"}, {"UploadDriver", "Upload"}, {"SetSN", "Store"}, {"ProgStatus", "Idle"},
            {"ProgIndex", "1"}, {"XThread", "X-Thread"}, {"RunProg", "Run"}, {"ContProg", "Cont"},
            {"PauseProg", "Pause"}, {"StopProg", "Stop"}, {"Label43", "Text Program"}, {"CompiledLines", "Lines:"},
            {"SaveProg", "Save"}, {"OpenProg", "Open"}, {"NewProg", "New"}, {"Command5", "Variables"},
            {"CompileAll", "Compile"}, {"DownloadSAP", "Download"}, {"UploadSAP", "Upload"},
            {"ViewCompiled", "View"}, {"Close", "Close"}, {"Command1", "Send"}, {"UploadPar", "Upload"},
            {"DownloadPar", "Download"}, {"Deadband", "0"}, {"MaxDelta", "0"}, {"MaxSpeed", "0"},
            {"Frame6", "Program Control"},
        };
        for (const auto &[name, caption] : controls) {
            auto *w = f.main->findChild<QWidget *>(name);
            QVERIFY2(w, qPrintable(name));
            QCOMPARE(text(w), caption);
        }
        for (const QString name : {"Text1", "Text2", "Sent", "OrgProgram", "DeviceName", "Par6", "Par8", "Par9",
                                   "EOSet", "DOSet1", "DOSet2"})
            QVERIFY2(f.main->findChild<QWidget *>(name), qPrintable(name));
        // Every lamp exists and starts dark: nothing is known before the poll.
        for (const QString name : {"EO", "DO1", "DO2", "DI1", "DI2", "DI3", "DI4", "DI5", "DI6"}) {
            auto *lamp = f.main->findChild<Lamp *>(name);
            QVERIFY2(lamp, qPrintable(name));
            QVERIFY2(!lamp->isLit(), qPrintable(name));
        }
        QCOMPARE(f.main->windowTitle(), QString("ZENTA-KDR-V3 V113A"));
        QCOMPARE(f.main->Timer1()->interval(), 10);
        for (auto *status : {f.main->ui()->Pos, f.main->ui()->Stat, f.main->ui()->ProgStatus})
            QVERIFY(status->styleSheet().contains("#e0e0e0"));
        QVERIFY(f.main->ui()->OrgProgram->font().fixedPitch());
        // The controls outside the visible area are there but not shown.
        f.main->show();
        QVERIFY(f.main->ui()->Pos->isVisible());
        QVERIFY(!f.main->ui()->Text2->isVisible());
        QVERIFY(!f.main->ui()->UploadPar->isVisible());
        QVERIFY(!f.main->ui()->SelUSBControl->isChecked() && !f.main->ui()->SelJoyControl->isChecked());
    }

    void withoutDeviceTheListsFillAndThePollShowsTheLostLink()
    {
        PanelFixture f(false);
        // The poll starts with the window's load, not before: a tick before
        // the device is open would paint the lost link.
        QVERIFY(!f.main->Timer1()->isActive());
        f.main->Form_Load();
        QVERIFY(f.main->Timer1()->isActive());
        f.main->Timer1()->stop();
        auto &ui = *f.main->ui();
        QCOMPARE(ui.Par6->count(), 20);
        QCOMPARE(ui.Par6->itemText(0), QString("0.1"));
        QCOMPARE(ui.Par6->itemText(19), QString("2.0"));
        QCOMPARE(ui.Par8->count(), 21);
        QCOMPARE(ui.Par8->itemText(20), QString("0"));
        QCOMPARE(ui.Par9->count(), 4);
        QCOMPARE(ui.Par9->itemText(3), QString("16"));
        QCOMPARE(ui.DeviceName->count(), 100);
        QCOMPARE(ui.DeviceName->itemText(7), QString("07"));
        QCOMPARE(ui.DeviceName->itemText(99), QString("99"));
        QCOMPARE(ui.Par6->currentIndex(), -1);
        QCOMPARE(ui.Version->text(), QString("V000"));
        QCOMPARE(ui.ID->text(), QString("XXXX"));
        QVERIFY(f.dev.log.isEmpty());

        f.main->PausePolling = true;  // the link test comes first
        f.main->statusPoll().Timer1_Timer();
        QCOMPARE(ui.Pos->text(), QString("COM ERR"));
        QCOMPARE(ui.Stat->text(), QString("COM ERR"));
        QVERIFY(ui.Pos->styleSheet().contains("#ff0000"));
        QVERIFY(ui.Stat->styleSheet().contains("#ff0000"));
        QVERIFY(f.dev.log.isEmpty());
    }

    void startUpReadsVersionSettingsSpeedAndAccel()
    {
        PanelFixture f;
        f.dev.replies["HSPD"] = "2500";
        f.dev.replies["ACC"] = "120";
        f.main->Form_Load();
        QCOMPARE(f.dev.log, (QStringList{"VER", "ID", "VER", "DN", "P1", "P2", "P3", "P4", "P5", "P6", "P7", "P8",
                                         "P9", "PA", "PB", "POL", "DOBOOT", "SLOAD", "HSPD", "ACC"}));
        auto &ui = *f.main->ui();
        QCOMPARE(ui.Version->text(), QString("V113BLSA"));
        QCOMPARE(ui.SetSpeed->text(), QString("2500"));
        QCOMPARE(ui.Accel->text(), QString("120"));
        QCOMPARE(f.main->PollPhase, int16_t(1));
        QVERIFY(f.main->Timer1()->isActive());
        QVERIFY(f.dialogs.shown.isEmpty());
        QVERIFY(CommOpen);
    }

    void startUpRefusesOtherVersions_data()
    {
        QTest::addColumn<QString>("version");
        QTest::newRow("lower case") << "V113blsa";
        QTest::newRow("short") << "V11";
        QTest::newRow("empty (silent)") << "";
        QTest::newRow("shifted") << "V13BLSA";
    }
    void startUpRefusesOtherVersions()
    {
        QFETCH(QString, version);
        PanelFixture f;
        f.dev.replies["VER"] = version;
        // Ticks of the poll while the message is up must leave the refused
        // device alone and stack no second message.
        f.dialogs.onShow = [&](const ScriptedDialogs::Shown &) {
            for (int i = 0; i < 8; ++i)
                f.main->statusPoll().Timer1_Timer();
        };
        f.main->Form_Load();
        QCOMPARE(f.dev.log, QStringList{"VER"});
        QCOMPARE(f.dialogs.notices(),
                 QStringList{"This version of ZENTA-KDR-V3 is not compatible with this software"});
        QVERIFY(!CommOpen);
        QVERIFY(f.dev.closedHandles.isEmpty());  // refused, not closed
        QCOMPARE(f.main->ui()->Version->text(), version);
        QCOMPARE(f.main->ui()->SetSpeed->text(), QString("1000"));
    }

    void deviceFallingSilentDuringStartUp()
    {
        PanelFixture f;
        f.dev.silentCommands << "P3";
        f.main->Form_Load();
        QCOMPARE(f.dialogs.notices(), QStringList{"Communication Error!"});
        QCOMPARE(f.dev.log.last(), QString("P3"));
        QCOMPARE(f.main->ui()->SetSpeed->text(), QString());
        QCOMPARE(f.main->ui()->Accel->text(), QString());
        QCOMPARE(f.dev.closedHandles, QList<int32_t>{f.dev.openedHandle});
    }

    void pollReadsPositionCounterAndOneGroupPerTick()
    {
        PanelFixture f;
        f.load();
        auto &poll = f.main->statusPoll();
        for (int i = 0; i < 5; ++i)
            poll.Timer1_Timer();
        QCOMPARE(f.dev.log, (QStringList{"PX", "SPC", "MST", "PX", "SPC", "DI", "DO", "EO", "PX", "SPC", "AI",
                                         "MM", "PX", "SPC", "SASTAT", "PX", "SPC", "MST"}));
        QCOMPARE(f.main->PollPhase, int16_t(2));

        f.dev.clearLog();
        f.main->PollPhase = 0;  // before start-up: no group
        poll.Timer1_Timer();
        QCOMPARE(f.dev.log, (QStringList{"PX", "SPC"}));
        QCOMPARE(f.main->PollPhase, int16_t(1));

        f.dev.clearLog();
        f.main->PausePolling = true;
        poll.Timer1_Timer();
        QVERIFY(f.dev.log.isEmpty());
        QCOMPARE(f.main->PollPhase, int16_t(1));
    }

    void motionStateAndCurrent_data()
    {
        QTest::addColumn<QString>("mst");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("current");
        QTest::newRow("decel wins") << "7" << "DECEL" << "0";
        QTest::newRow("accel") << "3" << "ACCEL" << "0";
        QTest::newRow("const") << "1" << "CONST" << "0";
        QTest::newRow("idle") << "0" << "IDLE" << "0";
        QTest::newRow("21 is zero") << "168" << "IDLE" << "0";
        QTest::newRow("1.5 A") << "120" << "IDLE" << "1.5";
        QTest::newRow("1 A") << "80" << "IDLE" << "1";
        QTest::newRow("0.3 A moving") << "25" << "CONST" << "0.3";
        QTest::newRow("blank-padded") << " 81 " << "CONST" << "1";
    }
    void motionStateAndCurrent()
    {
        QFETCH(QString, mst);
        QFETCH(QString, state);
        QFETCH(QString, current);
        PanelFixture f;
        f.load();
        f.dev.replies["MST"] = mst;
        f.main->PollPhase = 1;
        f.main->statusPoll().Timer1_Timer();
        QCOMPARE(f.main->ui()->Stat->text(), state);
        QCOMPARE(f.main->ui()->curCurrent->text(), current);
    }

    void inputsOutputsAnalogModeAndProgramState()
    {
        PanelFixture f;
        f.load();
        auto &ui = *f.main->ui();
        auto &poll = f.main->statusPoll();
        f.dev.replies["DI"] = "1";
        f.dev.replies["DO"] = "1";
        f.dev.replies["EO"] = "1";
        f.main->PollPhase = 2;
        poll.Timer1_Timer();
        QCOMPARE(ui.DI1->state(), 1);
        for (Lamp *l : {ui.DI2, ui.DI3, ui.DI4, ui.DI5, ui.DI6})
            QCOMPARE(l->state(), 0);
        QCOMPARE(ui.DO1->state(), 0);  // inverted: set bit gives 0
        QCOMPARE(ui.DO2->state(), 1);
        QVERIFY(ui.DO1->isLit() && !ui.DO2->isLit());  // lit means the output is on
        QCOMPARE(ui.EO->state(), 1);
        QVERIFY(ui.EO->isLit());

        f.dev.replies["DI"] = "32";
        f.dev.replies["DO"] = "2";
        f.dev.replies["EO"] = "0";
        f.main->PollPhase = 2;
        poll.Timer1_Timer();
        QCOMPARE(ui.DI6->state(), 1);
        QCOMPARE(ui.DI1->state(), 0);
        QCOMPARE(ui.DO1->state(), 1);
        QCOMPARE(ui.DO2->state(), 0);
        QCOMPARE(ui.EO->state(), 0);

        f.dev.replies["AI"] = " 512.5 ";
        f.dev.replies["MM"] = "0";
        f.main->PollPhase = 3;
        poll.Timer1_Timer();
        QCOMPARE(ui.AI->text(), QString("512"));
        QCOMPARE(ui.Mode->text(), QString("ABS"));
        f.dev.replies["MM"] = "00";
        f.main->PollPhase = 3;
        poll.Timer1_Timer();
        QCOMPARE(ui.Mode->text(), QString("INC"));

        const QList<QPair<QString, QString>> states = {
            {"1", "Running"}, {"3", "Running"}, {"2", "Paused"}, {"4", "Errored"}, {"", "Idle"}, {"9", "Idle"}};
        for (const auto &[code, shown] : states) {
            f.dev.replies["SASTAT"] = code;
            f.main->PollPhase = 4;
            poll.Timer1_Timer();
            QCOMPARE(ui.ProgStatus->text(), shown);
        }
        QVERIFY(CommOpen);  // an empty "SASTAT" is no error
    }

    void repliesThatAreNoNumbersLeaveTheDisplays()
    {
        PanelFixture f;
        f.load();
        auto &ui = *f.main->ui();
        auto &poll = f.main->statusPoll();
        for (int phase = 1; phase <= 4; ++phase) {
            f.main->PollPhase = int16_t(phase);
            poll.Timer1_Timer();
        }
        const QString stat = ui.Stat->text(), current = ui.curCurrent->text(), ai = ui.AI->text(),
                      prog = ui.ProgStatus->text();
        const int eo = ui.EO->state(), di1 = ui.DI1->state(), do1 = ui.DO1->state();
        for (const QString cmd : {"MST", "DI", "DO", "EO", "AI", "SASTAT"})
            f.dev.replies[cmd] = "?SYNTAX";
        f.dev.replies["PX"] = "4711";
        for (int phase = 1; phase <= 4; ++phase) {
            f.main->PollPhase = int16_t(phase);
            poll.Timer1_Timer();
        }
        QCOMPARE(ui.Stat->text(), stat);
        QCOMPARE(ui.curCurrent->text(), current);
        QCOMPARE(ui.AI->text(), ai);
        QCOMPARE(ui.ProgStatus->text(), prog);
        QCOMPARE(ui.EO->state(), eo);
        QCOMPARE(ui.DI1->state(), di1);
        QCOMPARE(ui.DO1->state(), do1);
        QCOMPARE(ui.Pos->text(), QString("4711"));
        QCOMPARE(f.main->PollPhase, int16_t(1));
        QVERIFY(CommOpen);
    }

    void aSteadyAxisCausesNoTextChanges()
    {
        PanelFixture f;
        f.load();
        auto &poll = f.main->statusPoll();
        for (int i = 0; i < 4; ++i)
            poll.Timer1_Timer();
        QSignalSpy pos(f.main->ui()->Pos, &QLineEdit::textChanged);
        QSignalSpy stat(f.main->ui()->Stat, &QLineEdit::textChanged);
        QSignalSpy prog(f.main->ui()->ProgStatus, &QLineEdit::textChanged);
        for (int i = 0; i < 8; ++i)
            poll.Timer1_Timer();
        QCOMPARE(pos.count() + stat.count() + prog.count(), 0);
        f.dev.replies["PX"] = "5";
        poll.Timer1_Timer();
        QCOMPARE(pos.count(), 1);
    }

    void silentDeviceDuringATick()
    {
        PanelFixture f;
        f.load();
        f.dev.silentCommands << "SPC";
        f.main->PollPhase = 1;
        f.main->statusPoll().Timer1_Timer();
        QCOMPARE(f.dev.log, (QStringList{"PX", "SPC"}));
        QCOMPARE(f.dialogs.notices(), QStringList{"Communication Error!"});
        QCOMPARE(f.main->ui()->Stat->text(), QString("IDLE"));  // the rest of the tick reads empties as 0
        f.main->statusPoll().Timer1_Timer();
        QCOMPARE(f.main->ui()->Pos->text(), QString("COM ERR"));
        QCOMPARE(f.dialogs.notices().size(), 1);
    }

    void motionButtonsSendExactSequences_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QStringList>("log");
        const QStringList pushed = {"HSPD=1000", "ACC=300"};
        QTest::newRow("move") << "ABS" << "1000" << "1000"
                              << (QStringList{"PA"} + pushed + QStringList{"ABORT"} + pushed + QStringList{"X1000"});
        QTest::newRow("empty target") << "ABS" << "" << "1000"
                                      << (QStringList{"PA"} + pushed + QStringList{"ABORT"} + pushed + QStringList{"X"});
        QTest::newRow("negative target")
            << "ABS" << "-250" << "1000" << (QStringList{"PA"} + pushed + QStringList{"ABORT"} + pushed + QStringList{"X-250"});
        QTest::newRow("datum") << "Datum" << "77" << "1000"
                               << (QStringList{"PA"} + pushed + QStringList{"ABORT"} + pushed + QStringList{"X0"});
        QTest::newRow("jog+") << "JOGP" << "" << "1000"
                              << (QStringList{"PA"} + pushed + QStringList{"ABORT"} + pushed + QStringList{"J+"});
        QTest::newRow("jog-") << "JOGN" << "" << "1000"
                              << (QStringList{"PA"} + pushed + QStringList{"ABORT"} + pushed + QStringList{"J-"});
        QTest::newRow("stop") << "rstop" << "" << "1000" << (QStringList{"PA"} + pushed + QStringList{"STOP"});
        QTest::newRow("half down to even") << "rstop" << "" << "1000.5"
                                           << QStringList{"PA", "HSPD=1000", "ACC=300", "STOP"};
        QTest::newRow("half up to even") << "rstop" << "" << "1001.5"
                                         << QStringList{"PA", "HSPD=1002", "ACC=300", "STOP"};
        QTest::newRow("negative speed") << "rstop" << "" << "-5" << QStringList{"PA", "HSPD=-5", "ACC=300", "STOP"};
        QTest::newRow("mode ABS") << "Command2" << "" << "1000" << QStringList{"ABS"};
        QTest::newRow("mode INC") << "Command3" << "" << "1000" << QStringList{"INC"};
    }
    void motionButtonsSendExactSequences()
    {
        QFETCH(QString, button);
        QFETCH(QString, target);
        QFETCH(QString, speed);
        QFETCH(QStringList, log);
        PanelFixture f;
        f.load();
        auto &ui = *f.main->ui();
        ui.SelUSBControl->setChecked(true);
        ui.SetPosition->setText(target);
        ui.SetSpeed->setText(speed);
        QTest::mouseClick(f.main->findChild<QPushButton *>(button), Qt::LeftButton);
        QCOMPARE(f.dev.log, log);
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    void guardRefusals_data()
    {
        QTest::addColumn<bool>("usbOption");
        QTest::addColumn<QString>("pa");
        QTest::newRow("option clear") << false << "1";
        QTest::newRow("device in analog mode") << true << "2";
        QTest::newRow("padded reply") << true << " 1";
        QTest::newRow("leading zero") << true << "01";
    }
    void guardRefusals()
    {
        QFETCH(bool, usbOption);
        QFETCH(QString, pa);
        PanelFixture f;
        f.load();
        f.main->ui()->SelUSBControl->setChecked(usbOption);
        f.main->ui()->SelJoyControl->setChecked(!usbOption);
        f.dev.replies["PA"] = pa;
        for (const QString b : {"rstop", "ABS", "Datum", "JOGP", "JOGN"}) {
            f.dev.clearLog();
            f.dialogs.shown.clear();
            QTest::mouseClick(f.main->findChild<QPushButton *>(b), Qt::LeftButton);
            QCOMPARE(f.dev.log, QStringList{"PA"});
            QCOMPARE(f.dialogs.notices(), QStringList{"Turn on USB Control to move."});
        }
        // The mode buttons have no guard.
        f.dev.clearLog();
        f.main->motion().Command3_Click();
        QCOMPARE(f.dev.log, QStringList{"INC"});
    }

    void badSpeedOrAccelSendsNothingAndNamesTheField_data()
    {
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QString>("accel");
        QTest::addColumn<QString>("field");
        QTest::newRow("speed word") << "fast" << "300" << "Speed (PPS)";
        QTest::newRow("speed empty") << "" << "300" << "Speed (PPS)";
        QTest::newRow("speed too big") << "2147483648" << "300" << "Speed (PPS)";
        QTest::newRow("accel word") << "1000" << "x" << "Accel (msec)";
        QTest::newRow("accel too small") << "1000" << "-2147483649" << "Accel (msec)";
    }
    void badSpeedOrAccelSendsNothingAndNamesTheField()
    {
        QFETCH(QString, speed);
        QFETCH(QString, accel);
        QFETCH(QString, field);
        PanelFixture f;
        f.load();
        auto &ui = *f.main->ui();
        ui.SelUSBControl->setChecked(true);
        ui.SetSpeed->setText(speed);
        ui.Accel->setText(accel);
        f.main->motion().ABS_Click();
        QCOMPARE(f.dev.log, QStringList{"PA"});
        QCOMPARE(f.dialogs.notices().size(), 1);
        QVERIFY(f.dialogs.notices().first().startsWith(field + ":"));
    }

    void sendUsbCommandWithoutTheOption()
    {
        PanelFixture f;
        f.load();
        f.main->ui()->SelJoyControl->setChecked(true);
        QVERIFY(!f.main->motion().SendUSBCommand("ABORT"));
        QVERIFY(f.dev.log.isEmpty());
        QCOMPARE(f.dialogs.notices(), QStringList{"Not USB Control!  Please set to USB Control first."});
    }

    void closedLinkRefusesEveryGuardedButton()
    {
        PanelFixture f;
        f.load();
        f.main->ui()->SelUSBControl->setChecked(true);
        CommOpen = false;
        f.main->motion().JOGP_Click();
        QVERIFY(f.dev.log.isEmpty());
        QCOMPARE(f.dialogs.notices(), QStringList{"Turn on USB Control to move."});
    }

    void outputToggles_data()
    {
        QTest::addColumn<QString>("area");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("EO off") << "EOSet" << "0" << QStringList{"EO", "EO=1"};
        QTest::newRow("EO on") << "EOSet" << "1" << QStringList{"EO", "EO=0"};
        QTest::newRow("EO padded 0") << "EOSet" << " 0" << QStringList{"EO", "EO=1"};
        QTest::newRow("DO1 2") << "DOSet1" << "2" << QStringList{"DO1", "DO1=0"};
        QTest::newRow("DO2 0") << "DOSet2" << "0" << QStringList{"DO2", "DO2=1"};
        QTest::newRow("DO2 not a number") << "DOSet2" << "?SYNTAX" << QStringList{"DO2"};
    }
    void outputToggles()
    {
        QFETCH(QString, area);
        QFETCH(QString, reply);
        QFETCH(QStringList, log);
        PanelFixture f;
        f.load();
        f.dev.replies[log.first()] = reply;
        auto *click = f.main->findChild<ClickArea *>(area);
        f.main->show();
        QTest::mouseClick(click, Qt::LeftButton, {}, click->rect().center());
        QCOMPARE(f.dev.log, log);
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    void controlModeDisablesTimeOutAndSendsNothing()
    {
        PanelFixture f;  // not loaded: no upload has chosen a mode yet
        f.main->show();
        auto &ui = *f.main->ui();
        QVERIFY(ui.TimeOut->isEnabled());
        QTest::mouseClick(ui.SelJoyControl, Qt::LeftButton);
        QVERIFY(ui.SelJoyControl->isChecked());
        QVERIFY(!ui.TimeOut->isEnabled());
        QTest::mouseClick(ui.SelUSBControl, Qt::LeftButton);
        QVERIFY(!ui.TimeOut->isEnabled());
        QVERIFY(f.dev.log.isEmpty());
    }

    void hiddenCommandBox()
    {
        PanelFixture f;
        f.load();
        auto &ui = *f.main->ui();
        f.dev.replies["PX"] = "12";
        ui.Text2->setText("PX");
        f.main->outputs().Command1_Click();
        QCOMPARE(f.dev.log, QStringList{"PX"});
        QCOMPARE(ui.Text1->text(), QString("12"));
        QCOMPARE(ui.Sent->text(), QString("@PX"));
        QCOMPARE(ui.Text2->text(), QString());

        f.dev.clearLog();
        QTest::keyClick(ui.Text2, Qt::Key_Return);  // empty command goes out unchanged
        QCOMPARE(f.dev.log, QStringList{""});

        // Sent as typed or not at all; the box keeps the text to be mended.
        f.dev.clearLog();
        const QString typed = QString::fromUtf8("X1\u20ac");
        ui.Text2->setText(typed);
        QTest::keyClick(ui.Text2, Qt::Key_Return);
        QVERIFY(f.dev.log.isEmpty());
        QCOMPARE(f.dialogs.notices(), QStringList{QString::fromUtf8(
            "Not sent: the command \"X1\u20ac\" holds the character \"\u20ac\" (U+20AC), which is not a Latin-1 character.")});
        QCOMPARE(ui.Text2->text(), typed);
        QCOMPARE(ui.Sent->text(), QString("@"));

        CommOpen = false;
        f.dev.clearLog();
        ui.Text2->setText("EO");
        f.main->outputs().Command1_Click();
        QVERIFY(f.dev.log.isEmpty());
        QCOMPARE(ui.Text2->text(), QString());
        QCOMPARE(ui.Sent->text(), QString("@"));
    }

    void publicExchangeIsTheGuardedOne()
    {
        PanelFixture f;
        f.load();
        f.dev.silent = true;
        QCOMPARE(f.main->SendReceive("SASTAT"), QString());
        QVERIFY(CommOpen);
        QCOMPARE(f.main->SendReceive("PX"), QString());
        QVERIFY(!CommOpen);
        QCOMPARE(f.dialogs.notices(), QStringList{"Communication Error!"});
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"

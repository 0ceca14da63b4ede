// Driver settings transfer, flash store and exit, as exact exchange logs.
#include "PanelFixture.h"
#include "config/DriverSettings.h"
#include "config/FlashStore.h"
#include "mainwindow/StatusPoll.h"
#include "ui_MainControlForm.h"

#include <QtTest>

using namespace modTollan;

namespace {
// The commands of a download after the device-ID step, for the window as the
// fixture's upload leaves it.
QStringList parameterCommands(const QString &p6 = "P6=10", const QString &pol = "POL= 0",
                              const QString &sload = "SLOAD= 0", const QString &pa = "PA=1")
{
    QStringList l{"P1=", "P2=", p6, "P7=", "P8=5", "P9=4"};
    if (!pa.isEmpty())
        l << pa;
    return l + QStringList{"PB=100", pol, "DOBOOT=0", sload};
}
}  // namespace

class ConfigTest : public QObject {
    Q_OBJECT
private slots:
    void downloadWithTheSameId()
    {
        PanelFixture f;
        f.load();
        QCOMPARE(f.main->ui()->DeviceName->currentText(), QString("05"));
        f.main->settings().DownloadDrv_Click();
        QCOMPARE(f.dev.log, QStringList{"DN"} + parameterCommands());
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    void downloadWithANewId_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("idCommands");
        QTest::addColumn<QStringList>("notices");
        QTest::addColumn<QString>("nameAfter");
        QTest::newRow("yes, accepted") << true << "OK" << QStringList{"DN=CFG12"}
                                       << QStringList{"Device ID Set.  Perform store to flash and reset power for "
                                                      "new Device ID to take effect."}
                                       << "12";
        QTest::newRow("yes, refused") << true << "?RANGE" << QStringList{"DN=CFG12"}
                                      << QStringList{"Error setting device ID"} << "12";
        QTest::newRow("yes, lower-case ok") << true << "ok" << QStringList{"DN=CFG12"}
                                            << QStringList{"Error setting device ID"} << "12";
        QTest::newRow("no") << false << "OK" << QStringList{} << QStringList{} << "05";
    }
    void downloadWithANewId()
    {
        QFETCH(bool, yes);
        QFETCH(QString, reply);
        QFETCH(QStringList, idCommands);
        QFETCH(QStringList, notices);
        QFETCH(QString, nameAfter);
        PanelFixture f;
        f.load();
        f.main->ui()->DeviceName->setCurrentText("12");
        f.dev.replies["DN=CFG12"] = reply;
        f.dialogs.answers = {yes};
        f.main->settings().DownloadDrv_Click();
        QCOMPARE(f.dev.log, QStringList{"DN"} + idCommands + parameterCommands());
        QCOMPARE(f.dialogs.shown.first().kind, QString("question"));
        QCOMPARE(f.dialogs.shown.first().title, QString("Device ID"));
        QCOMPARE(f.dialogs.shown.first().text, QString("Are you sure you want change Device ID to 12?"));
        QCOMPARE(f.dialogs.notices(), notices);
        QCOMPARE(f.main->ui()->DeviceName->currentText(), nameAfter);
    }

    void downloadWithTheLinkClosedReachesNothing()
    {
        PanelFixture f;
        f.load();
        CommOpen = false;
        f.main->settings().DownloadDrv_Click();
        QVERIFY(f.dev.log.isEmpty());
        QCOMPARE(f.dialogs.notices(), QStringList{"Communication not open!"});
        QCOMPARE(f.dialogs.shown.size(), 1);
    }

    // The device ID is the fourth and fifth characters of a reply to "DN"
    // that is "CFG" and two digits (zenta::lang::deviceIdOf); "Down" needs
    // it and refuses any other reply, sending nothing; "Upload" shows no ID
    // for it. The last two characters of an odd reply were taken before.
    void deviceIdComesOnlyFromADeviceName_data()
    {
        QTest::addColumn<QString>("dn");
        QTest::addColumn<QString>("shown");  // after "Upload"; "" for no selection
        QTest::newRow("a device name") << "CFG42" << "42";
        QTest::newRow("three digits") << "CFG123" << "";
        QTest::newRow("one digit") << "CFG5" << "";
        QTest::newRow("letters") << "CFGAB" << "";
        QTest::newRow("two digits after other text") << "XYZ05" << "";
        QTest::newRow("an error reply ending in digits") << "?ERR05" << "";
        QTest::newRow("a blank after it") << "CFG05 " << "";
    }
    void deviceIdComesOnlyFromADeviceName()
    {
        QFETCH(QString, dn);
        QFETCH(QString, shown);
        PanelFixture f;
        f.load();
        f.dev.replies["DN"] = dn;
        f.main->settings().UploadDriver_Click();
        QCOMPARE(f.main->ui()->DeviceName->currentText(), shown);
        QVERIFY(CommOpen);

        f.main->ui()->DeviceName->setCurrentText("05");
        f.dev.clearLog();
        f.dialogs.answers = {true};
        f.main->settings().DownloadDrv_Click();
        if (!shown.isEmpty()) {
            QCOMPARE(f.dev.log.mid(0, 2), (QStringList{"DN", "DN=CFG05"}));
            return;
        }
        QCOMPARE(f.dev.log, QStringList{"DN"});
        QCOMPARE(f.dialogs.notices(), QStringList{"Down refused: the device did not give its name (it answered \"" +
                                                  dn + "\" to \"DN\"). Nothing was sent."});
    }

    void downloadEncodesTheControls()
    {
        PanelFixture f(false);  // no upload at start-up: nothing selected
        f.main->Form_Load();
        CommOpen = true;
        f.dev.clearLog();
        auto &ui = *f.main->ui();
        ui.DeviceName->setCurrentText("05");
        ui.Par8->setCurrentIndex(20);  // "0"
        ui.DOPolarity->setChecked(true);
        ui.DIPolarity->setChecked(true);
        ui.SLOAD1->setChecked(true);
        ui.TimeOut->setText("abc");
        ui.DOBoot->setText("Text3");
        f.main->settings().DownloadDrv_Click();
        QCOMPARE(f.dev.log, (QStringList{"DN", "P1=", "P2=", "P6=0", "P7=", "P8=21", "P9=0", "PB=abc", "POL= 3",
                                         "DOBOOT=Text3", "SLOAD= 2"}));
        f.dev.clearLog();
        ui.SelJoyControl->setChecked(true);
        ui.DOPolarity->setChecked(false);
        ui.SLOAD0->setChecked(true);
        f.main->settings().DownloadDrv_Click();
        QVERIFY(f.dev.log.contains("PA=2"));
        QVERIFY(f.dev.log.contains("POL= 2"));
        QVERIFY(f.dev.log.contains("SLOAD= 3"));
    }

    void uploadFillsTheControls()
    {
        PanelFixture f;
        f.dev.replies = {{"ID", "KVL-CFG-UV-USB"}, {"VER", "V113BLSA"}, {"DN", "CFG42"}, {"P6", "15"},
                         {"P8", "21"},               {"P9", "4"},          {"PA", "2"},     {"PB", "250"},
                         {"POL", "2"},               {"DOBOOT", "3"},      {"SLOAD", "3"}};
        f.main->Form_Load();
        f.main->Timer1()->stop();
        auto &ui = *f.main->ui();
        QCOMPARE(ui.ID->text(), QString("KVL-CFG-UV-USB"));
        QCOMPARE(ui.Version->text(), QString("V113BLSA"));
        QCOMPARE(ui.DeviceName->currentText(), QString("42"));
        QCOMPARE(ui.Par6->currentText(), QString("1.5"));
        QCOMPARE(ui.Par8->currentText(), QString("0"));
        QCOMPARE(ui.Par9->currentText(), QString("16"));
        QVERIFY(ui.SelJoyControl->isChecked());
        QVERIFY(!ui.TimeOut->isEnabled());
        QCOMPARE(ui.TimeOut->text(), QString("250"));
        QVERIFY(!ui.DOPolarity->isChecked() && ui.DIPolarity->isChecked());
        QCOMPARE(ui.DOBoot->text(), QString("3"));
        QVERIFY(ui.SLOAD0->isChecked() && ui.SLOAD1->isChecked());
    }

    void uploadValueRules_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("expected");  // what the control shows afterwards
        // The controls start from the fixture's upload: P6 "1.0", P8 "0.5",
        // P9 "16", USB, POL 0, SLOAD 0.
        QTest::newRow("P6 0 is the first") << "P6" << "0" << "0.1";
        QTest::newRow("P6 25 is the first") << "P6" << "25" << "0.1";
        QTest::newRow("P6 20 is the last") << "P6" << "20" << "2.0";
        QTest::newRow("P6 rounds") << "P6" << "2.5" << "0.2";
        QTest::newRow("P6 word keeps") << "P6" << "?SYNTAX" << "1.0";
        QTest::newRow("P6 over 16 bits keeps") << "P6" << "70000" << "1.0";
        QTest::newRow("P8 21 is zero") << "P8" << "21" << "0";
        QTest::newRow("P8 22 is the first") << "P8" << "22" << "0.1";
        QTest::newRow("P9 5 is the first") << "P9" << "5" << "1";
        QTest::newRow("PA 1") << "PA" << "1" << "USB";
        QTest::newRow("PA 2") << "PA" << "2" << "Analog";
        QTest::newRow("PA 0 keeps") << "PA" << "0" << "USB";
        QTest::newRow("PA 3 keeps") << "PA" << "3" << "USB";
        QTest::newRow("PA word keeps") << "PA" << "x" << "USB";
        QTest::newRow("POL 0") << "POL" << "0" << "--";
        QTest::newRow("POL 1") << "POL" << "1" << "DO-";
        QTest::newRow("POL 2") << "POL" << "2" << "-DI";
        QTest::newRow("POL 3") << "POL" << "3" << "DODI";
        QTest::newRow("POL 7 keeps") << "POL" << "7" << "--";
        QTest::newRow("SLOAD 3") << "SLOAD" << "3" << "01";
        QTest::newRow("SLOAD 2") << "SLOAD" << "2" << "-1";
        QTest::newRow("SLOAD 1") << "SLOAD" << "1" << "0-";
        QTest::newRow("SLOAD word keeps") << "SLOAD" << "?" << "--";
        QTest::newRow("SLOAD beyond 16 bits") << "SLOAD" << "65537" << "0-";
    }
    void uploadValueRules()
    {
        QFETCH(QString, command);
        QFETCH(QString, reply);
        QFETCH(QString, expected);
        PanelFixture f;
        f.load();
        f.dev.replies[command] = reply;
        f.main->settings().UploadDriver_Click();
        auto &ui = *f.main->ui();
        QString shown;
        if (command == "P6")
            shown = ui.Par6->currentText();
        else if (command == "P8")
            shown = ui.Par8->currentText();
        else if (command == "P9")
            shown = ui.Par9->currentText();
        else if (command == "PA")
            shown = ui.SelUSBControl->isChecked() ? "USB" : ui.SelJoyControl->isChecked() ? "Analog" : "none";
        else if (command == "POL")
            shown = QString(ui.DOPolarity->isChecked() ? "DO" : "-") + (ui.DIPolarity->isChecked() ? "DI" : "-");
        else
            shown = QString(ui.SLOAD0->isChecked() ? "0" : "-") + (ui.SLOAD1->isChecked() ? "1" : "-");
        QCOMPARE(shown, expected);
        QVERIFY(f.dialogs.shown.isEmpty());
        QCOMPARE(f.dev.log.size(), 17);  // the whole upload went through
    }

    void replyErrorStopsTheUploadAtOnce()
    {
        PanelFixture f;
        f.load();
        auto &ui = *f.main->ui();
        f.dev.replies["ID"] = "KVL-CFG-UV-USB ";
        f.dev.replies["P6"] = "3";
        f.main->settings().UploadDriver_Click();
        QCOMPARE(f.dev.log, QStringList{"ID"});
        QCOMPARE(f.dialogs.notices(), QStringList{"Reply Error!"});
        QVERIFY(!CommOpen);
        QVERIFY(f.dev.closedHandles.isEmpty());
        QCOMPARE(ui.ID->text(), QString("KVL-CFG-UV-USB "));
        QCOMPARE(ui.Par6->currentText(), QString("1.0"));  // filled earlier, kept
        // Afterwards nothing reaches the device.
        f.main->statusPoll().Timer1_Timer();
        QCOMPARE(f.dev.log, QStringList{"ID"});
        QCOMPARE(ui.Pos->text(), QString("COM ERR"));
    }

    void lostLinkStopsTheUploadAndKeepsTheControls()
    {
        PanelFixture f;
        f.load();
        f.dev.silentCommands << "P8";
        f.dev.replies["P6"] = "3";
        f.dev.replies["P9"] = "1";
        f.main->settings().UploadDriver_Click();
        QCOMPARE(f.dev.log.last(), QString("P8"));
        QCOMPARE(f.dialogs.notices(), QStringList{"Communication Error!"});
        auto &ui = *f.main->ui();
        QCOMPARE(ui.Par6->currentText(), QString("0.3"));
        QCOMPARE(ui.Par8->currentText(), QString("0.5"));
        QCOMPARE(ui.Par9->currentText(), QString("16"));
    }

    void uploadWithTheLinkClosed()
    {
        PanelFixture f(false);
        f.main->settings().UploadDriver_Click();
        QVERIFY(f.dev.log.isEmpty());
        QCOMPARE(f.dialogs.notices(), QStringList{"Communication not open!"});
        // The hidden button runs the same upload.
        f.main->UploadPar_Click();
        QCOMPARE(f.dialogs.notices().size(), 2);
    }

    void store_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QStringList>("notices");
        QTest::newRow("done") << true << "OK" << QStringList{"STORE"} << QStringList{"Store to Flash done!"};
        QTest::newRow("lower-case ok") << true << "ok" << QStringList{"STORE"} << QStringList{"Error setting flash!"};
        QTest::newRow("no") << false << "OK" << QStringList{} << QStringList{};
    }
    void store()
    {
        QFETCH(bool, yes);
        QFETCH(QString, reply);
        QFETCH(QStringList, log);
        QFETCH(QStringList, notices);
        PanelFixture f;
        f.load();
        f.dev.replies["STORE"] = reply;
        f.dialogs.answers = {yes};
        f.main->store().SetSN_Click();
        QCOMPARE(f.dev.log, log);
        QCOMPARE(f.dialogs.shown.first().title, QString("Store to Flash"));
        QCOMPARE(f.dialogs.shown.first().text, QString("Are you sure you want to save parameters to flash?"));
        QCOMPARE(f.dialogs.notices(), notices);
    }

    void storeSilentOrClosed()
    {
        PanelFixture f;
        f.load();
        f.dev.silentCommands << "STORE";
        f.main->store().SetSN_Click();
        QCOMPARE(f.dialogs.notices(), (QStringList{"Communication Error!", "Error setting flash!"}));
        f.dialogs.shown.clear();
        f.main->store().SetSN_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{"Communication not open!"});
        QCOMPARE(f.dialogs.shown.size(), 1);  // no question either
    }

    void closeEndsTheProgram()
    {
        {
            PanelFixture f;
            f.load();
            QTest::mouseClick(f.main->ui()->Close, Qt::LeftButton);
            QCOMPARE(f.dev.closedHandles, QList<int32_t>{f.dev.openedHandle});
            QCOMPARE(f.exits, QList<int>{0});
        }
        {
            PanelFixture f;
            f.load();
            CommOpen = false;  // after "Reply Error!": the library is not called
            f.main->close();
            QVERIFY(f.dev.closedHandles.isEmpty());
            QCOMPARE(f.exits, QList<int>{0});
        }
    }

    void hiddenDownloadStopsProgramAndAxisOnly()
    {
        PanelFixture f;
        f.load();
        f.main->store().DownloadPar_Click();
        QCOMPARE(f.dev.log, (QStringList{"SR=0", "HSPD=1000", "ACC=300", "ABORT"}));
        f.dev.clearLog();
        f.main->store().SetDN_Click();
        QVERIFY(f.dev.log.isEmpty());
        CommOpen = false;
        f.main->store().DownloadPar_Click();
        QVERIFY(f.dev.log.isEmpty());
        QCOMPARE(f.dialogs.notices(), QStringList{"Communication not open!"});
    }
};

QTEST_MAIN(ConfigTest)
#include "tst_config.moc"

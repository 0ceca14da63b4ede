// The settings file between the panel and zentactl: a file the panel's
// "Save Settings..." wrote goes to a device through zentactl, and a file
// zentactl read from a device loads into the panel's controls.
#include "PanelFixture.h"
#include "Zentactl.h"
#include "config/SettingsFileControl.h"
#include "ui_MainControlForm.h"

#include <QtTest>

using namespace clitest;

class ZentactlPanelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Bench> bench;

    simtest::SimProcess &sim() { return *bench->sims.front(); }

private slots:
    void init() { bench = Bench::withOneDevice(); }

    void cleanup() { bench.reset(); }

    void panelFileGoesToTheDevice()
    {
        PanelFixture f;
        for (const auto &[command, reply] : {std::pair{"DN", "CFG05"}, {"P6", "15"}, {"P8", "21"}, {"P9", "2"},
                                             {"PA", "2"}, {"PB", "250"}, {"POL", "3"}, {"DOBOOT", "1"}, {"SLOAD", "1"}})
            f.dev.replies[command] = reply;
        f.load();
        const QString file = bench->file("panel.ini");
        f.dialogs.fileNames = {file};
        f.main->settingsFile().SaveSettings_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{});

        const Result r = bench->run({"settings", "set", file, "--rename"});
        QVERIFY2(r.exit == 0, r.err.constData());
        for (const auto &[key, value] : {std::pair{"pending", "CFG05"}, {"p6", "15"}, {"p8", "21"}, {"p9", "2"},
                                         {"pa", "2"}, {"pb", "250"}, {"pol", "3"}, {"doboot", "1"}, {"sload", "1"}})
            QCOMPARE(sim().state(key), std::string(value));
    }

    void deviceFileLoadsIntoThePanel()
    {
        for (const char *set : {"P6=4", "P8=21", "P9=1", "PA=2", "PB=77", "POL=2", "DOBOOT=3", "SLOAD=3"})
            QCOMPARE(bench->run({"send", set}).out, QByteArray("OK\n"));
        const QString file = bench->file("device.ini");
        const Result r = bench->run({"settings", "get", file});
        QVERIFY2(r.exit == 0, r.err.constData());

        PanelFixture f;
        f.load();
        f.dialogs.fileNames = {file};
        f.main->settingsFile().LoadSettings_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{});
        const auto &ui = *f.main->ui();
        QCOMPARE(ui.DeviceName->currentText(), QString("01"));
        QCOMPARE(ui.Par6->currentText(), QString("0.4"));
        QCOMPARE(ui.Par8->currentText(), QString("0"));
        QCOMPARE(ui.Par9->currentText(), QString("1"));
        QVERIFY(ui.SelJoyControl->isChecked());
        QCOMPARE(ui.TimeOut->text(), QString("77"));
        QVERIFY(!ui.DOPolarity->isChecked());
        QVERIFY(ui.DIPolarity->isChecked());
        QCOMPARE(ui.DOBoot->text(), QString("3"));
        QVERIFY(ui.SLOAD0->isChecked() && ui.SLOAD1->isChecked());
    }
};

QTEST_MAIN(ZentactlPanelTest)
#include "tst_zentactl_panel.moc"

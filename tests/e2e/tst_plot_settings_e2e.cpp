// The motion plot during a real move and the settings file between two
// devices: the panel's windows, the real library, real zenta-sim processes in
// lockstep.
#include "ScriptedDialogs.h"
#include "SelectAndStart.h"
#include "SimProcess.h"
#include "common/AppExit.h"
#include "config/DriverSettings.h"
#include "config/SettingsFileControl.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"
#include "mainwindow/MotionControl.h"
#include "mainwindow/StatusPoll.h"
#include "plot/PlotForm.h"
#include "ui_MainControlForm.h"
#include "ui_PlotForm.h"

#include <QLineSeries>
#include <QtTest>

using namespace modTollan;

class PlotSettingsE2ETest : public QObject {
    Q_OBJECT
    QTemporaryDir folder;
    std::unique_ptr<simtest::SimProcess> sim1, sim2;
    std::unique_ptr<ScriptedDialogs> dialogs;

    // The selection window's whole path with the given entry picked; no
    // window unless the device opened.
    std::unique_ptr<MainControlForm> selectAndStart(int row)
    {
        resetLinkState();
        auto main = ::selectAndStart(nullptr, row);
        return CommOpen ? std::move(main) : nullptr;
    }

    void leave(std::unique_ptr<MainControlForm> &main)
    {
        main.reset();
        tollanApi().Close(DeviceHandle);
        resetLinkState();
    }

    static QStringList settingsShown(const Ui::MainControlForm &ui)
    {
        return {ui.Par6->currentText(),
                ui.Par8->currentText(),
                ui.Par9->currentText(),
                ui.SelUSBControl->isChecked() ? "USB" : ui.SelJoyControl->isChecked() ? "Analog" : "none",
                ui.TimeOut->text(),
                QString("POL %1%2").arg(ui.DOPolarity->isChecked()).arg(ui.DIPolarity->isChecked()),
                ui.DOBoot->text(),
                QString("SLOAD %1%2").arg(ui.SLOAD0->isChecked()).arg(ui.SLOAD1->isChecked())};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(folder.isValid());
        qputenv("TOLLANCOM_DIR", folder.path().toLocal8Bit());
        QString error;
        QVERIFY2(loadTollanLibrary(qEnvironmentVariable("ZENTA_BIN_DIR"), &error), qPrintable(error));
        setEndProgramHandler([](int) {});
    }

    void init()
    {
        dialogs = std::make_unique<ScriptedDialogs>();
        sim1 = std::make_unique<simtest::SimProcess>(folder.path(), "sim1");
        QVERIFY(sim1->start({"--lockstep", "--name", "CFG01", "--flash", folder.filePath("sim1.flash")}));
    }

    void cleanup()
    {
        if (DeviceHandle != 1)
            tollanApi().Close(DeviceHandle);
        resetLinkState();
        sim1.reset();
        sim2.reset();
        dialogs.reset();
    }

    void cleanupTestCase()
    {
        setEndProgramHandler({});
        resetTollanApi();
    }

    // A move of 5000 steps at 2000 steps/s with 500 ms ramps, polled every
    // 20 ms of device time; the plot's clock is the device's.
    void plotFollowsAMove()
    {
        auto main = selectAndStart(0);
        QVERIFY(main);
        auto &ui = *main->ui();
        PlotForm &plot = main->plot();
        double deviceTime = 0;
        plot.setClock([&deviceTime] { return deviceTime; });
        QTest::mouseClick(ui.ShowPlot, Qt::LeftButton);
        QVERIFY(plot.isVisible());
        QVERIFY(main->isEnabled());  // not modal

        ui.SetPosition->setText("5000");
        ui.SetSpeed->setText("2000");
        ui.Accel->setText("500");
        main->motion().ABS_Click();
        QStringList states;
        const QString shot = qEnvironmentVariable("ZENTA_PLOT_SCREENSHOT", folder.filePath("plot.png"));
        for (int step = 0; step < 200; ++step) {
            QCOMPARE(sim1->ctl("advance 20"), std::string("OK"));
            deviceTime += 0.02;
            main->statusPoll().Timer1_Timer();
            if (!states.contains(ui.Stat->text()))
                states << ui.Stat->text();
            if (step == 100) {  // mid-move, at full speed
                plot.refresh();
                QVERIFY(plot.grab().save(shot, "PNG"));
            }
        }
        QCOMPARE(states, (QStringList{"ACCEL", "CONST", "DECEL", "IDLE"}));
        QCOMPARE(ui.Pos->text(), QString("5000"));
        QVERIFY(QImage(shot).width() > 300);

        plot.refresh();
        // 4 s of poll in a 10 s span: every reading is shown.
        const QList<MotionSample> shown = plot.shownSamples();
        QCOMPARE(shown.size(), 200);
        QCOMPARE(shown.last().position, 5000);
        QCOMPARE(plot.positionSeries()->count(), 200);
        double top = 0;
        for (const MotionSample &s : shown)
            top = std::max(top, s.speed);
        QVERIFY2(std::abs(top - 2000) < 100, qPrintable(QString::number(top)));
        QCOMPARE(shown.last().speed, 0.0);
        QCOMPARE(shown.last().state, MotionState::Idle);
    }

    void settingsFileCarriesSettingsToAnotherDevice()
    {
        sim2 = std::make_unique<simtest::SimProcess>(folder.path(), "sim2");
        QVERIFY(sim2->start({"--lockstep", "--name", "CFG02", "--flash", folder.filePath("sim2.flash")}));
        auto main = selectAndStart(0);
        QVERIFY(main);
        auto *ui = main->ui();
        QCOMPARE(ui->DeviceName->currentText(), QString("01"));
        ui->Par6->setCurrentIndex(14);  // 1.5 A
        ui->Par8->setCurrentIndex(20);  // 0 A
        ui->Par9->setCurrentIndex(1);   // 2 microsteps
        ui->TimeOut->setText("250");
        ui->DIPolarity->setChecked(true);
        ui->DOBoot->setText("2");
        ui->SLOAD1->setChecked(true);
        main->settings().DownloadDrv_Click();
        main->settings().UploadDriver_Click();  // what the device now holds
        const QStringList first = settingsShown(*ui);
        const QString file = folder.filePath("cfg01.ini");
        dialogs->fileNames = {file};
        main->settingsFile().SaveSettings_Click();
        QVERIFY(dialogs->shown.size() == 1 && dialogs->notices().isEmpty());
        leave(main);

        main = selectAndStart(1);
        QVERIFY(main);
        ui = main->ui();
        QCOMPARE(ui->DeviceName->currentText(), QString("02"));
        QVERIFY(settingsShown(*ui) != first);
        dialogs->shown.clear();
        dialogs->fileNames = {file};
        main->settingsFile().LoadSettings_Click();
        QCOMPARE(settingsShown(*ui), first);
        // The second device keeps its own name.
        dialogs->answers = {false};
        main->settings().DownloadDrv_Click();
        QCOMPARE(dialogs->shown.last().text, QString("Are you sure you want change Device ID to 01?"));
        ui->Par6->setCurrentIndex(0);
        ui->DOBoot->setText("0");
        main->settings().UploadDriver_Click();
        QCOMPARE(settingsShown(*ui), first);
        QCOMPARE(ui->DeviceName->currentText(), QString("02"));
        QCOMPARE(dialogs->notices(), QStringList{});
    }
};

QTEST_MAIN(PlotSettingsE2ETest)
#include "tst_plot_settings_e2e.moc"

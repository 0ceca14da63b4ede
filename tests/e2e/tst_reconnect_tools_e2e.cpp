// Reconnect and the shared tools folder against real simulated drivers: two
// devices of one name, a new device ID, the stop key while another panel has
// the tools, and the tools free while a report is shown.
#include "InstalledFolder.h"
#include "ScriptedDialogs.h"
#include "SelectAndStart.h"
#include "SimProcess.h"
#include "common/AppExit.h"
#include "config/DriverSettings.h"
#include "config/FlashStore.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"
#include "mainwindow/LinkControl.h"
#include "mainwindow/MainControlForm.h"
#include "mainwindow/StatusPoll.h"
#include "program/CompileControl.h"
#include "program/ExternalTools.h"
#include "program/ProgramTools.h"
#include "ui_MainControlForm.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QtTest>

using namespace modTollan;

class ReconnectToolsE2ETest : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<ScriptedDialogs> dialogs;
    QList<int> exits;

    void tick(MainControlForm &main, int times = 4)
    {
        for (int i = 0; i < times; ++i)
            main.statusPoll().Timer1_Timer();
    }
    static bool holdsClient(simtest::SimProcess &sim)
    {
        return sim.ctl("state").find(" client=1") != std::string::npos;
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(loadTollanLibrary(qEnvironmentVariable("ZENTA_BIN_DIR"), &error), qPrintable(error));
    }
    void init()
    {
        folder = std::make_unique<QTemporaryDir>();
        QVERIFY(folder->isValid());
        qputenv("TOLLANCOM_DIR", folder->path().toLocal8Bit());
        resetLinkState();
        dialogs = std::make_unique<ScriptedDialogs>();
        exits.clear();
        setEndProgramHandler([this](int code) { exits << code; });
    }
    void cleanup()
    {
        if (DeviceHandle != 1)
            tollanApi().Close(DeviceHandle);
        setEndProgramHandler({});
        dialogs.reset();
        folder.reset();
    }
    void cleanupTestCase() { resetTollanApi(); }

    // Two drivers carry the same name; the panel drives sb. Its link is lost
    // and Reconnect is asked for: the other one, sa, must never be taken for
    // it without a word (another machine's axis).
    void reconnectNeverTakesAnotherDeviceOfTheSameName_data()
    {
        QTest::addColumn<bool>("unplug");
        QTest::newRow("sb unplugged") << true;
        QTest::newRow("a device added, then a power cut on sb") << false;
    }
    void reconnectNeverTakesAnotherDeviceOfTheSameName()
    {
        QFETCH(bool, unplug);
        simtest::SimProcess a(folder->path(), "sa"), b(folder->path(), "sb"), added(folder->path(), "s0");
        QVERIFY(a.start({"--lockstep", "--name", "CFG01"}));
        QVERIFY(b.start({"--lockstep", "--name", "CFG01"}));
        auto main = selectAndStart(nullptr, 1);  // sb
        QVERIFY(main);
        QVERIFY(holdsClient(b) && !holdsClient(a));
        if (unplug) {
            QCOMPARE(b.ctl("unplug"), std::string("OK"));
        } else {
            QVERIFY(added.start({"--lockstep", "--name", "CFG03"}));  // listed first: s0, sa, sb
            QCOMPARE(b.ctl("power-cycle"), std::string("OK"));
        }
        tick(*main, 2);
        QVERIFY(!CommOpen);
        dialogs->shown.clear();
        main->link().Reconnect_Click();
        QVERIFY2(!(CommOpen && holdsClient(a)),
                 qPrintable("Reconnect took the other CFG01 (sa) in place of sb; notices: " +
                            dialogs->notices().join('|')));
        // Its serial tells sb from sa: back after a power cut, gone while unplugged.
        if (unplug) {
            QCOMPARE(dialogs->notices(), QStringList{"The device CFG01 is not connected."});
        } else {
            QVERIFY2(CommOpen && holdsClient(b), qPrintable(dialogs->notices().join('|')));
            QCOMPARE(dialogs->notices(), QStringList{});
        }
    }

    // Identical units share a product string: after the loader's run the
    // panel takes its own device back by its serial, not the other one of its
    // name, and not a lost link either. The loader itself refuses an ID that
    // two devices have, and leaves both alone.
    void theHandOverAfterATransferFindsTheDeviceByItsSerial_data()
    {
        QTest::addColumn<bool>("download");
        QTest::newRow("download") << true;
        QTest::newRow("upload") << false;
    }
    void theHandOverAfterATransferFindsTheDeviceByItsSerial()
    {
        QFETCH(bool, download);
        QTemporaryDir install;
        const QString failed = layOutInstalled(install.path());
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        ExternalTools::setExeFolderForTests(install.path() + "/EXE");
        auto restore = qScopeGuard([] { ExternalTools::setExeFolderForTests({}); });
        simtest::SimProcess a(folder->path(), "sa"), b(folder->path(), "sb");
        QVERIFY(a.start({"--lockstep", "--name", "CFG01"}));
        QVERIFY(b.start({"--lockstep", "--name", "CFG01"}));
        auto main = selectAndStart(nullptr, 1);  // sb
        QVERIFY(main);
        QVERIFY(holdsClient(b) && !holdsClient(a));
        main->ui()->OrgProgram->setPlainText("V1=1\nEND\n");
        main->ui()->CompileAll->click();
        dialogs->shown.clear();
        (download ? main->ui()->DownloadSAP : main->ui()->UploadSAP)->click();
        const QString said = dialogs->notices().join('|');
        QVERIFY2(said.contains("More than one device has the ID 01"), qPrintable(said));
        QVERIFY2(!said.contains("Communication Error!"), qPrintable(said));
        QVERIFY(CommOpen);
        QVERIFY(holdsClient(b) && !holdsClient(a));
        QCOMPARE(a.state("program"), std::string("none"));
        QCOMPARE(b.state("program"), std::string("none"));
        tick(*main);
        QVERIFY(CommOpen);
    }

    // The operator does what the panel says after a new device ID: store,
    // then a power cycle. Reconnect should find the same device again.
    void reconnectAfterTheRenameThePanelAskedFor()
    {
        simtest::SimProcess sim(folder->path(), "s1");
        QVERIFY(sim.start({"--lockstep", "--name", "CFG01", "--flash", folder->filePath("s1.flash")}));
        auto main = selectAndStart();
        QVERIFY(main);
        main->ui()->DeviceName->setCurrentText("07");
        dialogs->answers = {true, true};
        main->settings().DownloadDrv_Click();
        main->store().SetSN_Click();
        QCOMPARE(sim.ctl("power-cycle"), std::string("OK"));
        tick(*main, 2);
        QVERIFY(!CommOpen);
        dialogs->shown.clear();
        main->link().Reconnect_Click();
        QVERIFY2(CommOpen, qPrintable(dialogs->notices().join('|')));
    }

    // A USB driver's product string may name no device; the panel then
    // knows its device by its answer to "DN" and finds it again, after a
    // lost link as after a new ID stored and powered up.
    void reconnectFindsADeviceWhoseProductStringNamesNone_data()
    {
        QTest::addColumn<bool>("rename");
        QTest::newRow("unplugged and back") << false;
        QTest::newRow("a new ID stored and powered up") << true;
    }
    void reconnectFindsADeviceWhoseProductStringNamesNone()
    {
        QFETCH(bool, rename);
        simtest::SimProcess other(folder->path(), "u0"), sim(folder->path(), "u1");
        QVERIFY(other.start({"--lockstep", "--name", "CFG05", "--product", "ZENTA CFG USB driver"}));
        QVERIFY(sim.start({"--lockstep", "--name", "CFG05", "--product", "ZENTA CFG USB driver", "--flash",
                           folder->filePath("u1.flash")}));
        auto main = selectAndStart(nullptr, 1);  // u1
        QVERIFY(main);
        QVERIFY(holdsClient(sim));
        if (rename) {
            main->ui()->DeviceName->setCurrentText("07");
            dialogs->answers = {true, true};
            main->settings().DownloadDrv_Click();
            main->store().SetSN_Click();
            QCOMPARE(sim.ctl("power-cycle"), std::string("OK"));
        } else {
            QCOMPARE(sim.ctl("unplug"), std::string("OK"));
        }
        tick(*main, 2);
        QVERIFY(!CommOpen);
        if (!rename)
            QCOMPARE(sim.ctl("replug"), std::string("OK"));
        dialogs->shown.clear();
        main->link().Reconnect_Click();
        QVERIFY2(CommOpen, qPrintable(dialogs->notices().join('|')));
        QCOMPARE(dialogs->notices(), QStringList{});
        QVERIFY(holdsClient(sim) && !holdsClient(other));
        QCOMPARE(main->ui()->DeviceName->currentText(), QString(rename ? "07" : "05"));
        tick(*main);
        QVERIFY(CommOpen);
    }

    // The loader finds a device whose product string names none by its
    // answer to "DN"; the panel checks first that no other device answers
    // the same, and takes its own back by its serial afterwards.
    void aTransferFindsDevicesByTheirAnswers_data()
    {
        QTest::addColumn<QString>("otherName");
        QTest::addColumn<bool>("download");
        QTest::newRow("download, another ID beside") << "CFG07" << true;
        QTest::newRow("upload, another ID beside") << "CFG07" << false;
        QTest::newRow("download, the same ID beside") << "CFG05" << true;
    }
    void aTransferFindsDevicesByTheirAnswers()
    {
        QFETCH(QString, otherName);
        QFETCH(bool, download);
        QTemporaryDir install;
        const QString failed = layOutInstalled(install.path());
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        ExternalTools::setExeFolderForTests(install.path() + "/EXE");
        auto restore = qScopeGuard([] { ExternalTools::setExeFolderForTests({}); });
        simtest::SimProcess other(folder->path(), "v0"), sim(folder->path(), "v1");
        QVERIFY(other.start({"--lockstep", "--name", otherName, "--product", "ZENTA CFG USB driver"}));
        QVERIFY(sim.start({"--lockstep", "--name", "CFG05", "--product", "ZENTA CFG USB driver"}));
        auto main = selectAndStart(nullptr, 1);  // v1
        QVERIFY(main);
        main->ui()->OrgProgram->setPlainText("V1=1\nEND\n");
        main->ui()->CompileAll->click();
        if (!download) {
            main->ui()->DownloadSAP->click();
            QCOMPARE(sim.state("program"), std::string("stored"));
            main->ui()->OrgProgram->clear();
        }
        dialogs->shown.clear();
        const std::string framesBefore = sim.state("frames");
        (download ? main->ui()->DownloadSAP : main->ui()->UploadSAP)->click();
        const QString said = dialogs->notices().join('|');
        QVERIFY2(!said.contains("Communication Error!"), qPrintable(said));
        QVERIFY(CommOpen);
        QVERIFY(holdsClient(sim) && !holdsClient(other));
        QCOMPARE(other.state("program"), std::string("none"));
        if (otherName == "CFG05") {
            // Refused before anything but "DN" reached the device.
            QVERIFY2(said.contains("More than one device has the ID 05") && said.contains("Nothing was sent"),
                     qPrintable(said));
            QCOMPARE(sim.state("program"), std::string("none"));
            QCOMPARE(std::stol(sim.state("frames")) - std::stol(framesBefore), 1L);
        } else {
            QCOMPARE(sim.state("program"), std::string("stored"));
            if (!download)
                QVERIFY2(main->ui()->OrgProgram->toPlainText().contains("V1=1"), qPrintable(said));
        }
        tick(*main);
        QVERIFY(CommOpen);
    }

    // Another panel holds the tools; this one waits for them. Its own axis
    // is still its own: Esc (or STOP) must reach the device while it waits.
    void stopWorksWhileWaitingForAnotherPanelsTools()
    {
        simtest::SimProcess sim(folder->path(), "s1");
        QVERIFY(sim.start({"--name", "CFG01"}));
        auto main = selectAndStart();
        QVERIFY(main);
        QTemporaryDir exe;
        ExternalTools::setExeFolderForTests(exe.path());
        ExternalTools::setLockWaitForTests(1500);
        auto restore = qScopeGuard([] {
            ExternalTools::setLockWaitForTests(0);
            ExternalTools::setExeFolderForTests({});
        });
        const int other = ::open(QFile::encodeName(exe.filePath("tools.lock")).constData(), O_RDWR | O_CREAT, 0666);
        QVERIFY(other >= 0 && ::flock(other, LOCK_EX) == 0);
        auto unlock = qScopeGuard([other] { ::close(other); });
        main->ui()->OrgProgram->setPlainText("V1=1\nEND\n");
        main->show();
        QStringList seenAtEsc;
        bool escHandled = false;
        QTimer::singleShot(100, main.get(), [&] {
            seenAtEsc = dialogs->notices();
            QTest::keyClick(main->ui()->OrgProgram, Qt::Key_Escape);
            escHandled = true;
        });
        main->program().compile.CompileAll_Click();
        QTRY_VERIFY(escHandled);
        QVERIFY2(seenAtEsc.isEmpty(),
                 qPrintable("the Esc pressed during the wait was handled only after: " + seenAtEsc.join('|')));
    }

    // The result is read before "Done!" is shown; an operator who leaves the
    // box open must not keep every other panel from its tools meanwhile.
    void theToolsAreFreeWhileTheReportIsShown()
    {
        QTemporaryDir install;
        const QString failed = layOutInstalled(install.path());
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        ExternalTools::setExeFolderForTests(install.path() + "/EXE");
        auto restore = qScopeGuard([] { ExternalTools::setExeFolderForTests({}); });
        MainControlForm main;
        main.Timer1()->stop();
        main.ui()->OrgProgram->setPlainText("V1=1\nEND\n");
        bool lockFreeAtReport = false;
        dialogs->onShow = [&](const ScriptedDialogs::Shown &shown) {
            if (shown.text != "Done!")
                return;
            const int fd = ::open(QFile::encodeName(install.filePath("EXE/tools.lock")).constData(), O_RDWR);
            lockFreeAtReport = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            if (fd >= 0)
                ::close(fd);
        };
        main.program().compile.CompileAll_Click();
        QCOMPARE(dialogs->notices(), QStringList{"Done!"});
        QVERIFY2(lockFreeAtReport, "tools.lock is still held while the \"Done!\" box is open");
    }
};

QTEST_MAIN(ReconnectToolsE2ETest)
#include "tst_reconnect_tools_e2e.moc"

// A program from the editor to the running device and back to idle: compile
// and download through the real Vorlag and Merrow, run it from the main window, watch and steer both threads in the thread window,
// stop it. The real library against a real zenta-sim in lockstep, so every
// state and line below is exact.
#include "InstalledFolder.h"
#include "ModalRun.h"
#include "ScriptedDialogs.h"
#include "SimProcess.h"
#include "common/AppExit.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"
#include "mainwindow/StatusPoll.h"
#include "program/ExternalTools.h"
#include "program/ProgramTools.h"
#include "program/XThreadForm.h"
#include "ui_MainControlForm.h"
#include "ui_XThreadForm.h"

#include <QtTest>

using namespace modTollan;

namespace {

// Thread 0 waits, moves and waits for the move; thread 1 counts in a loop.
const char *const program = "PRG 0\n"          // 1
                            "DELAY=100\n"      // 2
                            "X2000\n"          // 3
                            "WAITX\n"          // 4
                            "DELAY=100000\n"   // 5
                            "END\n"            // 6
                            "PRG 1\n"          // 7
                            "V5=1\n"           // 8
                            "LOOP:\n"          // 9
                            "V5=V5+1\n"        // 10
                            "DELAY=50\n"       // 11
                            "GOTO LOOP\n"      // 12
                            "END";             // 13

QString exchange(const QString &command)
{
    QString reply;
    SendRecvString(command, reply);
    return reply;
}

}  // namespace

class RunE2ETest : public QObject {
    Q_OBJECT
private slots:
    void compileStoreRunWatchAndStop()
    {
        // The panel's folder as installed: the library, and the tools in EXE/.
        QTemporaryDir folder, install;
        QVERIFY(folder.isValid() && install.isValid());
        const QString failed = layOutInstalled(install.path());
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        ExternalTools::setExeFolderForTests(install.filePath("EXE"));

        simtest::SimProcess sim(folder.path(), "sim1");
        QVERIFY(sim.start({"--lockstep", "--name", "CFG01"}));
        qputenv("TOLLANCOM_DIR", folder.path().toLocal8Bit());
        QString error;
        QVERIFY2(loadTollanLibrary(install.path(), &error), qPrintable(error));
        TollanApi &api = tollanApi();
        api.SetTimeouts(simtest::kWaitMs, simtest::kWaitMs);
        int32_t count = 0;
        QCOMPARE(api.GetNumDevices(&count), 1);
        int32_t handle = 0;
        QVERIFY(api.Open(0, &handle) != 0);
        resetLinkState();
        DeviceHandle = handle;
        DeviceIndex = 0;
        DeviceProduct = "CFG01";  // as the selection window notes it
        CommOpen = true;

        ScriptedDialogs dialogs;
        setEndProgramHandler([](int) {});
        MainControlForm main;
        main.Form_Load();
        main.Timer1()->stop();
        auto &ui = *main.ui();
        QVERIFY(ui.SelUSBControl->isChecked());
        auto pollProgramState = [&] {
            main.PollPhase = 4;
            main.statusPoll().Timer1_Timer();
        };

        // Compile and download.
        ui.OrgProgram->setPlainText(program);
        ui.CompileAll->click();
        QCOMPARE(dialogs.notices(), QStringList{"Done!"});
        ui.DownloadSAP->click();
        QCOMPARE(dialogs.notices(), (QStringList{"Done!", "Done!"}));
        QVERIFY(CommOpen);

        pollProgramState();
        QCOMPARE(ui.ProgStatus->text(), QString("Idle"));
        QCOMPARE(ui.ProgIndex->text(), QString("0"));

        // Run from the main window: both threads start at once.
        ui.RunProg->click();
        QCOMPARE(sim.ctl("advance 0"), std::string("OK"));
        pollProgramState();
        QCOMPARE(ui.ProgStatus->text(), QString("Running"));
        QCOMPARE(ui.ProgIndex->text(), QString("2"));

        QVERIFY(runWhileOpen<XThreadForm>([&] { ui.XThread->click(); }, [&](XThreadForm *x) {
            x->Timer1()->stop();
            auto &xui = *x->ui();
            auto row = [&](int thread) {
                return thread == 0 ? xui.ProgStatus0->text() + " " + xui.ProgIndex0->text()
                                   : xui.ProgStatus1->text() + " " + xui.ProgIndex1->text();
            };
            x->Timer1_Timer();
            QCOMPARE(row(0), QString("Running 2"));
            QCOMPARE(row(1), QString("Running 10"));

            // Thread 0 moves and waits for the axis; thread 1 sits in its DELAY.
            QCOMPARE(sim.ctl("advance 150"), std::string("OK"));
            x->Timer1_Timer();
            QCOMPARE(row(0), QString("Running 4"));
            QCOMPARE(row(1), QString("Running 11"));
            const QString count = exchange("V5");
            QVERIFY2(count.toInt() > 1, qPrintable(count));

            // Pausing program 1 also aborts the move of program 0: the shared
            // axis stops, and program 0's WAITX is over.
            xui.ProgSel1->click();
            xui.PauseProg->click();
            const QString stoppedAt = exchange("PX");
            QCOMPARE(sim.ctl("advance 100"), std::string("OK"));
            x->Timer1_Timer();
            QCOMPARE(row(0), QString("Running 5"));
            QCOMPARE(row(1), QString("Paused 11"));
            QCOMPARE(exchange("PX"), stoppedAt);
            QCOMPARE(exchange("V5"), count);

            xui.ContProg->click();
            QCOMPARE(sim.ctl("advance 100"), std::string("OK"));
            x->Timer1_Timer();
            QCOMPARE(row(1).left(7), QString("Running"));
            QVERIFY(exchange("V5").toInt() > count.toInt());

            // Stop program 0 alone.
            xui.ProgSel0->click();
            xui.StopProg->click();
            QCOMPARE(sim.ctl("advance 0"), std::string("OK"));
            x->Timer1_Timer();
            QCOMPARE(row(0), QString("Idle 0"));
            QCOMPARE(row(1).left(7), QString("Running"));
            xui.Command1->click();
        }));
        QVERIFY(!main.PausePolling);

        // The main window's Stop ends what is left.
        pollProgramState();
        QCOMPARE(ui.ProgStatus->text(), QString("Running"));
        ui.StopProg->click();
        QCOMPARE(sim.ctl("advance 0"), std::string("OK"));
        pollProgramState();
        QCOMPARE(ui.ProgStatus->text(), QString("Idle"));
        QCOMPARE(ui.ProgIndex->text(), QString("0"));
        QCOMPARE(dialogs.notices(), (QStringList{"Done!", "Done!"}));
        QVERIFY(CommOpen);

        api.Close(DeviceHandle);
        ExternalTools::setExeFolderForTests({});
        setEndProgramHandler({});
        resetTollanApi();
    }
};

QTEST_MAIN(RunE2ETest)
#include "tst_run_e2e.moc"

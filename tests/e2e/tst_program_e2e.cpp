// The program's way to the device and back through the real tools: the
// panel compiles with Vorlag, downloads and uploads with Merrow against a
// real zenta-sim, over the real device library; then the program runs and
// the editor follows it.
#include "InstalledFolder.h"
#include "ScriptedDialogs.h"
#include "SelectAndStart.h"
#include "SimProcess.h"
#include "common/AppExit.h"
#include "common/TextFile.h"
#include "device/TollanApi.h"
#include "device/frmSelect.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"
#include "mainwindow/StatusPoll.h"
#include "program/ExternalTools.h"
#include "program/ProgramEdit.h"
#include "program/ProgramTools.h"
#include "ui_MainControlForm.h"
#include "ui_frmSelect.h"

#include <QtTest>

using namespace modTollan;

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

}  // namespace

class ProgramE2ETest : public QObject {
    Q_OBJECT
    QTemporaryDir devices;
    // The panel's folder as installed: the library, and the tools in EXE/.
    QTemporaryDir install;
    std::unique_ptr<simtest::SimProcess> sim;
    std::unique_ptr<ScriptedDialogs> dialogs;
    QList<int> exits;

    QString exe(const QString &name) const { return install.filePath("EXE/" + name); }

private slots:
    void initTestCase()
    {
        QVERIFY(devices.isValid() && install.isValid());
        qputenv("TOLLANCOM_DIR", devices.path().toLocal8Bit());
        const QString failed = layOutInstalled(install.path());
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QString error;
        QVERIFY2(loadTollanLibrary(install.path(), &error), qPrintable(error));
        ExternalTools::setExeFolderForTests(install.filePath("EXE"));
    }

    void init()
    {
        resetLinkState();
        dialogs = std::make_unique<ScriptedDialogs>();
        exits.clear();
        setEndProgramHandler([this](int code) { exits << code; });
        sim = std::make_unique<simtest::SimProcess>(devices.path(), "sim1");
        QVERIFY(sim->start({"--lockstep", "--name", "CFG04", "--flash", devices.filePath("sim1.flash")}));
    }

    void cleanup()
    {
        if (DeviceHandle != 1)
            tollanApi().Close(DeviceHandle);
        sim.reset();
        setEndProgramHandler({});
        dialogs.reset();
    }

    void cleanupTestCase()
    {
        ExternalTools::setExeFolderForTests({});
        resetTollanApi();
    }

    void compileDownloadUploadBringsTheProgramBack()
    {
        auto main = selectAndStart();
        QVERIFY(main);
        QVERIFY(CommOpen);
        ProgramEdit *editor = main->ui()->OrgProgram;
        const QByteArray source = fileBytes(qEnvironmentVariable("ZENTA_SOURCE_DIR") + "/examples/two_programs.prg");
        QVERIFY(source != "<missing>");
        editor->setPlainText(QString::fromLatin1(source));

        main->ui()->CompileAll->click();
        QCOMPARE(dialogs->notices(), QStringList{"Done!"});
        const QStringList compiled = TextFile::splitLines(fileBytes(exe("CompileOut.txt")));
        QVERIFY(compiled.size() > 1);

        main->ui()->DownloadSAP->click();
        const QStringList afterDownload = dialogs->notices();
        QCOMPARE(afterDownload.size(), 2);
        QVERIFY2(afterDownload.last() == "Done!", qPrintable(afterDownload.last()));
        QCOMPARE(fileBytes(exe("merrow_setup.txt")).split('\n').at(4), QByteArray("DEV:04\r"));
        const std::string state = sim->ctl("state");
        QVERIFY2(state.find("program=stored") != std::string::npos, state.c_str());
        QVERIFY(state.find("lines=" + std::to_string(compiled.size() - 1)) != std::string::npos);
        // The panel has its device back and polls it.
        QVERIFY(CommOpen);
        QVERIFY(!main->PausePolling);
        for (int i = 0; i < 4; ++i)
            main->statusPoll().Timer1_Timer();
        QVERIFY(CommOpen);
        QCOMPARE(main->ui()->ProgStatus->text(), QString("Idle"));
        QVERIFY(main->program().running.editorHoldsDeviceProgram());

        // Something else in the editor; the upload brings the program back.
        main->ui()->NewProg->click();
        editor->setPlainText("unsaved\n");
        main->ui()->UploadSAP->click();
        QCOMPARE(dialogs->notices().size(), 3);
        QVERIFY2(dialogs->notices().last() == "Done!", qPrintable(dialogs->notices().last()));
        const QString uploaded = editor->toPlainText();
        QVERIFY(uploaded.contains("PRG 1"));
        QVERIFY(main->program().running.editorHoldsDeviceProgram());
        QVERIFY(main->Timer1()->isActive());
        main->Timer1()->stop();
        main->statusPoll().Timer1_Timer();
        QVERIFY(CommOpen);

        // The uploaded text is the same program: it compiles to the same lines.
        main->ui()->CompileAll->click();
        QCOMPARE(dialogs->notices().last(), QString("Done!"));
        QCOMPARE(TextFile::splitLines(fileBytes(exe("CompileOut.txt"))), compiled);

        // The text the upload replaced is one Undo away.
        editor->undo();
        QCOMPARE(editor->toPlainText(), QString("unsaved\n"));
        QVERIFY(!main->program().running.editorHoldsDeviceProgram());
        QVERIFY(exits.isEmpty());
    }

    void runningLineFollowsTheDevice()
    {
        auto main = selectAndStart();
        QVERIFY(main);
        ProgramEdit *editor = main->ui()->OrgProgram;
        editor->setPlainText("V1=0\nDELAY=1000\nV1=1\nDELAY=1000\nEND\n");
        main->ui()->CompileAll->click();
        main->ui()->DownloadSAP->click();
        QCOMPARE(dialogs->notices(), (QStringList{"Done!", "Done!"}));

        // Polls a full round, so the state is read too.
        auto poll = [&] {
            for (int i = 0; i < 4; ++i)
                main->statusPoll().Timer1_Timer();
        };
        poll();
        QCOMPARE(editor->runningLine(), 0);

        main->ui()->RunProg->click();
        QCOMPARE(sim->ctl("advance 10"), std::string("OK"));
        poll();
        QCOMPARE(main->ui()->ProgStatus->text(), QString("Running"));
        QCOMPARE(main->ui()->ProgIndex->text(), QString("2"));
        QCOMPARE(editor->runningLine(), 2);

        QCOMPARE(sim->ctl("advance 1000"), std::string("OK"));
        poll();
        QCOMPARE(editor->runningLine(), 4);

        main->ui()->StopProg->click();
        poll();
        QCOMPARE(main->ui()->ProgStatus->text(), QString("Idle"));
        QCOMPARE(editor->runningLine(), 0);
        QVERIFY(CommOpen);
        QVERIFY(exits.isEmpty());
    }

    // A refused download leaves the device exactly as it was: its running
    // program runs on.
    void aRefusedDownloadLeavesTheProgramRunning()
    {
        auto main = selectAndStart();
        QVERIFY(main);
        main->ui()->OrgProgram->setPlainText("loop: V1=V1+1\nDELAY=10\nGOTO loop\n");
        main->ui()->CompileAll->click();
        main->ui()->DownloadSAP->click();
        QCOMPARE(dialogs->notices(), (QStringList{"Done!", "Done!"}));
        main->ui()->RunProg->click();
        QCOMPARE(sim->ctl("advance 50"), std::string("OK"));
        QCOMPARE(sim->state("sastat0"), std::string("1"));

        // An empty program, compiled here: the loader would refuse it.
        main->ui()->OrgProgram->setPlainText("; nothing to run\n");
        main->ui()->CompileAll->click();
        dialogs->shown.clear();
        main->ui()->DownloadSAP->click();
        QCOMPARE(sim->state("sastat0"), std::string("1"));
        QCOMPARE(dialogs->notices(), QStringList{"The program is empty; nothing was sent."});
        QCOMPARE(sim->state("program"), std::string("stored"));
        QVERIFY(CommOpen);
    }
};

QTEST_MAIN(ProgramE2ETest)
#include "tst_program_e2e.moc"

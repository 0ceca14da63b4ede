// Download and Upload through stand-in tools in a temporary EXE folder and a
// scripted device: the commands sent, the device handed to the loader and
// taken back, the setup files, failing tools, Undo after an upload, and the
// running-line mark that follows the poll.
#include "ProgramFixture.h"
#include "ScriptedDevice.h"
#include "device/TollanApi.h"
#include "mainwindow/StatusPoll.h"
#include "program/ProgramTransfer.h"
#include "program/RunningLine.h"

#include <QApplication>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTextBlock>
#include <QtTest>

#include <atomic>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

using namespace modTollan;

namespace {

// Every exchange, open and close in one order. A close or open notes which
// tools have run by then, so the log shows the tools ran in between.
QStringList *events = nullptr;
QString runsFile;
TollanApi scripted;
int busyOpens = 0;  // opens refused first, as while another program holds the device
std::atomic<int> opens{0};  // opens so far, readable while one runs off the GUI thread

QString toolsSoFar()
{
    QFile f(runsFile);
    if (!f.open(QIODevice::ReadOnly))
        return "[]";
    return "[" + QString::fromLatin1(f.readAll()).trimmed().replace('\n', ',') + "]";
}

int32_t loggedOpen(int32_t index, int32_t *handle)
{
    *events << QString("open %1 %2").arg(index).arg(toolsSoFar());
    ++opens;
    if (busyOpens > 0) {
        --busyOpens;
        return 0;
    }
    return scripted.Open(index, handle);
}

int32_t loggedClose(int32_t handle)
{
    *events << QString("close %1 %2").arg(handle).arg(toolsSoFar());
    return scripted.Close(handle);
}

int32_t loggedSendRecv(int32_t handle, const unsigned char *send, int32_t out, int32_t in, unsigned char *receive)
{
    *events << QString::fromLatin1(reinterpret_cast<const char *>(send), qstrnlen(reinterpret_cast<const char *>(send), 64));
    return scripted.SendRecv(handle, send, out, in, receive);
}

struct TransferFixture {
    ProgramFixture f;
    ScriptedDevice dev;
    QStringList log;

    TransferFixture()
    {
        scripted = tollanApi();
        TollanApi api = scripted;
        api.Open = loggedOpen;
        api.Close = loggedClose;
        api.SendRecv = loggedSendRecv;
        setTollanApi(api);
        events = &log;
        runsFile = f.exeFile("runs");
        dev.replies = {{"DN", "CFG07"}, {"PX", "0"}, {"SPC", "0"}, {"SASTAT", "0"}, {"MST", "168"},
                       {"DI", "0"},     {"DO", "0"}, {"EO", "1"},  {"AI", "0"},     {"MM", "0"}};
        CommOpen = true;
        DeviceHandle = dev.openedHandle;
        DeviceIndex = 2;
        DeviceProduct = "CFG07";
        dev.products = {"CFG01", "CFG02", "CFG07"};
        dev.openedHandle = 78;
        // What this panel compiled last, as a compile that succeeded leaves it.
        writeBytes(f.exeFile("CompileOut.txt"), "COMPILE OK 3 lines\r\n1 HSPD=2000\r\n2 X100\r\n3 END\r\n");
        ExternalTools::rememberCompiledOutput();
    }
    ~TransferFixture()
    {
        busyOpens = 0;
        events = nullptr;
        ExternalTools::forgetCompiledOutput();
        resetLinkState();
    }

    // A stand-in tool: notes its name and argument count, then runs `body`
    // with $here set to its folder.
    void installTool(const QString &name, const QByteArray &body)
    {
        const QString path = f.exeFile(name);
        writeBytes(path, "#!/bin/sh\nhere=$(dirname \"$0\")\necho " + name.toLatin1() + " >> \"$here/runs\"\n" +
                             "echo $# > \"$here/args." + name.toLatin1() + "\"\n" + body + "\n");
        QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeUser);
    }
    // Stand-ins that behave: the loader writes its result or the uploaded
    // lines, the compiler compiles or decompiles to the given texts.
    void installWorkingTools(const QByteArray &downloadOut = "DOWNLOAD OK\r\n3 lines sent to CFG07\r\n",
                             const QByteArray &decompiled = "HSPD=2000\r\nX100\r\nEND\r\n")
    {
        writeBytes(f.exeFile("download.out"), downloadOut);
        writeBytes(f.exeFile("decompile.out"), decompiled);
        installTool("Merrow", "if grep -q OPE:DOWNLOAD \"$here/merrow_setup.txt\"; then\n"
                              "  cp \"$here/download.out\" \"$here/DownloadOut.txt\"\n"
                              "else\n  printf '1 HSPD=2000\\r\\n' > \"$here/UploadOut.txt\"\nfi");
        installTool("Vorlag", "if grep -q OPE:COMPILE \"$here/vorlag_setup.txt\"; then\n"
                              "  printf 'COMPILE OK 3 lines\\r\\n1 HSPD=2000\\r\\n2 X100\\r\\n3 END\\r\\n' "
                              "> \"$here/CompileOut.txt\"\n"
                              "else\n  cp \"$here/decompile.out\" \"$here/DecompileOut.prg\"\nfi");
    }
    QString runs() const
    {
        return QFile::exists(f.exeFile("runs"))
                   ? QString::fromLatin1(readBytes(f.exeFile("runs"))).trimmed().replace('\n', ',')
                   : QString();
    }

    // What held while the one message box of a transfer was open.
    struct AtMessage {
        bool paused = false, timerActive = true, waitCursor = true;
        QStringList pollSent;
        int count = 0;
    } atMessage;
    void watchMessages()
    {
        f.dialogs.onShow = [this](const ScriptedDialogs::Shown &) {
            ++atMessage.count;
            atMessage.paused = f.main->PausePolling;
            atMessage.timerActive = f.main->Timer1()->isActive();
            atMessage.waitCursor = QApplication::overrideCursor() != nullptr;
            // Timers run under a message box: a tick now must not reach the
            // device the loader holds.
            const qsizetype before = dev.log.size();
            if (f.main->Timer1()->isActive())
                f.main->statusPoll().Timer1_Timer();
            atMessage.pollSent = dev.log.mid(before);
        };
    }

    void tick(int times = 1)
    {
        for (int i = 0; i < times; ++i)
            f.main->statusPoll().Timer1_Timer();
    }
};

const QByteArray downloadSetup07 = "LIN: 1275\r\nCOM:USB\r\nPOR:1\r\nBAU:9600\r\nDEV:07\r\nOPE:DOWNLOAD\r\n"
                                   "FIL:CompileOut.txt\r\nMOD:ZENTA-KDR-V3\r\n";
const QByteArray uploadSetup07 = "LIN:1275\r\nCOM:USB\r\nPOR:1\r\nBAU:9600\r\nDEV:07\r\nOPE:UPLOAD\r\n"
                                 "FIL:UploadOut.txt\r\nMOD:ZENTA-KDR-V3\r\n";

}  // namespace

class ProgramTransferTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TransferFixture> t;

private slots:
    void init() { t = std::make_unique<TransferFixture>(); }
    void cleanup() { t.reset(); }

    void downloadHandsTheDeviceToTheLoader_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("notices");  // "@" is the EXE folder
        QTest::addColumn<QString>("runs");
        QTest::newRow("loader succeeds") << "ok" << QStringList{"Done!"} << "Merrow";
        QTest::newRow("loader fails") << "failed"
                                      << QStringList{"DOWNLOAD FAILED\r\nA program is running on CFG07\r\n"}
                                      << "Merrow";
        QTest::newRow("no result file") << "silent" << QStringList{"The result file @/DownloadOut.txt does not exist!"}
                                        << "Merrow";
        QTest::newRow("old result is not this run's")
            << "stale" << QStringList{"The result file @/DownloadOut.txt does not exist!"} << "Merrow";
        QTest::newRow("no loader") << "no tool" << QStringList{"The tool @/Merrow does not exist!"} << "";
        QTest::newRow("loader cannot start") << "not executable"
                                             << QStringList{"The tool @/Merrow could not be started: <reason>"} << "";
        QTest::newRow("no EXE folder") << "no folder" << QStringList{"The EXE folder @/ does not exist!"} << "";
    }
    void downloadHandsTheDeviceToTheLoader()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, notices);
        QFETCH(QString, runs);
        QString folder = t->f.exe.path();
        if (setup == "ok")
            t->installWorkingTools();
        else if (setup == "failed")
            t->installWorkingTools("DOWNLOAD FAILED\r\nA program is running on CFG07\r\n");
        else if (setup == "silent" || setup == "stale")
            t->installTool("Merrow", "exit 0");
        if (setup == "stale")
            writeBytes(t->f.exeFile("DownloadOut.txt"), "DOWNLOAD OK\r\n");
        if (setup == "not executable")
            writeBytes(t->f.exeFile("Merrow"), "#!/bin/sh\n");
        if (setup == "no folder") {
            folder += "/gone";
            ExternalTools::setExeFolderForTests(folder);
        }
        t->f.main->PollPhase = 3;
        t->f.main->Timer1()->start();
        t->watchMessages();

        t->f.ui().DownloadSAP->click();

        for (QString &n : notices)
            n.replace("@", folder);
        const QStringList shown = t->f.dialogs.notices();
        QCOMPARE(shown.size(), 1);
        if (notices.first().endsWith("<reason>"))
            QVERIFY2(shown.first().startsWith(notices.first().chopped(8)), qPrintable(shown.first()));
        else
            QCOMPARE(shown, notices);
        QCOMPARE(t->runs(), runs);
        if (setup == "no folder") {  // nothing to hand the device over for, nothing stopped
            QCOMPARE(t->log.first(), QString("DN"));  // then the poll's, under the message
            QVERIFY(!t->log.contains("SR0=0") && !t->log.contains("SR1=0"));
            QVERIFY(!t->log.join(' ').contains("close"));
            QVERIFY(CommOpen && !t->f.main->PausePolling);
            return;
        }
        // The ID read and the threads stopped on the panel's link, then the
        // device closed for the tool and opened again at the chosen index.
        QCOMPARE(t->log, (QStringList{"DN", "SR0=0", "SR1=0", "close 77 []", "open 2 [" + runs + "]"}));
        QCOMPARE(DeviceHandle, 78);
        QVERIFY(CommOpen);
        // The message came while the device was the loader's: the timer
        // fires on and its ticks skip.
        QVERIFY(t->atMessage.timerActive);
        QVERIFY(t->atMessage.paused);
        QCOMPARE(t->atMessage.pollSent, QStringList{});
        QVERIFY(!t->atMessage.waitCursor);
        // Polling resumes at its first step on the reopened handle.
        QVERIFY(!t->f.main->PausePolling);
        QCOMPARE(t->f.main->PollPhase, int16_t(1));
        QVERIFY(!QApplication::overrideCursor());
        t->dev.clearLog();
        t->tick();
        QCOMPARE(t->dev.log, (QStringList{"PX", "SPC", "MST"}));
        QCOMPARE(t->dev.exchangeHandles.last(), 78);
        if (!runs.isEmpty()) {
            QCOMPARE(readBytes(t->f.exeFile("merrow_setup.txt")), downloadSetup07);
            QCOMPARE(readBytes(t->f.exeFile("args.Merrow")), QByteArray("0\n"));
        }
    }

    void setupFilesCarryTheDeviceId_data()
    {
        QTest::addColumn<QString>("dn");
        QTest::addColumn<QString>("id");  // empty: refused
        QTest::newRow("five characters") << "CFG07" << "07";
        QTest::newRow("longer") << "CFG123" << "";
        QTest::newRow("four") << "CFG0" << "";
        QTest::newRow("three") << "CFG" << "";
        QTest::newRow("letters") << "CFGAB" << "";
        QTest::newRow("a letter for a digit") << "CFG0x" << "";
        QTest::newRow("no answer") << "" << "";
    }
    void setupFilesCarryTheDeviceId()
    {
        QFETCH(QString, dn);
        QFETCH(QString, id);
        t->installWorkingTools();
        t->dev.replies["DN"] = dn;
        if (dn.isEmpty())
            t->dev.silentCommands << "DN";
        if (id.isEmpty()) {
            // The loader would take an empty or odd ID for "the only device
            // present": the program could reach another device.
            t->f.ui().DownloadSAP->click();
            t->f.ui().UploadSAP->click();
            const QString said = "refused: the device did not give its name (it answered \"" + dn +
                                 "\" to \"DN\"). Nothing was sent.";
            QCOMPARE(t->f.dialogs.notices(), (QStringList{"Download " + said, "Upload " + said}));
            QVERIFY(!QFile::exists(t->f.exeFile("merrow_setup.txt")));
            QCOMPARE(t->runs(), QString());
            QCOMPARE(t->log, (QStringList{"DN", "DN"}));
            QVERIFY(CommOpen);
            return;
        }
        QCOMPARE(ProgramTransfer::deviceId(dn).value_or("-"), id);

        t->f.ui().DownloadSAP->click();
        QCOMPARE(readBytes(t->f.exeFile("merrow_setup.txt")),
                 QByteArray(downloadSetup07).replace("DEV:07", "DEV:" + id.toLatin1()));
        t->f.ui().UploadSAP->click();
        QCOMPARE(readBytes(t->f.exeFile("merrow_setup.txt")),
                 QByteArray(uploadSetup07).replace("DEV:07", "DEV:" + id.toLatin1()));
        QCOMPARE(readBytes(t->f.exeFile("vorlag_setup.txt")),
                 QByteArray("MOD:ZENTA-QLX\r\nOPE:DECOMPILE\r\nFIL:UploadOut.txt\r\n"));
        QCOMPARE(t->f.dialogs.notices(), (QStringList{"Done!", "Done!"}));
    }

    void idThatWouldBreakTheSetupIsRefused()
    {
        t->installWorkingTools();
        writeBytes(t->f.exeFile("merrow_setup.txt"), "OLD\r\n");
        t->dev.replies["DN"] = "CFG\r\n";
        t->f.ui().DownloadSAP->click();
        QCOMPARE(t->f.dialogs.notices(),
                 QStringList{"Download refused: the device did not give its name (it answered \"CFG\r\n\" to "
                             "\"DN\"). Nothing was sent."});
        QCOMPARE(readBytes(t->f.exeFile("merrow_setup.txt")), QByteArray("OLD\r\n"));
        QCOMPARE(t->runs(), QString());
        QCOMPARE(t->log.last(), QString("DN"));
        QVERIFY(!t->f.main->PausePolling);
    }

    // The device is taken back by its product string, wherever it stands in
    // the list by then, and before the report is shown; one that cannot be
    // had back is a lost link.
    void takesTheSameDeviceBack_data()
    {
        QTest::addColumn<QList<QByteArray>>("products");
        QTest::addColumn<int>("busy");
        QTest::addColumn<QString>("opened");  // the last open, "" when lost
        QTest::newRow("a device added before it") << QList<QByteArray>{"CFG01", "CFG09", "CFG02", "CFG07"} << 0 << "3";
        QTest::newRow("a device removed before it") << QList<QByteArray>{"CFG07"} << 0 << "0";
        QTest::newRow("held a moment by another program") << QList<QByteArray>{"CFG01", "CFG02", "CFG07"} << 3 << "2";
        QTest::newRow("gone") << QList<QByteArray>{"CFG01", "CFG02"} << 0 << "";
        QTest::newRow("held by another program for good") << QList<QByteArray>{"CFG01", "CFG02", "CFG07"} << 1000
                                                         << "";
    }
    void takesTheSameDeviceBack()
    {
        QFETCH(QList<QByteArray>, products);
        QFETCH(int, busy);
        QFETCH(QString, opened);
        t->installWorkingTools();
        QStringList order;  // what the operator was told, and when the device came back
        t->f.dialogs.onShow = [&](const ScriptedDialogs::Shown &s) { order << s.text + (CommOpen ? " (open)" : " (lost)"); };
        t->dev.products = products;
        busyOpens = busy;
        t->f.ui().DownloadSAP->click();
        if (opened.isEmpty()) {
            QVERIFY(!CommOpen);
            QCOMPARE(order, (QStringList{"Communication Error! (lost)", "Done! (lost)"}));
            t->tick();
            QCOMPARE(t->f.ui().Pos->text(), QString("COM ERR"));
        } else {
            QVERIFY(CommOpen);
            QCOMPARE(order, QStringList{"Done! (open)"});
            QCOMPARE(t->log.last(), "open " + opened + " [Merrow]");
            QCOMPARE(DeviceIndex, opened.toInt());
            QCOMPARE(DeviceHandle, 78);
        }
    }

    // Two panels share the EXE folder: a download sends only what this
    // panel compiled, and the tools serve one panel at a time.
    void downloadsOnlyWhatThisPanelCompiled_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("compiled elsewhere since") << "changed";
        QTest::newRow("removed") << "removed";
        QTest::newRow("nothing compiled here") << "never";
    }
    void downloadsOnlyWhatThisPanelCompiled()
    {
        QFETCH(QString, how);
        t->installWorkingTools();
        if (how == "changed")
            writeBytes(t->f.exeFile("CompileOut.txt"), "COMPILE OK 1 lines\r\n1 X999\r\n");
        else if (how == "removed")
            QFile::remove(t->f.exeFile("CompileOut.txt"));
        else
            ExternalTools::forgetCompiledOutput();
        t->f.ui().DownloadSAP->click();
        QCOMPARE(t->f.dialogs.notices(),
                 QStringList{how == "never" ? QString("This panel has not compiled a program since it started. "
                                                      "Compile, then download.")
                                            : "The compiled program " + t->f.exeFile("CompileOut.txt") +
                                                  " is not the one this panel compiled last (another panel may have "
                                                  "compiled since). Compile again, then download."});
        QCOMPARE(t->runs(), QString());
        QCOMPARE(t->log, QStringList{"DN"});
        QVERIFY(CommOpen);

        // Compiled here again: it goes.
        t->f.dialogs.shown.clear();
        t->f.editor()->setPlainText("HSPD=2000\nX100\nEND\n");
        t->f.ui().CompileAll->click();
        t->f.ui().DownloadSAP->click();
        QCOMPARE(t->f.dialogs.notices(), (QStringList{"Done!", "Done!"}));
        QCOMPARE(t->runs(), QString("Vorlag,Merrow"));
    }

    void toolsServeOnePanelAtATime()
    {
        t->installWorkingTools();
        ExternalTools::setLockWaitForTests(200);
        auto restore = qScopeGuard([] { ExternalTools::setLockWaitForTests(0); });
        // Another panel holds the folder for its own run.
        const int other = ::open(QFile::encodeName(t->f.exeFile("tools.lock")).constData(), O_RDWR | O_CREAT, 0666);
        QVERIFY(other >= 0);
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
        t->f.editor()->setPlainText("HSPD=2000\n");
        t->f.ui().CompileAll->click();
        t->f.ui().DownloadSAP->click();
        t->f.ui().UploadSAP->click();
        const QString busy = "Another panel is using the tools in " + t->f.exe.path() + "/. Try again when it has finished.";
        QCOMPARE(t->f.dialogs.notices(), (QStringList{busy, busy, busy}));
        QCOMPARE(t->runs(), QString());
        QVERIFY(!QFile::exists(t->f.exeFile("Program.prg")));
        QVERIFY(!QFile::exists(t->f.exeFile("merrow_setup.txt")));
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(CommOpen);
        // Its run over, the folder is ours.
        ::close(other);
        t->f.dialogs.shown.clear();
        t->f.ui().CompileAll->click();
        QCOMPARE(t->f.dialogs.notices(), QStringList{"Done!"});
    }

    void closedLinkTransfersNothing()
    {
        t->installWorkingTools();
        CommOpen = false;
        t->f.ui().DownloadSAP->click();
        QCOMPARE(t->f.dialogs.notices(), QStringList{"Communication not open!"});
        t->f.dialogs.shown.clear();
        t->f.main->Timer1()->start();
        t->f.ui().UploadSAP->click();
        QCOMPARE(t->f.dialogs.shown.size(), 0);
        QVERIFY(t->f.main->Timer1()->isActive());
        QCOMPARE(t->log, QStringList{});
        QCOMPARE(t->runs(), QString());
        for (const char *name : {"merrow_setup.txt", "vorlag_setup.txt"})
            QVERIFY2(!QFile::exists(t->f.exeFile(name)), name);
    }

    void uploadLoadsTheProgramAndUndoBringsTheOldTextBack_data()
    {
        QTest::addColumn<QByteArray>("decompiled");
        QTest::addColumn<QString>("editor");
        QTest::addColumn<QString>("notice");
        QTest::newRow("program") << QByteArray("HSPD=2000\r\nX100\r\nEND\r\n") << "HSPD=2000\nX100\nEND\n"
                                 << "Done!";
        QTest::newRow("decompile failed")
            << QByteArray("DECOMPILE FAILED\r\nno program stored on CFG07\r\n")
            << "DECOMPILE FAILED\nno program stored on CFG07\n" << "DECOMPILE FAILED\r\nno program stored on CFG07\r\n";
        QTest::newRow("program whose first line says Failed")
            << QByteArray("V1=1 ; Failed\r\nEND") << "V1=1 ; Failed\nEND\n" << "V1=1 ; Failed\r\nEND\r\n";
        QTest::newRow("empty program") << QByteArray() << "" << "Done!";
    }
    void uploadLoadsTheProgramAndUndoBringsTheOldTextBack()
    {
        QFETCH(QByteArray, decompiled);
        QFETCH(QString, editor);
        QFETCH(QString, notice);
        t->installWorkingTools("", decompiled);
        const QString unsaved = "V1=1\nunsaved work\n";
        t->f.editor()->setPlainText(unsaved);
        t->f.editor()->textCursor().insertText("X5\n");
        const QString before = t->f.editor()->toPlainText();
        t->f.main->Timer1()->start();
        t->watchMessages();

        t->f.ui().UploadSAP->click();

        QCOMPARE(t->f.editor()->toPlainText(), editor);
        QCOMPARE(t->f.dialogs.notices(), QStringList{notice});
        QCOMPARE(t->runs(), QString("Merrow,Vorlag"));
        // The ID is read, the threads are left alone, and the device is the
        // tools' from close to reopening.
        QCOMPARE(t->log, (QStringList{"DN", "close 77 []", "open 2 [Merrow,Vorlag]"}));
        QCOMPARE(DeviceHandle, 78);
        QVERIFY(!t->atMessage.timerActive);
        QVERIFY(!t->atMessage.waitCursor);
        QVERIFY(t->f.main->Timer1()->isActive());
        QVERIFY(!t->f.main->PausePolling);
        QCOMPARE(readBytes(t->f.exeFile("merrow_setup.txt")), uploadSetup07);

        QTest::keyClick(t->f.editor(), Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(t->f.editor()->toPlainText(), before);
        QTest::keyClick(t->f.editor(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(t->f.editor()->toPlainText(), editor);
    }

    void failingUploadLeavesTheEditorAlone_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("notice");  // "@" is the EXE folder
        QTest::addColumn<QString>("runs");
        QTest::newRow("no loader") << "no merrow" << "The tool @/Merrow does not exist!" << "";
        QTest::newRow("no compiler") << "no vorlag" << "The tool @/Vorlag does not exist!" << "Merrow";
        QTest::newRow("no decompile result") << "silent vorlag"
                                             << "The result file @/DecompileOut.prg does not exist!"
                                             << "Merrow,Vorlag";
        QTest::newRow("old decompile result is not this run's")
            << "stale" << "The result file @/DecompileOut.prg does not exist!" << "Merrow,Vorlag";
        QTest::newRow("no EXE folder") << "no folder" << "The EXE folder @/ does not exist!" << "";
    }
    void failingUploadLeavesTheEditorAlone()
    {
        QFETCH(QString, setup);
        QFETCH(QString, notice);
        QFETCH(QString, runs);
        QString folder = t->f.exe.path();
        t->installWorkingTools();
        if (setup == "no merrow")
            QFile::remove(t->f.exeFile("Merrow"));
        if (setup == "no vorlag")
            QFile::remove(t->f.exeFile("Vorlag"));
        if (setup == "silent vorlag" || setup == "stale")
            t->installTool("Vorlag", "exit 0");
        if (setup == "stale") {
            t->installTool("Merrow", "exit 0");
            writeBytes(t->f.exeFile("DecompileOut.prg"), "OLD PROGRAM\r\n");
            writeBytes(t->f.exeFile("UploadOut.txt"), "1 OLD\r\n");
        }
        if (setup == "no folder") {
            folder += "/gone";
            ExternalTools::setExeFolderForTests(folder);
        }
        t->f.editor()->setPlainText("mine\n");
        t->f.main->Timer1()->start();

        t->f.ui().UploadSAP->click();

        QCOMPARE(t->f.dialogs.notices(), QStringList{notice.replace("@", folder)});
        QCOMPARE(t->runs(), runs);
        QCOMPARE(t->f.editor()->toPlainText(), QString("mine\n"));
        if (setup == "no folder")  // nothing to hand the device over for
            QCOMPARE(t->log, QStringList{"DN"});
        else
            QCOMPARE(t->log, (QStringList{"DN", "close 77 []", "open 2 [" + runs + "]"}));
        QVERIFY(t->f.main->Timer1()->isActive());
        QVERIFY(!QApplication::overrideCursor());
        if (setup == "stale")
            QVERIFY(!QFile::exists(t->f.exeFile("UploadOut.txt")));
    }

    // How the program got onto the device, and whether the mark may show.
    void markNeedsTheDevicesProgramInTheEditor_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<int>("line");  // the mark after a running poll with SPC 2; 0 none
        QTest::newRow("compiled and downloaded") << "compile download" << 2;
        QTest::newRow("uploaded") << "upload" << 2;
        QTest::newRow("edited after the compile") << "compile edit download" << 0;
        QTest::newRow("edited and put back") << "compile edit unedit download" << 2;
        QTest::newRow("a no-break space in the text") << "nbsp compile download" << 2;
        QTest::newRow("download failed") << "compile faildownload" << 0;
        QTest::newRow("no compile this run") << "download" << 0;
        QTest::newRow("compile failed") << "compile failcompile download" << 0;
        QTest::newRow("upload failed") << "failupload" << 0;
        QTest::newRow("compiled, not downloaded") << "compile" << 0;
    }
    void markNeedsTheDevicesProgramInTheEditor()
    {
        QFETCH(QString, route);
        QFETCH(int, line);
        t->installWorkingTools();
        t->f.editor()->setPlainText("HSPD=2000\nX100\nEND\n");
        writeBytes(t->f.exeFile("CompileOut.txt"), "COMPILE OK 3 lines\r\n1 HSPD=2000\r\n2 X100\r\n3 END\r\n");
        for (const QString &step : route.split(' ')) {
            if (step == "compile") {
                t->f.ui().CompileAll->click();
            } else if (step == "nbsp") {
                t->f.editor()->setPlainText(QString::fromUtf8("HSPD=2000 ;\u00A0slow\nX100\nEND\n"));
            } else if (step == "failcompile") {
                t->installTool("Vorlag", "printf 'COMPILE FAILED\\r\\nbad\\r\\nLine: 1\\r\\n' > \"$here/CompileOut.txt\"");
                t->f.ui().CompileAll->click();
            } else if (step == "edit") {
                t->f.editor()->moveCursor(QTextCursor::End);
                t->f.editor()->textCursor().insertText("X");
            } else if (step == "unedit") {
                t->f.editor()->textCursor().deletePreviousChar();
            } else if (step == "download") {
                t->f.ui().DownloadSAP->click();
            } else if (step == "faildownload") {
                t->installWorkingTools("DOWNLOAD FAILED\r\nchecksum\r\n");
                t->f.ui().DownloadSAP->click();
            } else if (step == "upload") {
                t->f.ui().UploadSAP->click();
            } else if (step == "failupload") {
                t->installWorkingTools({}, "DECOMPILE FAILED\r\nno program\r\n");
                t->f.ui().UploadSAP->click();
            }
        }
        t->dev.replies["SPC"] = "2";
        t->dev.replies["SASTAT"] = "1";
        t->dev.replies["SASTAT0"] = "1";
        t->f.main->PollPhase = 4;
        t->tick();
        QCOMPARE(t->f.editor()->runningLine(), line);
    }

    void markMovesWithThePollAndGoesWhenTheProgramStopsOrTheTextChanges()
    {
        t->installWorkingTools();
        t->f.editor()->setPlainText("HSPD=2000\nX100\nEND\n");
        // Until the device's program is known, the poll asks nothing for the mark.
        t->f.main->PollPhase = 4;
        t->dev.clearLog();
        t->tick();
        QCOMPARE(t->dev.log, (QStringList{"PX", "SPC", "SASTAT"}));
        t->f.ui().CompileAll->click();
        t->f.ui().DownloadSAP->click();
        t->f.editor()->resize(300, 200);
        t->f.editor()->show();

        struct Step {
            const char *spc, *sastat, *sastat0;
            int line;
        };
        // Ticks from phase 4: the states are read on the first of every
        // four. "SASTAT" is both programs, "SASTAT0" program 0 alone.
        const Step steps[] = {
            {"2", "1", "1", 2},    // running at line 2
            {"3", "1", "1", 3},    // moves with SPC on the next tick
            {"1", "2", "2", 1},    // paused: still at a line
            {"x", "2", "2", 0},    // a counter that is no number marks nothing
            {"9", "1", "1", 0},    // a line the text does not have
            {"2", "0", "0", 0},    // idle: gone
            {"2", "4", "4", 0},    // errored: gone
            {"2", "1", "4", 0},    // program 0 errored at line 2 while program 1 runs
            {"2", "1", "0", 0},    // program 0 idle while program 1 runs
            {"2", "1", "2", 2},    // program 0 paused while program 1 runs
            {"2", "1", "3", 2},    // an unknown state changes nothing
            {"2", "1", "", 0},     // no answer counts as idle: no mark
            {"2", "1", "1", 2},
        };
        for (const Step &s : steps) {
            t->dev.replies["SPC"] = s.spc;
            t->dev.replies["SASTAT"] = s.sastat;
            t->dev.replies["SASTAT0"] = s.sastat0;
            t->f.main->PollPhase = 4;
            t->dev.clearLog();
            t->tick();
            QCOMPARE(t->dev.log, (QStringList{"PX", "SPC", "SASTAT", "SASTAT0"}));
            QVERIFY2(t->f.editor()->runningLine() == s.line,
                     qPrintable(QString("SPC %1 SASTAT %2 SASTAT0 %3: line %4")
                                    .arg(s.spc, s.sastat, s.sastat0)
                                    .arg(t->f.editor()->runningLine())));
        }
        QVERIFY(CommOpen);

        // Shown: an arrow in the gutter and a soft background on that row.
        const QTextBlock b = t->f.editor()->document()->findBlockByNumber(1);
        const int y = t->f.editor()->cursorRect(QTextCursor(b)).center().y();
        const QImage gutter = t->f.editor()->gutter()->grab().toImage();
        QCOMPARE(gutter.pixelColor(4, y), QColor(0x10, 0x80, 0x30));
        QVERIFY(gutter.pixelColor(4, y - t->f.editor()->fontMetrics().height()) != QColor(0x10, 0x80, 0x30));
        const QImage text = t->f.editor()->viewport()->grab().toImage();
        QCOMPARE(text.pixelColor(text.width() - 3, y), QColor(0xe2, 0xf4, 0xe2));

        // Between state reads the counter alone moves it.
        t->dev.replies["SPC"] = "3";
        t->tick();
        QCOMPARE(t->f.editor()->runningLine(), 3);

        // Typing removes it at once; undoing gives the program back, and
        // the next poll marks it again.
        t->f.editor()->moveCursor(QTextCursor::End);
        t->f.editor()->textCursor().insertText("X");
        QCOMPARE(t->f.editor()->runningLine(), 0);
        QVERIFY(t->f.editor()->extraSelections().isEmpty());
        t->tick();
        QCOMPARE(t->f.editor()->runningLine(), 0);
        t->f.editor()->undo();
        t->tick();
        QCOMPARE(t->f.editor()->runningLine(), 3);

        // A new download stops the threads: no mark until the poll sees it run.
        t->f.ui().DownloadSAP->click();
        QCOMPARE(t->f.editor()->runningLine(), 0);
        t->tick();
        QCOMPARE(t->f.editor()->runningLine(), 0);
    }

    // A refused download leaves the device exactly as it was: every check
    // the panel can make comes before "SR0=0" and "SR1=0", which stop the
    // device's programs; "DN" is read first.
    void aRefusedDownloadStopsNothing_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("notice");  // "@" is the EXE folder
        QTest::newRow("a name that is no device name")
            << "odd name" << "Download refused: the device did not give its name (it answered \"CFG7\" to \"DN\"). "
                             "Nothing was sent.";
        QTest::newRow("no EXE folder") << "no folder" << "The EXE folder @/gone/ does not exist!";
        QTest::newRow("another panel holds the tools")
            << "locked" << "Another panel is using the tools in @/. Try again when it has finished.";
        QTest::newRow("nothing compiled here")
            << "never" << "This panel has not compiled a program since it started. Compile, then download.";
        QTest::newRow("compiled elsewhere since")
            << "changed" << "The compiled program @/CompileOut.txt is not the one this panel compiled last (another "
                            "panel may have compiled since). Compile again, then download.";
        QTest::newRow("an empty program") << "empty" << "The program is empty; nothing was sent.";
        QTest::newRow("a line the device would refuse")
            << "bad line" << "Compiled line 2 is not valid: GOTO to a label that does not exist. Nothing was sent.";
        QTest::newRow("two devices of the ID")
            << "twins" << "More than one device has the ID 07: the loader cannot tell which to load. Give each its "
                          "own ID, then download. Nothing was sent.";
        QTest::newRow("a count the lines do not match")
            << "cut" << "The file CompileOut.txt cannot be sent: the result line announces 3 compiled lines but 2 "
                        "follow it. Nothing was sent.";
    }
    void aRefusedDownloadStopsNothing()
    {
        QFETCH(QString, how);
        QFETCH(QString, notice);
        t->installWorkingTools();
        ExternalTools::setLockWaitForTests(200);
        auto restore = qScopeGuard([] { ExternalTools::setLockWaitForTests(0); });
        int other = -1;
        auto unlock = qScopeGuard([&other] {
            if (other >= 0)
                ::close(other);
        });
        if (how == "odd name")
            t->dev.replies["DN"] = "CFG7";
        if (how == "no folder")
            ExternalTools::setExeFolderForTests(t->f.exe.path() + "/gone");
        if (how == "locked") {
            other = ::open(QFile::encodeName(t->f.exeFile("tools.lock")).constData(), O_RDWR | O_CREAT, 0666);
            QVERIFY(other >= 0 && ::flock(other, LOCK_EX | LOCK_NB) == 0);
        }
        if (how == "never")
            ExternalTools::forgetCompiledOutput();
        if (how == "twins")
            t->dev.products = {"CFG01", "CFG07", "Zenta cfg07"};
        if (how == "changed")
            writeBytes(t->f.exeFile("CompileOut.txt"), "COMPILE OK 1 lines\r\n1 X999\r\n");
        const QMap<QString, QByteArray> compiled{
            {"empty", "COMPILE OK 0 lines\r\n"},
            {"bad line", "COMPILE OK 2 lines\r\n1 X1\r\n2 GOTO @9\r\n"},
            {"cut", "COMPILE OK 3 lines\r\n1 X1\r\n2 X2\r\n"},
        };
        if (compiled.contains(how)) {
            // Compiled by this panel, and still refused by the loader's rules.
            writeBytes(t->f.exeFile("CompileOut.txt"), compiled[how]);
            ExternalTools::rememberCompiledOutput();
        }
        t->f.ui().DownloadSAP->click();
        const QStringList shown = t->f.dialogs.notices();
        QCOMPARE(shown.size(), 1);
        if (how == "bad line" || how == "cut")  // the reader's own words after the loader's
            QVERIFY2(shown.first().startsWith(notice.section(':', 0, 0)), qPrintable(shown.first()));
        else
            QCOMPARE(shown.first(), QString(notice).replace("@", t->f.exe.path()));
        QCOMPARE(t->log, QStringList{"DN"});
        QCOMPARE(t->runs(), QString());
        QVERIFY(CommOpen);
        QVERIFY(!t->f.main->PausePolling);
    }

    // The link lost while the panel waited for another panel's tools: the
    // transfer does not happen, and the device is left free (the panel's
    // handle closed, nothing opened again).
    void aLinkLostWhileWaitingForTheToolsTransfersNothing_data()
    {
        QTest::addColumn<bool>("download");
        QTest::newRow("download") << true;
        QTest::newRow("upload") << false;
    }
    void aLinkLostWhileWaitingForTheToolsTransfersNothing()
    {
        QFETCH(bool, download);
        t->installWorkingTools();
        ExternalTools::setLockWaitForTests(3000);
        auto restore = qScopeGuard([] { ExternalTools::setLockWaitForTests(0); });
        const int other = ::open(QFile::encodeName(t->f.exeFile("tools.lock")).constData(), O_RDWR | O_CREAT, 0666);
        QVERIFY(other >= 0 && ::flock(other, LOCK_EX | LOCK_NB) == 0);
        auto unlock = qScopeGuard([other] { ::close(other); });
        // While the panel waits (its window disabled): the device goes
        // silent, the poll finds the link lost, then the other panel's run
        // ends.
        t->f.main->Timer1()->start();
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (!t->f.main->isEnabled())
                t->dev.silent = true;
            if (!CommOpen)
                ::flock(other, LOCK_UN);
        });
        watch.start(5);
        (download ? t->f.ui().DownloadSAP : t->f.ui().UploadSAP)->click();
        QCOMPARE(t->f.dialogs.notices(), QStringList{"Communication Error!"});
        QCOMPARE(t->runs(), QString());
        QVERIFY(!CommOpen);
        // Closed once, by the lost link, and never opened again.
        QCOMPARE(t->log.filter(QRegularExpression("^(open|close) ")), QStringList{"close 77 []"});
        QVERIFY(!t->log.contains("SR0=0"));
        QVERIFY(!QFile::exists(t->f.exeFile("merrow_setup.txt")));
        QCOMPARE(t->f.main->Timer1()->isActive(), true);
        t->tick();
        QCOMPARE(t->f.ui().Pos->text(), QString("COM ERR"));
    }

    // While the device is lent to the loader the panel's own handle is
    // closed: Esc stops the loader and what it started, and STOP goes to the
    // device the moment it is back. Timers and repaints go on meanwhile.
    void escapeStopsTheLoaderAndStopsTheAxisOnceTheDeviceIsBack_data()
    {
        QTest::addColumn<bool>("download");
        QTest::newRow("download") << true;
        QTest::newRow("upload") << false;
    }
    void escapeStopsTheLoaderAndStopsTheAxisOnceTheDeviceIsBack()
    {
        QFETCH(bool, download);
        t->installWorkingTools();
        // A loader that takes its time, with a child of its own.
        t->installTool("Merrow", "sleep 20 &\necho $! > \"$here/child\"\nwait");
        t->f.main->show();
        t->f.ui().SetSpeed->setText("1000");
        t->f.ui().Accel->setText("300");
        // Esc once the loader runs, its child started.
        QString logAtEsc;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (logAtEsc.isEmpty() && QFile::exists(t->f.exeFile("child")) &&
                !readBytes(t->f.exeFile("child")).trimmed().isEmpty()) {
                logAtEsc = t->log.join('|');
                QTest::keyClick(t->f.ui().OrgProgram, Qt::Key_Escape);
            }
        });
        watch.start(10);
        (download ? t->f.ui().DownloadSAP : t->f.ui().UploadSAP)->click();
        watch.stop();
        QVERIFY2(logAtEsc.endsWith("close 77 []"), qPrintable(logAtEsc));
        QCOMPARE(t->f.dialogs.notices(), QStringList{"The tool " + t->f.exeFile("Merrow") + " was stopped."});
        // The device back, then STOP at once, and nothing of the loader's
        // group left running.
        QCOMPARE(t->log.mid(t->log.indexOf("close 77 []")),
                 (QStringList{"close 77 []", "open 2 [Merrow]", "STOP"}));
        QCOMPARE(t->runs(), QString("Merrow"));
        QVERIFY(CommOpen);
        const pid_t child = readBytes(t->f.exeFile("child")).trimmed().toInt();
        QVERIFY(child > 0);
        // Gone, or a zombie waiting for whoever adopted it.
        auto gone = [child] {
            const QByteArray stat = readBytes(QString("/proc/%1/stat").arg(child));
            return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
        };
        QTRY_VERIFY(gone());
        // Esc is the stop key's again.
        t->f.ui().SelUSBControl->setChecked(true);
        t->dev.replies["PA"] = "1";
        t->log.clear();
        QTest::keyClick(t->f.ui().OrgProgram, Qt::Key_Escape);
        QCOMPARE(t->log.last(), QString("STOP"));
    }

    // Taking the device back waits in the event loop, with the open off the
    // GUI thread: a timer fires and Esc is heard while another program holds
    // the device, and STOP follows as soon as it is back.
    void takingTheDeviceBackKeepsTheWindowAlive()
    {
        t->installWorkingTools();
        opens = 0;
        busyOpens = 10;  // ten refusals before the device is back
        t->f.main->show();
        t->f.ui().OrgProgram->setFocus();
        // A timer that fires while the device is refused: Esc then.
        int opensAtTick = -1;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (opensAtTick < 0 && opens >= 2) {
                opensAtTick = opens;
                QTest::keyClick(t->f.ui().OrgProgram, Qt::Key_Escape);
            }
        });
        watch.start(5);
        t->f.ui().DownloadSAP->click();
        watch.stop();
        QVERIFY2(opensAtTick > 0 && opensAtTick < 11, qPrintable(QString::number(opensAtTick)));
        QCOMPARE(t->log.last(), QString("STOP"));
        QCOMPARE(t->log.at(t->log.size() - 2), QString("open 2 [Merrow]"));
        QVERIFY(CommOpen);
        QCOMPARE(t->f.dialogs.notices(), QStringList{"Done!"});
    }

    // Identical units share a product string; the panel takes its own back
    // by its serial, wherever it is listed by then.
    void takesItsOwnDeviceBackByItsSerial_data()
    {
        QTest::addColumn<QList<QByteArray>>("products");
        QTest::addColumn<QList<QByteArray>>("serials");
        QTest::addColumn<QString>("opened");  // the last open, "" when lost
        QTest::addColumn<QString>("product");  // as the panel knows it afterwards
        QTest::newRow("two of its name, in its place")
            << QList<QByteArray>{"CFG07", "CFG02", "CFG07"} << QList<QByteArray>{"a1", "a2", "a3"} << "2" << "CFG07";
        QTest::newRow("two of its name, moved up")
            << QList<QByteArray>{"CFG07", "CFG07"} << QList<QByteArray>{"a3", "a9"} << "0" << "CFG07";
        QTest::newRow("renamed and power-cycled meanwhile")
            << QList<QByteArray>{"CFG07", "CFG12"} << QList<QByteArray>{"a1", "a3"} << "1" << "CFG12";
        QTest::newRow("gone, another of its name left")
            << QList<QByteArray>{"CFG01", "CFG07"} << QList<QByteArray>{"a1", "a2"} << "" << "CFG07";
    }
    void takesItsOwnDeviceBackByItsSerial()
    {
        QFETCH(QList<QByteArray>, products);
        QFETCH(QList<QByteArray>, serials);
        QFETCH(QString, opened);
        QFETCH(QString, product);
        t->installWorkingTools();
        DeviceSerial = "a3";
        DeviceProductUnique = false;  // two were named CFG07 at selection
        t->dev.products = products;
        t->dev.serials = serials;
        t->f.ui().UploadSAP->click();
        if (opened.isEmpty()) {
            QVERIFY(!CommOpen);
            QCOMPARE(t->f.dialogs.notices().first(), QString("Communication Error!"));
            QVERIFY(!t->log.last().startsWith("open"));
        } else {
            QVERIFY2(CommOpen, qPrintable(t->f.dialogs.notices().join('|')));
            QCOMPARE(t->log.last(), "open " + opened + " [Merrow,Vorlag]");
            QCOMPARE(DeviceIndex, opened.toInt());
        }
        QCOMPARE(DeviceProduct, product);
    }
};

QTEST_MAIN(ProgramTransferTest)
#include "tst_program_transfer.moc"

// Compiling through the external compiler in a temporary EXE folder (the real
// Vorlag, or small scripts standing in for a misbehaving one), judging its
// result file, and the viewer of the compiled output.
#include "ModalRun.h"
#include "ProgramFixture.h"
#include "ScriptedDevice.h"
#include "common/TextFile.h"
#include "mainwindow/StatusPoll.h"
#include "program/CompileControl.h"
#include "program/ViewCompiledForm.h"
#include "ui_ViewCompiledForm.h"

#include <QApplication>
#include <QThread>
#include <QTimer>
#include <QtTest>

using namespace ExternalTools;

namespace {

const QString result = QStringLiteral("CompileOut.txt");

void installRealVorlag(const QString &folder)
{
    const QString built = qEnvironmentVariable("ZENTA_BIN_DIR") + "/EXE/Vorlag";
    QVERIFY2(QFile::exists(built), qPrintable(built));
    QVERIFY(QFile::copy(built, folder + "/Vorlag"));
}

// A stand-in tool: a shell script that notes how it was started (argument
// count and current folder) beside itself and then runs `body`.
void installScript(const QString &folder, const QByteArray &body)
{
    const QString path = folder + "/Vorlag";
    writeBytes(path, "#!/bin/sh\nhere=$(dirname \"$0\")\necho $# > \"$here/args\"\npwd > \"$here/cwd\"\n" + body);
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeUser);
}

QByteArray exampleBytes(const QString &name)
{
    return readBytes(qEnvironmentVariable("ZENTA_SOURCE_DIR") + "/examples/" + name);
}

}  // namespace

class ProgramCompileTest : public QObject {
    Q_OBJECT
    std::unique_ptr<ProgramFixture> f;

private slots:
    void init() { f = std::make_unique<ProgramFixture>(); }
    void cleanup() { f.reset(); }

    void resultFileIsJudgedByItsFirstLine_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("notice");
        QTest::newRow("Failed in line 1") << QByteArray("Download Failed\r\nno device\r\n") << 0
                                          << "Download Failed\r\nno device\r\n";
        QTest::newRow("FAILED, lines without CR") << QByteArray("COMPILE FAILED\nbad\nLine: 2") << 0
                                                  << "COMPILE FAILED\r\nbad\r\nLine: 2\r\n";
        QTest::newRow("FAILED only in line 3") << QByteArray("COMPILE OK 2 lines\r\nX1\r\nFAILED\r\n") << 1 << "Done!";
        QTest::newRow("lower case does not count") << QByteArray("compile failed\r\n") << 1 << "Done!";
        QTest::newRow("empty file") << QByteArray() << 1 << "Done!";
        QTest::newRow("missing") << QByteArray("<none>") << -1 << "The result file @ does not exist!";
    }
    void resultFileIsJudgedByItsFirstLine()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, outcome);
        QFETCH(QString, notice);
        const QString path = f->exeFile(result);
        if (file != "<none>")
            writeBytes(path, file);
        QCOMPARE(int(CheckResultFile(f->main.get(), path)), outcome);
        QCOMPARE(f->dialogs.notices(), QStringList{notice.replace("@", path)});
    }

    void errorLineComesFromTheLastLineEntry_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("line");  // -1: no line, and the notice below
        QTest::addColumn<QString>("notice");
        QTest::newRow("one entry") << QByteArray("COMPILE FAILED\r\nbad\r\nLine: 3\r\n") << 3 << "";
        QTest::newRow("blanks around") << QByteArray("FAILED\r\nLine:   12  \r\n") << 12 << "";
        QTest::newRow("two entries, the second wins") << QByteArray("FAILED\r\nLine: 2\r\nLine: 7\r\n") << 7 << "";
        QTest::newRow("lower case is no entry") << QByteArray("FAILED\r\nLine: 4\r\nline: 9\r\n") << 4 << "";
        QTest::newRow("no entry") << QByteArray("COMPILE FAILED\r\nbad\r\n") << -1
                                  << "The compile report @ names no failing line!";
        QTest::newRow("not a number") << QByteArray("FAILED\r\nLine: two\r\n") << -1
                                      << "The compile report @ gives no readable line number: \"two\"";
        QTest::newRow("beyond 16 bits") << QByteArray("FAILED\r\nLine: 40000\r\n") << -1
                                        << "The compile report @ gives no readable line number: \"40000\"";
        QTest::newRow("entry too short") << QByteArray("FAILED\r\nLine\r\n") << -1
                                         << "The compile report @ gives no readable line number: \"\"";
        QTest::newRow("missing file") << QByteArray("<none>") << -1 << "The compile report @ does not exist!";
    }
    void errorLineComesFromTheLastLineEntry()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, line);
        QFETCH(QString, notice);
        const QString path = f->exeFile(result);
        if (file != "<none>")
            writeBytes(path, file);
        const auto read = ReadErrorLine(f->main.get());
        QCOMPARE(read ? int(*read) : -1, line);
        QCOMPARE(f->dialogs.notices(), notice.isEmpty() ? QStringList{} : QStringList{notice.replace("@", path)});
    }

    void compiledLinesLeaveOutTheResultLine_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("caption");
        QTest::newRow("empty file") << QByteArray() << -1 << "Lines: -1";
        QTest::newRow("missing file") << QByteArray("<none>") << -1 << "Lines: -1";
        QTest::newRow("result line alone") << QByteArray("COMPILE OK 0 lines\r\n") << 0 << "Lines:  0";
        QTest::newRow("twelve") << QByteArray("OK\r\n") + QByteArray("1 WAITX\r\n").repeated(12) << 12
                                << "Lines:  12";
        QTest::newRow("last line without end") << QByteArray("OK\r\nA\r\nB") << 2 << "Lines:  2";
    }
    void compiledLinesLeaveOutTheResultLine()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, count);
        QFETCH(QString, caption);
        if (file != "<none>")
            writeBytes(f->exeFile(result), file);
        QCOMPARE(f->main->CountCompiledLines(), count);
        QCOMPARE(CompileControl::linesCaption(count), caption);
    }

    void goodExampleCompilesWithTheRealVorlag_data()
    {
        QTest::addColumn<QString>("example");
        QTest::newRow("back_and_forth") << "back_and_forth.prg";
        QTest::newRow("two_programs") << "two_programs.prg";
        QTest::newRow("wait_input") << "wait_input.prg";
    }
    void goodExampleCompilesWithTheRealVorlag()
    {
        QFETCH(QString, example);
        installRealVorlag(f->exe.path());
        f->dialogs.fileNames << qEnvironmentVariable("ZENTA_SOURCE_DIR") + "/examples/" + example;
        f->ui().OpenProg->click();
        const QString cwd = QDir::currentPath();

        f->ui().CompileAll->click();

        QCOMPARE(f->dialogs.notices(), QStringList{"Done!"});
        QCOMPARE(readBytes(f->exeFile("Program.prg")), exampleBytes(example));
        QCOMPARE(readBytes(f->exeFile("vorlag_setup.txt")),
                 QByteArray("MOD:ZENTA-QLX\r\nOPE:COMPILE\r\nFIL:Program.prg\r\n"));
        const QStringList out = TextFile::splitLines(readBytes(f->exeFile(result)));
        QVERIFY(out.size() > 1);
        QVERIFY(out.first().startsWith("COMPILE OK"));
        QCOMPARE(f->ui().CompiledLines->text(), "Lines:  " + QString::number(out.size() - 1));
        QVERIFY(!f->editor()->textCursor().hasSelection());
        QCOMPARE(f->editor()->failingLine(), 0);
        QCOMPARE(QDir::currentPath(), cwd);
    }

    void brokenProgramSelectsAndMarksItsLine()
    {
        installRealVorlag(f->exe.path());
        f->editor()->setPlainText("HSPD=2000\nX100");
        f->compile().CompileAll_Click();
        const QString good = f->ui().CompiledLines->text();
        QVERIFY2(good.startsWith("Lines:  ") && good != "Lines:  0", qPrintable(good));

        f->dialogs.shown.clear();
        f->ui().SetPosition->setFocus();
        f->editor()->setPlainText("HSPD=2000\nABS\nWHILE V1<\nX100\nENDWHILE");
        f->compile().CompileAll_Click();

        const QStringList notices = f->dialogs.notices();
        QCOMPARE(notices.size(), 1);
        QVERIFY(notices.first().startsWith("COMPILE FAILED\r\n"));
        QVERIFY(notices.first().endsWith("Line: 3\r\n"));
        const QTextCursor sel = f->editor()->textCursor();
        QCOMPARE(sel.selectionStart(), 14);
        QCOMPARE(sel.selectedText(), QString("WHILE V1<"));
        QCOMPARE(f->main->focusWidget(), f->editor());
        QCOMPARE(f->editor()->failingLine(), 3);
        QCOMPARE(f->ui().CompiledLines->text(), good);

        // Typing ends the mark; the next good compile sets the caption anew.
        QTextCursor typing = f->editor()->textCursor();
        typing.setPosition(typing.selectionEnd());
        typing.insertText("5");
        QCOMPARE(f->editor()->failingLine(), 0);
        f->compile().CompileAll_Click();
        QCOMPARE(f->dialogs.notices().last(), QString("Done!"));
        QVERIFY(f->ui().CompiledLines->text() != good);
    }

    void emptyTextIsNotCompiled()
    {
        installScript(f->exe.path(), "echo 'COMPILE OK' > \"$here/CompileOut.txt\"\n");
        f->compile().CompileAll_Click();
        QCOMPARE(f->dialogs.notices(), QStringList{"Nothing to compile!"});
        for (const char *name : {"Program.prg", "vorlag_setup.txt", "args", "CompileOut.txt"})
            QVERIFY2(!QFile::exists(f->exeFile(name)), name);

        // Blanks are text: the tool runs.
        f->editor()->setPlainText("   ");
        f->compile().CompileAll_Click();
        QCOMPARE(readBytes(f->exeFile("Program.prg")), QByteArray("   \r\n"));
        QCOMPARE(f->dialogs.notices().last(), QString("Done!"));
    }

    void toolStartsBareInThePanelsFolderAndAnOldReportIsNotJudged()
    {
        // The script leaves no result file; the old one must not pass for it.
        installScript(f->exe.path(), "exit 0\n");
        writeBytes(f->exeFile(result), "COMPILE OK 1 lines\r\n1 WAITX\r\n");
        f->ui().CompiledLines->setText("Lines:  9");
        f->editor()->setPlainText("X100\n");
        const QString cwd = QDir::currentPath();

        f->compile().CompileAll_Click();

        QCOMPARE(readBytes(f->exeFile("args")), QByteArray("0\n"));
        QCOMPARE(QString::fromLocal8Bit(readBytes(f->exeFile("cwd"))).trimmed(),
                 QFileInfo(cwd).canonicalFilePath());
        QCOMPARE(QDir::currentPath(), cwd);
        QCOMPARE(f->dialogs.notices(), QStringList{"The result file " + f->exeFile(result) + " does not exist!"});
        QCOMPARE(f->ui().CompiledLines->text(), QString("Lines:  9"));
        QVERIFY(!f->editor()->textCursor().hasSelection());
    }

    // A tool that hangs holds the window only as long as the operator lets
    // it: asked after a while, No waits on, Yes stops the tool and what it
    // started.
    void hangingToolIsStoppedWhenTheOperatorSaysSo()
    {
        setToolPatienceForTests(100);
        auto restore = qScopeGuard([] { setToolPatienceForTests(0); });
        // Ends by itself in the end, so a panel that never asks fails the test instead of hanging it.
        installScript(f->exe.path(), "sleep 30 &\necho $! > \"$here/child\"\nwait\n");
        f->editor()->setPlainText("X100\n");
        f->ui().CompiledLines->setText("Lines:  4");
        f->dialogs.answers = {false, true};
        QList<bool> waitCursorAtQuestion;
        f->dialogs.onShow = [&](const ScriptedDialogs::Shown &shown) {
            if (shown.kind != "question")
                return;
            waitCursorAtQuestion << (QApplication::overrideCursor() != nullptr);
            // The tool has started its helper before it is stopped.
            for (int i = 0; i < 1000 && readBytes(f->exeFile("child")).trimmed().toInt() <= 0; ++i)
                QThread::msleep(10);
        };

        f->compile().CompileAll_Click();

        QStringList questions;
        for (const ScriptedDialogs::Shown &shown : f->dialogs.shown)
            if (shown.kind == "question") {
                QCOMPARE(shown.title, QString("Tool Still Running"));
                questions << shown.text;
            }
        QCOMPARE(questions.size(), 2);
        const QString tool = f->exeFile("Vorlag");
        QVERIFY2(questions[0].startsWith("The tool " + tool + " is still running after "), qPrintable(questions[0]));
        QVERIFY2(questions[0].endsWith(" seconds.\n\nStop it? No waits for it longer."), qPrintable(questions[0]));
        QCOMPARE(f->dialogs.notices(), QStringList{"The tool " + tool + " was stopped."});
        QCOMPARE(waitCursorAtQuestion, (QList<bool>{false, false}));
        QVERIFY(!QApplication::overrideCursor());
        QCOMPARE(f->ui().CompiledLines->text(), QString("Lines:  4"));

        // Its helper went with it: gone, or dead and waiting to be reaped.
        const QString child = QString::fromLatin1(readBytes(f->exeFile("child")).trimmed());
        QVERIFY(child.toInt() > 0);
        auto dead = [&] {
            QFile stat("/proc/" + child + "/stat");
            if (!stat.open(QIODevice::ReadOnly))
                return true;
            const QByteArray line = stat.readAll();
            return line.mid(line.lastIndexOf(')') + 2, 1) == "Z";
        };
        QTRY_VERIFY_WITH_TIMEOUT(dead(), 10000);
    }

    void missingPiecesAreNamedAndNothingIsSelected_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("notices");  // "@" is the EXE folder
        QTest::newRow("no EXE folder") << "no folder" << QStringList{"The EXE folder @/ does not exist!"};
        QTest::newRow("no tool") << "no tool" << QStringList{"The tool @/Vorlag does not exist!"};
        QTest::newRow("tool is a folder") << "folder tool" << QStringList{"The tool @/Vorlag does not exist!"};
        QTest::newRow("tool cannot start") << "not executable"
                                           << QStringList{"The tool @/Vorlag could not be started: <reason>"};
        QTest::newRow("bad interpreter") << "bad interpreter"
                                         << QStringList{"The tool @/Vorlag could not be started: <reason>"};
        QTest::newRow("report without a line")
            << "printf 'COMPILE FAILED\\r\\nout of paper\\r\\n' > \"$here/CompileOut.txt\""
            << QStringList{"COMPILE FAILED\r\nout of paper\r\n", "The compile report @/CompileOut.txt names no failing line!"};
        QTest::newRow("report with a bad number")
            << "printf 'Failed\\r\\nLine: x1\\r\\n' > \"$here/CompileOut.txt\""
            << QStringList{"Failed\r\nLine: x1\r\n",
                           "The compile report @/CompileOut.txt gives no readable line number: \"x1\""};
        QTest::newRow("tool crashes") << "kill -SEGV $$"
                                      << QStringList{"The result file @/CompileOut.txt does not exist!"};
    }
    void missingPiecesAreNamedAndNothingIsSelected()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, notices);
        QString folder = f->exe.path();
        const QString tool = folder + "/Vorlag";
        if (setup == "no folder") {
            folder += "/gone";
            setExeFolderForTests(folder);
        } else if (setup == "folder tool") {
            QVERIFY(QDir(folder).mkdir("Vorlag"));
        } else if (setup == "not executable") {
            writeBytes(tool, "#!/bin/sh\n");
        } else if (setup == "bad interpreter") {
            installScript(folder, "");
            writeBytes(tool, "#!/nonexistent/shell\n");
        } else if (setup != "no tool") {
            installScript(folder, setup.toLocal8Bit() + "\n");
        }
        f->ui().CompiledLines->setText("Lines:  4");
        f->editor()->setPlainText("X100\nX200\n");

        f->compile().CompileAll_Click();

        QStringList shown = f->dialogs.notices();
        for (QString &n : notices)
            n.replace("@", folder);
        if (!notices.isEmpty() && notices.last().endsWith("<reason>")) {
            // The system's own words for the reason follow the colon.
            QCOMPARE(shown.size(), 1);
            const QString head = notices.last().chopped(QStringLiteral("<reason>").size());
            QVERIFY2(shown.first().startsWith(head) && shown.first().size() > head.size(), qPrintable(shown.first()));
        } else {
            QCOMPARE(shown, notices);
        }
        QVERIFY(!f->editor()->textCursor().hasSelection());
        QCOMPARE(f->editor()->failingLine(), 0);
        QCOMPARE(f->ui().CompiledLines->text(), QString("Lines:  4"));
    }

    void viewerShowsTheWholeOutputWhileThePollRests()
    {
        ScriptedDevice device;
        modTollan::CommOpen = true;
        writeBytes(f->exeFile(result), "COMPILE OK 2 lines\r\n1 X100\nLast");
        QVERIFY(!f->main->PausePolling);

        struct Seen {
            bool open = false, paused = false;
            QString title, txt, shown;
            QStringList sent;
        } seen;
        // The viewer is closed by the helper even when it shows late or a
        // check fails, so the test cannot hang in its event loop.
        seen.open = runWhileOpen<ViewCompiledForm>([&] { f->ui().ViewCompiled->click(); }, [&](ViewCompiledForm *viewer) {
            seen.paused = f->main->PausePolling;
            seen.title = viewer->windowTitle();
            seen.txt = viewer->txt;
            seen.shown = viewer->ui()->ProgText->toPlainText();
            f->main->statusPoll().Timer1_Timer();
            seen.sent = device.log;
            viewer->ui()->Close->click();
        });

        QVERIFY(seen.open);
        QVERIFY(seen.paused);
        QCOMPARE(seen.title, QString("View Compiled Program"));
        QCOMPARE(seen.txt, QString("COMPILE OK 2 lines\r\n1 X100\r\nLast\r\n"));
        QCOMPARE(seen.shown, QString("COMPILE OK 2 lines\n1 X100\nLast\n"));
        QCOMPARE(seen.sent, QStringList{});
        QVERIFY(!f->main->PausePolling);
        // Once the viewer is gone the poll reaches the device again.
        f->main->statusPoll().Timer1_Timer();
        QVERIFY(device.log.contains("PX"));
        modTollan::CommOpen = false;
    }

    void viewerWithoutCompileOutputEndsSilently()
    {
        int viewers = 0;
        runWhileOpen<ViewCompiledForm>([&] { f->compile().ViewCompiled_Click(); },
                                       [&](ViewCompiledForm *) { ++viewers; }, 200);
        QCOMPARE(viewers, 0);
        QVERIFY(!f->main->PausePolling);
        QVERIFY(f->dialogs.shown.isEmpty());
    }

    void viewerSavesWhatTheBoxHolds_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("notices");
        QTest::addColumn<QByteArray>("bytes");  // of the file "@/out" afterwards
        QTest::newRow("cancel") << "<cancel>" << "A\nB\n" << QStringList{} << QByteArray("<missing>");
        QTest::newRow("empty name") << "" << "A\nB\n" << QStringList{"No Program Name!"} << QByteArray("<missing>");
        QTest::newRow("star") << "@/*.cpg" << "A\nB\n" << QStringList{} << QByteArray("<missing>");
        QTest::newRow("no extension added") << "@/out" << "A\nB\n" << QStringList{"Save Done!"}
                                            << QByteArray("A\r\nB\r\n");
        QTest::newRow("edited text") << "@/out" << "A\nedited" << QStringList{"Save Done!"}
                                     << QByteArray("A\r\nedited\r\n");
        QTest::newRow("emptied box") << "@/out" << "" << QStringList{"Save Done!"} << QByteArray();
    }
    void viewerSavesWhatTheBoxHolds()
    {
        QFETCH(QString, answer);
        QFETCH(QString, text);
        QFETCH(QStringList, notices);
        QFETCH(QByteArray, bytes);
        if (answer != "<cancel>")
            f->dialogs.fileNames << answer.replace("@", f->work.path());
        ViewCompiledForm viewer(f->main.get());
        viewer.txt = "A\r\nB\r\n";
        viewer.Form_Load();
        QCOMPARE(viewer.ui()->ProgText->toPlainText(), QString("A\nB\n"));
        viewer.ui()->ProgText->setPlainText(text);

        viewer.ui()->Save->click();

        const auto &save = f->dialogs.shown.first();
        QCOMPARE(save.kind, QString("save"));
        QCOMPARE(save.title, QString("Save Compiled Program As"));
        QCOMPARE(save.text, QString("Compiled Program Files (*.cpg)|*.cpg"));
        QCOMPARE(save.initialName, QString());
        QCOMPARE(f->dialogs.notices(), notices);
        QCOMPARE(readBytes(f->work.filePath("out")), bytes);
    }
};

QTEST_MAIN(ProgramCompileTest)
#include "tst_program_compile.moc"

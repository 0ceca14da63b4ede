// The command terminal on its real widgets, opened from the main window,
// against the scripted device and scripted dialogs.
#include "ModalRun.h"
#include "ScriptedDevice.h"
#include "ScriptedDialogs.h"
#include "common/AppExit.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"
#include "mainwindow/StatusPoll.h"
#include "tools/TerminalForm.h"
#include "ui_MainControlForm.h"
#include "ui_TerminalForm.h"

#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using namespace modTollan;

namespace {

void enter(TerminalForm *t, const QString &line)
{
    QTest::keyClicks(t->ui()->SendText, line);
    QTest::keyClick(t->ui()->SendText, Qt::Key_Return);
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

const QString kCommError = QStringLiteral("Communication Error! ");

}  // namespace

class TerminalTest : public QObject {
    Q_OBJECT
    std::unique_ptr<ScriptedDevice> dev;
    std::unique_ptr<ScriptedDialogs> dialogs;
    std::unique_ptr<MainControlForm> main;

    // Opens the terminal with the main window's button and runs `body` in it.
    void withTerminal(const std::function<void(TerminalForm *)> &body)
    {
        const bool ran = runWhileOpen<TerminalForm>([this] { main->ui()->ManualTerminal->click(); }, body);
        QVERIFY2(ran, "the terminal did not open");
    }

private slots:
    void init()
    {
        resetLinkState();
        dev = std::make_unique<ScriptedDevice>();
        dialogs = std::make_unique<ScriptedDialogs>();
        setEndProgramHandler([](int) {});
        main = std::make_unique<MainControlForm>();
        main->Timer1()->stop();  // ticks are called by hand
        dev->setReply("DN", "CFG07");
        dev->setReply("PX", "1234");
        dev->setReply("hspd 5 ", "?HSPD");
        dev->silentCommands << "V9";
    }
    void cleanup()
    {
        main.reset();
        dialogs.reset();
        dev.reset();
        setEndProgramHandler({});
    }

    void openingReadsTheIdFromTheNameReply_data()
    {
        QTest::addColumn<QString>("dn");  // null: the device does not answer
        QTest::addColumn<QString>("id");
        QTest::newRow("name and two digits") << "CFG07" << "07";
        QTest::newRow("at most five characters") << "CFG123456789" << "12345";
        QTest::newRow("three characters") << "CFG" << "";
        QTest::newRow("shorter") << "AB" << "";
        QTest::newRow("no answer") << QString() << "";
    }
    void openingReadsTheIdFromTheNameReply()
    {
        QFETCH(QString, dn);
        QFETCH(QString, id);
        if (dn.isNull())
            dev->silentCommands << "DN";
        else
            dev->setReply("DN", dn);
        withTerminal([&](TerminalForm *t) {
            QCOMPARE(dev->log, QStringList{"DN"});
            QCOMPARE(t->ui()->DeviceID->text(), id);
            QVERIFY(!t->ui()->DeviceID->isEnabled());
            QCOMPARE(t->windowTitle(), QString("Terminal"));
            QCOMPARE(t->parentWidget(), main.get());
            QVERIFY(t->isModal());
            QVERIFY(!main->PausePolling);
        });
    }

    void everyOpeningStartsCleanInTheSameWindow()
    {
        TerminalForm *first = nullptr;
        withTerminal([&](TerminalForm *t) {
            first = t;
            enter(t, "PX");
            QTest::keyClicks(t->ui()->SendText, "unfinished");
            QVERIFY(!t->ui()->Pad->toPlainText().isEmpty());
            // Escape is not a way out that would drop the transcript.
            QTest::keyClick(t, Qt::Key_Escape);
            QVERIFY(t->isVisible());
        });
        dev->setReply("DN", "CFG42");
        withTerminal([&](TerminalForm *t) {
            QCOMPARE(t, first);
            QCOMPARE(t->ui()->Pad->toPlainText(), QString());
            QCOMPARE(t->ui()->SendText->text(), QString());
            QCOMPARE(t->ui()->DeviceID->text(), QString("42"));
            QCOMPARE(dev->log, (QStringList{"DN", "PX", "DN"}));
            // Activating the window puts the caret on the command line.
            t->ui()->Close->setFocus();
            QEvent activate(QEvent::WindowActivate);
            QApplication::sendEvent(t, &activate);
            QCOMPARE(t->focusWidget(), t->ui()->SendText);
        });
    }

    void mainPollKeepsRunningBesideTheTerminal()
    {
        CommOpen = true;
        withTerminal([&](TerminalForm *t) {
            enter(t, "PX");
            main->statusPoll().Timer1_Timer();
            enter(t, "V9");
            // The poll's exchanges go out between the terminal's, and only
            // the terminal's own show in the transcript.
            QCOMPARE(dev->log, (QStringList{"DN", "PX", "PX", "SPC", "V9"}));
            QCOMPARE(main->ui()->Pos->text(), QString("1234"));
            QCOMPARE(t->ui()->Pad->toPlainText(), QString("PX\n<1234\nV9\n<NO REPLY!\n"));
        });
    }

    void eachLineAddsItselfAndTheReply_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QString>("transcript");
        const QString a64(64, u'A'), a65(65, u'A');
        QTest::newRow("reply") << QStringList{"PX"} << QStringList{"PX"} << "PX\n<1234\n";
        QTest::newRow("sent as typed") << QStringList{"hspd 5 "} << QStringList{"hspd 5 "} << "hspd 5 \n<?HSPD\n";
        QTest::newRow("no reply") << QStringList{"V9"} << QStringList{"V9"} << "V9\n<NO REPLY!\n";
        QTest::newRow("two lines") << QStringList{"V9", "PX"} << QStringList{"V9", "PX"}
                                   << "V9\n<NO REPLY!\nPX\n<1234\n";
        QTest::newRow("one full frame") << QStringList{a64} << QStringList{a64} << a64 + "\n<OK\n";
        QTest::newRow("longer than a frame") << QStringList{a65} << QStringList{} << a65 + "\n<NO REPLY!\n";
    }
    void eachLineAddsItselfAndTheReply()
    {
        QFETCH(QStringList, lines);
        QFETCH(QStringList, sent);
        QFETCH(QString, transcript);
        withTerminal([&](TerminalForm *t) {
            dev->clearLog();
            for (const QString &line : lines)
                enter(t, line);
            QCOMPARE(dev->log, sent);
            QCOMPARE(t->ui()->Pad->toPlainText(), transcript);
            QCOMPARE(t->ui()->SendText->text(), QString());
            QCOMPARE(t->PreviousCommand, lines.last());
            QVERIFY(dialogs->shown.isEmpty());
        });
    }

    void noReplySelectsTheLineBreakAfterIt()
    {
        withTerminal([&](TerminalForm *t) {
            QPlainTextEdit *pad = t->ui()->Pad;
            enter(t, "PX");
            enter(t, "V9");
            const QString text = pad->toPlainText();
            QTextCursor c = pad->textCursor();
            QCOMPARE(c.selectionStart(), text.size() - 1);
            QCOMPARE(c.selectionEnd(), text.size());
            QCOMPARE(c.selectedText(), QString(QChar::ParagraphSeparator));
            QVERIFY(text.left(c.selectionStart()).endsWith("\n<NO REPLY!"));
            QCOMPARE(t->focusWidget(), t->ui()->SendText);

            // A line with a reply leaves the caret and selection alone.
            const int anchor = c.anchor(), position = c.position();
            enter(t, "PX");
            QCOMPARE(pad->textCursor().anchor(), anchor);
            QCOMPARE(pad->textCursor().position(), position);
            c.setPosition(3);
            pad->setTextCursor(c);
            enter(t, "PX");
            QCOMPARE(pad->textCursor().position(), 3);
            QVERIFY(!pad->textCursor().hasSelection());
        });
    }

    void transcriptFollowsItsEnd()
    {
        TerminalForm t(main.get());
        t.Form_Load();
        t.ui()->DeviceID->setText("7");
        t.resize(420, 220);
        t.show();
        QScrollBar *bar = t.ui()->Pad->verticalScrollBar();
        for (int i = 0; i < 30; ++i)
            enter(&t, i % 2 ? "PX" : "V9");
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
        // Scrolled back by the operator, the next line brings the end back.
        bar->setValue(0);
        enter(&t, "PX");
        QCOMPARE(bar->value(), bar->maximum());
        bar->setValue(0);
        enter(&t, "V9");
        QCOMPARE(bar->value(), bar->maximum());
        t.Close_Click();
    }

    void deviceIdMustReadAsANumber_data()
    {
        QTest::addColumn<QString>("dn");  // null: the device does not answer
        QTest::addColumn<bool>("refused");
        QTest::newRow("two digits") << "CFG07" << false;
        QTest::newRow("negative") << "CFG-1" << false;
        QTest::newRow("blanks around") << "CFG 12 " << false;
        QTest::newRow("no answer") << QString() << true;
        QTest::newRow("letters") << "CFGAB" << true;
        QTest::newRow("above 16 bits") << "CFG99999" << true;
    }
    void deviceIdMustReadAsANumber()
    {
        QFETCH(QString, dn);
        QFETCH(bool, refused);
        if (dn.isNull())
            dev->silentCommands << "DN";
        else
            dev->setReply("DN", dn);
        withTerminal([&](TerminalForm *t) {
            dev->clearLog();
            enter(t, "PX");
            QCOMPARE(t->ui()->SendText->text(), QString());
            if (!refused) {
                QCOMPARE(dev->log, QStringList{"PX"});
                QVERIFY(dialogs->notices().isEmpty());
                return;
            }
            QCOMPARE(dev->log, QStringList{});
            QCOMPARE(t->ui()->Pad->toPlainText(), QString());
            const QStringList notices = dialogs->notices();
            QCOMPARE(notices.size(), 1);
            QVERIFY2(notices[0].startsWith(kCommError) && notices[0].size() > kCommError.size(), qPrintable(notices[0]));
            // The refused line is not lost.
            QTest::keyClick(t->ui()->SendText, Qt::Key_F1);
            QCOMPARE(t->ui()->SendText->text(), QString("PX"));
        });
    }

    // A line is sent exactly as typed or not at all, and a transcript is
    // saved as it stands or not at all.
    void nonLatin1IsRefusedNotChanged()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("session.txt");
        QVERIFY(writeFile(path, "old\r\n"));
        dialogs->fileNames << path;
        const QString line = QString::fromUtf8("V1=5\u2212" "2");
        withTerminal([&](TerminalForm *t) {
            dev->clearLog();
            t->ui()->SendText->setText(line);
            QTest::keyClick(t->ui()->SendText, Qt::Key_Return);
            QCOMPARE(dev->log, QStringList{});
            QCOMPARE(t->ui()->Pad->toPlainText(), QString());
            QCOMPARE(dialogs->notices(), QStringList{QString::fromUtf8(
                "Not sent: the command \"V1=5\u2212" "2\" holds the character \"\u2212\" (U+2212), which is not "
                "a Latin-1 character.")});
            QTest::keyClick(t->ui()->SendText, Qt::Key_F1);
            QCOMPARE(t->ui()->SendText->text(), line);

            dialogs->shown.clear();
            t->ui()->SendText->clear();
            enter(t, "PX");
            t->ui()->Pad->moveCursor(QTextCursor::End);
            t->ui()->Pad->insertPlainText(QString::fromUtf8("note: \u2713 done"));
            t->Command2_Click();
        });
        QCOMPARE(dialogs->notices(), QStringList{QString::fromUtf8(
            "Not saved: line 3 holds the character \"\u2713\" (U+2713), which is not a Latin-1 character.")});
        QCOMPARE(dialogs->shown.size(), 1);  // no name was asked for
        QCOMPARE(readAll(path), QByteArray("old\r\n"));
    }

    void f1RecallsThePreviousLineAcrossOpenings()
    {
        withTerminal([&](TerminalForm *t) { enter(t, "HSPD"); });
        withTerminal([&](TerminalForm *t) {
            QCOMPARE(t->ui()->SendText->text(), QString());
            QTest::keyClick(t->ui()->SendText, Qt::Key_F1);
            QCOMPARE(t->ui()->SendText->text(), QString("HSPD"));
            // Enter on an empty line sends nothing and forgets the last line.
            t->ui()->SendText->clear();
            dev->clearLog();
            QTest::keyClick(t->ui()->SendText, Qt::Key_Enter);
            QCOMPARE(dev->log, QStringList{});
            QCOMPARE(t->ui()->Pad->toPlainText(), QString());
            QTest::keyClicks(t->ui()->SendText, "xyz");
            QTest::keyClick(t->ui()->SendText, Qt::Key_F1);
            QCOMPARE(t->ui()->SendText->text(), QString());
        });
        withTerminal([&](TerminalForm *t) {
            QTest::keyClick(t->ui()->SendText, Qt::Key_F1);
            QCOMPARE(t->ui()->SendText->text(), QString());
        });
    }

    void upAndDownWalkTheLinesOfThisRun()
    {
        auto walk = [](TerminalForm *t, Qt::Key key) {
            QTest::keyClick(t->ui()->SendText, key);
            return t->ui()->SendText->text();
        };
        withTerminal([&](TerminalForm *t) {
            for (const char *line : {"A", "B", "B", "C"})
                enter(t, line);
            QTest::keyClicks(t->ui()->SendText, "dr");
            QStringList seen;
            for (Qt::Key k : {Qt::Key_Up, Qt::Key_Up, Qt::Key_Up, Qt::Key_Up, Qt::Key_Down, Qt::Key_Down,
                              Qt::Key_Down, Qt::Key_Down})
                seen << walk(t, k);
            // A repeated line is kept once; the walk stops at both ends and
            // gives back what was being typed.
            QCOMPARE(seen, (QStringList{"C", "B", "A", "A", "B", "C", "dr", "dr"}));
            // F1 keeps its own meaning while walking.
            walk(t, Qt::Key_Up);
            QCOMPARE(walk(t, Qt::Key_F1), QString("C"));
            // Entering a recalled line sends it and starts the walk afresh.
            walk(t, Qt::Key_Up);
            walk(t, Qt::Key_Up);
            dev->clearLog();
            QTest::keyClick(t->ui()->SendText, Qt::Key_Return);
            QCOMPARE(dev->log, QStringList{"B"});
            QCOMPARE(walk(t, Qt::Key_Up), QString("B"));
            QCOMPARE(walk(t, Qt::Key_Up), QString("C"));
        });
        withTerminal([&](TerminalForm *t) {
            QCOMPARE(walk(t, Qt::Key_Down), QString());
            QCOMPARE(walk(t, Qt::Key_Up), QString("B"));
            QCOMPARE(t->history(), (QStringList{"A", "B", "C", "B"}));
        });
    }

    void saveWritesTheTranscript_data()
    {
        QTest::addColumn<QStringList>("typed");  // lines entered; else `text` is put in the transcript
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("ends with a line break") << QStringList{} << "PX\n<1\n" << QByteArray() << QByteArray("PX\r\n<1\r\n\r\n");
        QTest::newRow("ends without") << QStringList{} << "PX\n<1" << QByteArray() << QByteArray("PX\r\n<1\r\n\r\n");
        QTest::newRow("operator's blank lines") << QStringList{} << "a\n\n" << QByteArray() << QByteArray("a\r\n\r\n\r\n");
        QTest::newRow("Latin-1") << QStringList{} << QString::fromUtf8("\xC2\xB0" "C\n") << QByteArray()
                                 << QByteArray("\xB0" "C\r\n\r\n");
        QTest::newRow("empty") << QStringList{} << "" << QByteArray() << QByteArray();
        QTest::newRow("typed lines") << QStringList{"PX", "V9"} << "" << QByteArray()
                                     << QByteArray("PX\r\n<1234\r\nV9\r\n<NO REPLY!\r\n\r\n");
        QTest::newRow("replaces a longer file") << QStringList{} << "new" << QByteArray(500, 'o')
                                                << QByteArray("new\r\n\r\n");
    }
    void saveWritesTheTranscript()
    {
        QFETCH(QStringList, typed);
        QFETCH(QString, text);
        QFETCH(QByteArray, existing);
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath("session.txt");
        if (!existing.isNull())
            QVERIFY(writeFile(path, existing));
        dialogs->fileNames << path;
        withTerminal([&](TerminalForm *t) {
            for (const QString &line : typed)
                enter(t, line);
            if (typed.isEmpty())
                t->ui()->Pad->setPlainText(text);
            t->ui()->Command2->click();
        });
        QCOMPARE(dialogs->shown.size(), 2);
        const ScriptedDialogs::Shown &save = dialogs->shown[0];
        QCOMPARE(save.kind, QString("save"));
        QCOMPARE(save.title, QString("Save Terminal Text As"));
        QCOMPARE(save.text, QString("Terminal Text Files (*.txt)|*.txt"));
        QCOMPARE(save.initialName, QString());
        QCOMPARE(dialogs->notices(), QStringList{"Save Done!"});
        QCOMPARE(readAll(path), bytes);
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"session.txt"});
    }

    void saveRefusals_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QString>("name");  // relative to a fresh folder; empty stays empty
        QTest::addColumn<QStringList>("notices");
        QTest::newRow("cancelled") << true << "" << QStringList{};
        QTest::newRow("no name") << false << "" << QStringList{"No Program Name!"};
        QTest::newRow("wildcard") << false << "a*.txt" << QStringList{};
    }
    void saveRefusals()
    {
        QFETCH(bool, cancel);
        QFETCH(QString, name);
        QFETCH(QStringList, notices);
        QTemporaryDir dir;
        dialogs->fileNames << (cancel ? std::nullopt : std::optional<QString>(name.isEmpty() ? name : dir.filePath(name)));
        withTerminal([&](TerminalForm *t) {
            enter(t, "PX");
            t->Command2_Click();
        });
        QCOMPARE(dialogs->notices(), notices);
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{});
    }

    // Real write failures, even for root: a file size limit hit mid-write, a
    // folder that is a file, a target that is a folder.
    void failedSaveSaysSoAndKeepsWhatWasThere_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("file size limit") << "limit";
        QTest::newRow("parent is a file") << "parent";
        QTest::newRow("target is a folder") << "folder";
    }
    void failedSaveSaysSoAndKeepsWhatWasThere()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QByteArray old = "PX\r\n<1\r\n\r\n";
        QString target;
        QString kept;  // a file whose bytes must survive
        if (kind == "limit") {
            target = kept = dir.filePath("old.txt");
        } else if (kind == "parent") {
            kept = dir.filePath("plain");
            target = kept + "/new.txt";
        } else {
            QVERIFY(QDir(dir.path()).mkdir("folder"));
            target = dir.filePath("folder");
            kept = target + "/inside.txt";
        }
        QVERIFY(writeFile(kept, old));
        const QStringList before = QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
        dialogs->fileNames << target;

        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        withTerminal([&](TerminalForm *t) {
            for (int i = 0; i < 20; ++i)
                enter(t, "PX");  // far more than the limit below
            if (kind == "limit") {
                rlimit small = saved;
                small.rlim_cur = 16;
                setrlimit(RLIMIT_FSIZE, &small);
            }
            t->Command2_Click();
            setrlimit(RLIMIT_FSIZE, &saved);
        });
        std::signal(SIGXFSZ, oldHandler);

        const QStringList notices = dialogs->notices();
        QCOMPARE(notices.size(), 1);
        QVERIFY2(notices[0].startsWith("Save Failed! ") && notices[0].size() > 13, qPrintable(notices[0]));
        QCOMPARE(readAll(kept), old);
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), before);
    }
};

QTEST_MAIN(TerminalTest)
#include "tst_terminal.moc"

// The program editor: New, Open and Save through scripted dialogs, line
// selection, the gutter with its failing-line mark, and the colouring.
#include "FifoWriterLater.h"
#include "ProgramFixture.h"
#include "program/CompileControl.h"
#include "common/TextFile.h"
#include "program/ProgramHighlighter.h"
#include "zenta/lang/program.hpp"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QTextBlock>
#include <QtTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString prgFilter = QStringLiteral("ZENTA Program Files (*.prg)|*.prg");

// The role the highlighter gave the characters [from, from + length) of a
// line, or "mixed"/"plain".
QString roleAt(ProgramEdit *edit, int line, int from, int length)
{
    const QTextBlock block = edit->document()->findBlockByNumber(line);
    QString found;
    for (int i = from; i < from + length; ++i) {
        QString here = QStringLiteral("plain");
        for (const auto &r : block.layout()->formats())
            if (i >= r.start && i < r.start + r.length) {
                using R = ProgramHighlighter::Role;
                for (auto [role, name] : {std::pair{R::Keyword, "keyword"}, {R::Command, "command"},
                                          {R::Variable, "variable"}, {R::Number, "number"},
                                          {R::Label, "label"}, {R::Comment, "comment"}})
                    if (r.format == ProgramHighlighter::format(role))
                        here = QString::fromLatin1(name);
            }
        if (!found.isEmpty() && found != here)
            return QStringLiteral("mixed");
        found = here;
    }
    return found;
}

}  // namespace

class ProgramEditorTest : public QObject {
    Q_OBJECT
    std::unique_ptr<ProgramFixture> f;

private slots:
    void init() { f = std::make_unique<ProgramFixture>(); }
    void cleanup() { f.reset(); }

    void newEmptiesTheEditorWithoutAsking()
    {
        f->editor()->setPlainText("HSPD=100\nEND\n");
        f->ui().NewProg->click();
        QCOMPARE(f->editor()->toPlainText(), QString());
        QVERIFY(f->dialogs.shown.isEmpty());
    }

    void openDialogAnswers_data()
    {
        QTest::addColumn<QString>("answer");  // "<cancel>" or a name; "@" is the work folder
        QTest::addColumn<QString>("notice");  // "@" is the work folder
        QTest::newRow("cancel") << "<cancel>" << "";
        QTest::newRow("empty name") << "" << "";
        QTest::newRow("pattern left in the field") << "*.prg" << "";
        QTest::newRow("pattern in a folder") << "@/*.prg" << "";
        QTest::newRow("missing file") << "@/nothere.prg" << "File @/nothere.prg does not exist!";
        QTest::newRow("a folder") << "@/sub" << "File @/sub does not exist!";
    }
    void openDialogAnswers()
    {
        QFETCH(QString, answer);
        QFETCH(QString, notice);
        const QString dir = f->work.path();
        QDir(dir).mkdir("sub");
        answer.replace("@", dir);
        notice.replace("@", dir);
        if (answer != "<cancel>")
            f->dialogs.fileNames << answer;
        const QString before = "V1=1\nEND\n";
        f->editor()->setPlainText(before);

        f->ui().OpenProg->click();

        QCOMPARE(f->dialogs.shown.size(), notice.isEmpty() ? 1 : 2);
        const auto &open = f->dialogs.shown.first();
        QCOMPARE(open.kind, QString("open"));
        QCOMPARE(open.title, QString("Open ZENTA Program"));
        QCOMPARE(open.text, prgFilter);
        QCOMPARE(open.initialName, QString("*.prg"));
        QCOMPARE(f->dialogs.notices(), notice.isEmpty() ? QStringList{} : QStringList{notice});
        QCOMPARE(f->editor()->toPlainText(), before);
    }

    void openGivesEveryLineALineEnd_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("text");
        QTest::newRow("crlf") << QByteArray("a\r\nb\r\n") << "a\nb\n";
        QTest::newRow("last line without end") << QByteArray("a\r\nb") << "a\nb\n";
        QTest::newRow("lone lf") << QByteArray("a\nb\n") << "a\nb\n";
        QTest::newRow("lone cr") << QByteArray("a\rb") << "a\nb\n";
        QTest::newRow("blank lines kept") << QByteArray("\r\n\r\nX10\r\n") << "\n\nX10\n";
        QTest::newRow("empty file") << QByteArray() << "";
        QTest::newRow("latin1") << QByteArray("; \xbd step\r\n") << QString::fromLatin1("; \xbd step\n");
        const QByteArray line = QByteArray(99, 'x') + "\r\n";
        QTest::newRow("longer than 32767") << line.repeated(400) << (QString(99, u'x') + u'\n').repeated(400);
    }
    void openGivesEveryLineALineEnd()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, text);
        const QString path = f->work.filePath("p.prg");
        writeBytes(path, file);
        f->editor()->setPlainText("old");
        f->dialogs.fileNames << path;
        f->files().OpenProg_Click();
        QCOMPARE(f->editor()->toPlainText(), text);
        QVERIFY(f->dialogs.notices().isEmpty());
    }

    void failedReadLeavesTheEditorAsItWas_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("socket") << "socket";  // exists, but cannot be opened as a file, even by root
        QTest::newRow("fifo") << "fifo";      // would wait for a writer
    }
    void failedReadLeavesTheEditorAsItWas()
    {
        QFETCH(QString, kind);
        const QString path = f->work.filePath(kind + ".prg");
        if (kind == "socket") {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            QVERIFY(fd >= 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            qstrncpy(addr.sun_path, QFile::encodeName(path).constData(), sizeof addr.sun_path);
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
            ::close(fd);
        } else {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }
        QVERIFY(QFileInfo(path).exists());
        f->editor()->setPlainText("KEEP\n");
        f->dialogs.fileNames << path;
        FifoWriterLater rescue(kind == "fifo" ? path : QString());  // ends a read that waits, so the test fails instead of hanging
        f->files().OpenProg_Click();
        rescue.cancel();
        QCOMPARE(f->editor()->toPlainText(), QString("KEEP\n"));
        QVERIFY(f->dialogs.notices().isEmpty());
    }

    void saveDialogAnswers_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("notices");
        QTest::addColumn<QString>("created");  // file expected afterwards, "" for none
        QTest::newRow("cancel") << "<cancel>" << QStringList{} << "";
        QTest::newRow("empty name") << "" << QStringList{"No Program Name!"} << "";
        QTest::newRow("name with a star") << "@/*.prg" << QStringList{} << "";
        QTest::newRow("no extension is added") << "@/plain" << QStringList{"Save Done!"} << "plain";
    }
    void saveDialogAnswers()
    {
        QFETCH(QString, answer);
        QFETCH(QStringList, notices);
        QFETCH(QString, created);
        answer.replace("@", f->work.path());
        if (answer != "<cancel>")
            f->dialogs.fileNames << answer;
        f->editor()->setPlainText("END");

        f->ui().SaveProg->click();

        const auto &save = f->dialogs.shown.first();
        QCOMPARE(save.kind, QString("save"));
        QCOMPARE(save.title, QString("Save ZENTA Program As"));
        QCOMPARE(save.text, prgFilter);
        QCOMPARE(save.initialName, QString());
        QCOMPARE(f->dialogs.notices(), notices);
        const QStringList files = QDir(f->work.path()).entryList(QDir::Files);
        QCOMPARE(files, created.isEmpty() ? QStringList{} : QStringList{created});
        if (!created.isEmpty())
            QCOMPARE(readBytes(f->work.filePath(created)), QByteArray("END\r\n"));
    }

    void saveWritesEachLineOnceWithCrLf_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("no final line end") << "a\nb" << QByteArray("a\r\nb\r\n");
        QTest::newRow("final line end") << "a\nb\n" << QByteArray("a\r\nb\r\n");
        QTest::newRow("blank lines") << "\n\nc\n" << QByteArray("\r\n\r\nc\r\n");
        QTest::newRow("empty editor, empty file") << "" << QByteArray();
        QTest::newRow("latin1") << QString::fromLatin1("\xe9\n") << QByteArray("\xe9\r\n");
        QTest::newRow("no-break space stays one") << QString::fromLatin1("V1=1\xa0;x\n") << QByteArray("V1=1\xa0;x\r\n");
        QTest::newRow("longer than 32767") << QString(40000, u'y') << QByteArray(40000, 'y') + "\r\n";
    }
    void saveWritesEachLineOnceWithCrLf()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        const QString path = f->work.filePath("out.prg");
        writeBytes(path, "an older and longer program\r\n");
        f->editor()->setPlainText(text);
        f->dialogs.fileNames << path;
        f->files().SaveProg_Click();
        QCOMPARE(readBytes(path), bytes);
        QCOMPARE(f->dialogs.notices(), QStringList{"Save Done!"});
    }

    void failedSaveKeepsTheOldFile()
    {
        // The new file is written beside the old one first; with a name this
        // long the file beside it cannot be created, root or not.
        const QString path = f->work.filePath(QString(250, u'p'));
        writeBytes(path, "OLD\r\n");
        f->editor()->setPlainText("NEW");
        f->dialogs.fileNames << path;
        f->files().SaveProg_Click();
        QCOMPARE(readBytes(path), QByteArray("OLD\r\n"));
        const QStringList notices = f->dialogs.notices();
        QCOMPARE(notices.size(), 1);
        QVERIFY2(notices[0].startsWith("Save Failed! ") && notices[0].contains(path), qPrintable(notices[0]));
        QCOMPARE(QDir(f->work.path()).entryList(QDir::Files).size(), 1);
    }

    // Nothing that leaves the editor is changed on the way: a character
    // Latin-1 cannot hold stops the save or the compile before any file is
    // touched or any name asked for.
    void nonLatin1TextIsNeitherSavedNorCompiled_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("notice");
        const QString where = QString::fromUtf8("line 2 holds the character \"\u20ac\" (U+20AC), which is not a Latin-1 character.");
        QTest::newRow("save") << "save" << "Not saved: " + where;
        QTest::newRow("compile") << "compile" << "Not compiled: " + where;
    }
    void nonLatin1TextIsNeitherSavedNorCompiled()
    {
        QFETCH(QString, action);
        QFETCH(QString, notice);
        const QString path = f->work.filePath("out.prg");
        writeBytes(path, "OLD\r\n");
        f->dialogs.fileNames << path;
        f->editor()->setPlainText(QString::fromUtf8("X1\nV1=2 ; 2 \u20ac\nX2\n"));
        if (action == "save")
            f->files().SaveProg_Click();
        else
            f->compile().CompileAll_Click();
        QCOMPARE(f->dialogs.notices(), QStringList{notice});
        QCOMPARE(f->dialogs.shown.size(), 1);
        QCOMPARE(readBytes(path), QByteArray("OLD\r\n"));
        QVERIFY(QDir(f->exe.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }

    // The compiler numbers the lines of the written file; the editor selects
    // and marks its own lines. The two must be the same lines.
    void everyLineBreakIsAnOrdinaryOne_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Shift+Return") << "return";
        QTest::newRow("Shift+Enter on the keypad") << "enter";
        QTest::newRow("pasted line separator") << "line separator";
        QTest::newRow("pasted paragraph separator") << "paragraph separator";
    }
    void everyLineBreakIsAnOrdinaryOne()
    {
        QFETCH(QString, how);
        ProgramEdit *e = f->editor();
        f->main->show();
        e->setFocus();
        QTest::keyClicks(e, "X1");
        if (how == "return" || how == "enter") {
            const auto key = how == "return" ? Qt::Key_Return : Qt::Key_Enter;
            const auto mods = how == "return" ? Qt::ShiftModifier : Qt::ShiftModifier | Qt::KeypadModifier;
            QTest::keyClick(e, key, mods);
            QTest::keyClicks(e, "FOO");
            QTest::keyClick(e, key, mods);
            QTest::keyClicks(e, "X3");
        } else {
            const QChar soft = how == "line separator" ? QChar::LineSeparator : QChar::ParagraphSeparator;
            auto *data = new QMimeData;
            data->setText(QString(soft) + "FOO" + soft + "X3");
            QApplication::clipboard()->setMimeData(data);
            e->paste();
        }

        QCOMPARE(e->blockCount(), 3);
        const QString raw = e->document()->toRawText();
        QVERIFY(!raw.contains(QChar::LineSeparator));
        QCOMPARE(TextFile::splitLines(TextFile::editorTextToBytes(e->toPlainText()).value()),
                 (QStringList{"X1", "FOO", "X3"}));
        f->main->Highlight1(2, e);
        QCOMPARE(e->textCursor().selectedText(), QString("FOO"));
    }

    void examplesSurviveOpenAndSaveByteForByte()
    {
        const QDir examples(qEnvironmentVariable("ZENTA_SOURCE_DIR") + "/examples");
        const QStringList names = examples.entryList({"*.prg"}, QDir::Files);
        QVERIFY(!names.isEmpty());
        for (const QString &name : names) {
            const QString copy = f->work.filePath(name);
            f->dialogs.fileNames << examples.filePath(name) << copy;
            f->files().OpenProg_Click();
            f->files().SaveProg_Click();
            QCOMPARE(readBytes(copy), readBytes(examples.filePath(name)));
        }
    }

    void highlightSelectsExactlyTheLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("start");  // -1: nothing may change
        QTest::addColumn<QString>("selected");
        const QString t = "abc\ndef\nghij";
        QTest::newRow("zero") << t << 0 << -1 << "";
        QTest::newRow("negative") << t << -3 << -1 << "";
        QTest::newRow("beyond the end") << t << 4 << -1 << "";
        QTest::newRow("first line") << t << 1 << 0 << "abc";
        QTest::newRow("later line") << t << 2 << 4 << "def";
        QTest::newRow("last line, no line end") << t << 3 << 8 << "ghij";
        QTest::newRow("empty line after the final end") << "abc\n" << 2 << 4 << "";
        QTest::newRow("blank line") << "a\n\nb" << 2 << 2 << "";
    }
    void highlightSelectsExactlyTheLine()
    {
        QFETCH(QString, text);
        QFETCH(int, line);
        QFETCH(int, start);
        QFETCH(QString, selected);
        ProgramEdit *edit = f->editor();
        edit->setPlainText(text);
        QTextCursor before(edit->document());
        before.setPosition(1);
        edit->setTextCursor(before);
        f->ui().SetPosition->setFocus();

        f->main->Highlight1(int16_t(line), edit);

        const QTextCursor after = edit->textCursor();
        if (start < 0) {
            QCOMPARE(after.anchor(), before.anchor());
            QCOMPARE(after.position(), before.position());
            QCOMPARE(f->main->focusWidget(), f->ui().SetPosition);
            return;
        }
        QCOMPARE(after.selectionStart(), start);
        QCOMPARE(after.selectedText(), selected);
        QCOMPARE(f->main->focusWidget(), edit);
    }

    void gutterMarksTheFailingLineUntilTheTextChanges()
    {
        ProgramEdit edit;
        edit.resize(300, 200);
        edit.setPlainText("HSPD=100\nBOGUS\nEND");
        edit.show();
        QVERIFY(edit.gutter()->width() > 0);
        QCOMPARE(edit.viewport()->x(), edit.gutter()->x() + edit.gutter()->width());

        edit.markFailingLine(0);
        QCOMPARE(edit.failingLine(), 0);
        edit.markFailingLine(4);
        QCOMPARE(edit.failingLine(), 0);
        edit.markFailingLine(2);
        QCOMPARE(edit.failingLine(), 2);

        // The mark is painted on line 2's row and not on line 1's.
        auto rowColour = [&edit](int line) {
            const QTextBlock b = edit.document()->findBlockByNumber(line - 1);
            const int y = edit.cursorRect(QTextCursor(b)).center().y();
            return edit.gutter()->grab().toImage().pixelColor(2, y);
        };
        QCOMPARE(rowColour(2), QColor(0xd0, 0x20, 0x20));
        QVERIFY(rowColour(1) != QColor(0xd0, 0x20, 0x20));

        // Selecting, colouring again and moving the cursor are no edits.
        CompileControl::Highlight1(2, &edit);
        edit.highlighter()->rehighlight();
        edit.moveCursor(QTextCursor::End);
        QCOMPARE(edit.failingLine(), 2);

        edit.textCursor().insertText("X");
        QCOMPARE(edit.failingLine(), 0);
        QVERIFY(rowColour(2) != QColor(0xd0, 0x20, 0x20));
    }

    void gutterWidensForMoreDigits()
    {
        ProgramEdit edit;
        edit.setPlainText(QString("X1\n").repeated(50));
        const int narrow = edit.gutterWidth();
        edit.setPlainText(QString("X1\n").repeated(5000));
        QVERIFY(edit.gutterWidth() > narrow);
        edit.resize(300, 200);
        edit.show();
        QCOMPARE(edit.gutter()->width(), edit.gutterWidth());
        QCOMPARE(edit.viewport()->x(), edit.gutter()->x() + edit.gutter()->width());
    }

    void colouringFollowsTheLanguage_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("role");
        QTest::newRow("keyword") << "WHILE V1<10" << 0 << 5 << "keyword";
        QTest::newRow("keyword, lower case") << "endwhile" << 0 << 8 << "keyword";
        QTest::newRow("variable") << "WHILE V1<10" << 6 << 2 << "variable";
        QTest::newRow("number") << "WHILE V1<10" << 9 << 2 << "number";
        QTest::newRow("setting") << "HSPD=2000" << 0 << 4 << "command";
        QTest::newRow("setting value") << "HSPD=2000" << 5 << 4 << "number";
        QTest::newRow("move in one word") << "X4000" << 0 << 1 << "command";
        QTest::newRow("move target") << "X4000" << 1 << 4 << "number";
        QTest::newRow("jog") << "  J+" << 2 << 2 << "command";
        QTest::newRow("status in a condition") << "IF DI1=0" << 3 << 3 << "command";
        QTest::newRow("label") << "loop:" << 0 << 5 << "label";
        QTest::newRow("jump target") << "GOSUB settle" << 6 << 6 << "label";
        QTest::newRow("comment") << "X0 ; back home" << 3 << 11 << "comment";
        QTest::newRow("command word in a comment") << ";HSPD" << 1 << 4 << "comment";
        QTest::newRow("unknown word") << "FOO" << 0 << 3 << "plain";
        QTest::newRow("no variable 0 spelt V") << "VX" << 0 << 2 << "plain";
        QTest::newRow("operator") << "V1=V1+1" << 5 << 1 << "plain";
    }
    void colouringFollowsTheLanguage()
    {
        QFETCH(QString, line);
        QFETCH(int, from);
        QFETCH(int, length);
        QFETCH(QString, role);
        f->editor()->setPlainText(line);
        QCOMPARE(roleAt(f->editor(), 0, from, length), role);
    }

    void everyDeviceWordOfTheLanguageIsColouredAsACommand()
    {
        using namespace zenta::lang;
        QStringList missing;
        for (const auto *names : {&actionNames(), &settingNames(), &statusNames()})
            for (std::string_view n : *names) {
                const QString word = QString::fromLatin1(n.data(), qsizetype(n.size()));
                f->editor()->setPlainText(word + "=1");
                if (roleAt(f->editor(), 0, 0, int(word.size())) != QLatin1String("command"))
                    missing << word;
            }
        QCOMPARE(missing, QStringList{});
    }
};

QTEST_MAIN(ProgramEditorTest)
#include "tst_program_editor.moc"

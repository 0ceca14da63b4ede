// The check while typing on the real main window: marks and the label for a
// table of broken programs, an error fixed by typing, and the tooltip.
#include "ProgramFixture.h"
#include "program/ProgramCheck.h"

#include <QHelpEvent>
#include <QLabel>
#include <QTextBlock>
#include <QToolTip>
#include <QtTest>

namespace {

QLabel *checkLabel(MainControlForm &main)
{
    return main.findChild<QLabel *>(QStringLiteral("ProgramCheck"));
}

// The lines the editor underlines with a wave, in order.
QList<int> underlinedLines(ProgramEdit *editor)
{
    QList<int> lines;
    for (const QTextEdit::ExtraSelection &s : editor->extraSelections())
        if (s.format.underlineStyle() == QTextCharFormat::WaveUnderline)
            lines << s.cursor.block().blockNumber() + 1;
    std::sort(lines.begin(), lines.end());
    return lines;
}

QList<int> sortedKeys(const QHash<int, QString> &errors)
{
    QList<int> keys = errors.keys();
    std::sort(keys.begin(), keys.end());
    return keys;
}

}  // namespace

class ProgramCheckTest : public QObject {
    Q_OBJECT
private slots:
    void marksEveryFailingLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QList<int>>("lines");

        QTest::newRow("clean") << "HSPD=2000\nX1000\nWAITX\n" << "No errors" << QList<int>{};
        QTest::newRow("empty") << "" << "No errors" << QList<int>{};
        QTest::newRow("one error") << "X1\n\nFOO=3\n" << "Line 3: unknown command FOO" << QList<int>{3};
        QTest::newRow("several errors")
            << "X1\nV51=1\nX2\nGOTO nowhere\nV1=V2/0\n"
            << "Line 2: there is no variable V51; variables are V1 to V50 (and 2 more)" << QList<int>{2, 4, 5};
        QTest::newRow("a broken WHILE still closes")
            << "WHILE V1\n  X1\nENDWHILE\nENDIF\n" << "Line 1: expected a comparison (= != < > <= >=), found the end of the line (and 1 more)"
            << QList<int>{1, 4};
        QTest::newRow("a block left open") << "X1\nIF V1=1\nX2\n" << "Line 2: IF without ENDIF" << QList<int>{2};
        QTest::newRow("not Latin-1, before the compiler's errors")
            << QString("FOO\nX1 ; \u20ac\n")
            << QString("Line 2: the character \"\u20ac\" (U+20AC), which is not a Latin-1 character (and 1 more)")
            << QList<int>{1, 2};
    }

    void marksEveryFailingLine()
    {
        QFETCH(QString, text);
        QFETCH(QString, label);
        QFETCH(QList<int>, lines);
        ProgramFixture f;
        QLabel *shown = checkLabel(*f.main);
        QVERIFY(shown);
        QCOMPARE(shown->text(), QString("No errors"));
        f.editor()->setPlainText("FOO\n");
        QTRY_COMPARE(shown->text(), QString("Line 1: unknown command FOO"));
        f.editor()->setPlainText(text);
        // The check waits for typing to pause: nothing has changed yet.
        QCOMPARE(shown->text(), QString("Line 1: unknown command FOO"));
        QTRY_COMPARE(shown->text(), label);
        QCOMPARE(sortedKeys(f.editor()->checkErrors()), lines);
        QCOMPARE(underlinedLines(f.editor()), lines);
        for (const ProgramCheck::Error &e : f.main->program().check->last().errors)
            QCOMPARE(f.editor()->checkMessage(e.line), e.message);
        // The compile step's own mark is not touched by the check.
        QCOMPARE(f.editor()->failingLine(), 0);
    }

    void anErrorFixedWhileTyping()
    {
        ProgramFixture f;
        f.main->show();
        QLabel *shown = checkLabel(*f.main);
        f.editor()->setPlainText("X1\nHSPD\nX2\n");
        QTRY_COMPARE(shown->text(), QString("Line 2: HSPD needs =value here, as in HSPD=1; to read it, assign it, as in V1=HSPD"));
        QCOMPARE(underlinedLines(f.editor()), QList<int>{2});
        QTextCursor at(f.editor()->document()->findBlockByNumber(1));
        at.movePosition(QTextCursor::EndOfBlock);
        f.editor()->setTextCursor(at);
        f.editor()->setFocus();
        QTest::keyClicks(f.editor(), "=300");
        QTRY_COMPARE(shown->text(), QString("No errors"));
        QCOMPARE(underlinedLines(f.editor()), QList<int>{});
        QVERIFY(f.editor()->checkErrors().isEmpty());
        // And broken again by typing on another line.
        at = QTextCursor(f.editor()->document()->findBlockByNumber(2));
        at.movePosition(QTextCursor::EndOfBlock);
        f.editor()->setTextCursor(at);
        QTest::keyClicks(f.editor(), "x");
        QTRY_COMPARE(shown->text(), QString("Line 3: unknown command X2X"));
        QCOMPARE(underlinedLines(f.editor()), QList<int>{3});
    }

    void hoveringShowsTheMessage()
    {
        ProgramFixture f;
        f.main->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.main.get()));
        f.editor()->setPlainText("X1\nFOO=3\n");
        f.main->program().check->checkNow();
        const QRect line2 = f.editor()->cursorRect(QTextCursor(f.editor()->document()->findBlockByNumber(1)));
        for (QWidget *target : {f.editor()->viewport(), f.editor()->gutter()}) {
            const QPoint at(target == f.editor()->gutter() ? 5 : line2.x() + 2, line2.center().y());
            QHelpEvent help(QEvent::ToolTip, at, target->mapToGlobal(at));
            QApplication::sendEvent(target, &help);
            QTRY_COMPARE(QToolTip::text(), QString("unknown command FOO"));
            QToolTip::hideText();
            QTRY_VERIFY(!QToolTip::isVisible());
        }
    }
};

QTEST_MAIN(ProgramCheckTest)
#include "tst_program_check.moc"

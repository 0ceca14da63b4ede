// Number conversion and text-file rules shared by every window.
#include "common/NumberText.h"
#include "common/TextFile.h"

#include <QTemporaryDir>
#include <QtTest>

class CommonTest : public QObject {
    Q_OBJECT
private slots:
    void numbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("value");
        QTest::newRow("plain") << "1000" << true << 1000;
        QTest::newRow("blanks") << "  42 " << true << 42;
        QTest::newRow("sign") << "-5" << true << -5;
        QTest::newRow("plus") << "+7" << true << 7;
        QTest::newRow("half down to even") << "1000.5" << true << 1000;
        QTest::newRow("half up to even") << "1001.5" << true << 1002;
        QTest::newRow("negative half") << "-2.5" << true << -2;
        QTest::newRow("exponent") << "1e3" << true << 1000;
        QTest::newRow("max") << "2147483647" << true << 2147483647;
        QTest::newRow("min") << "-2147483648" << true << int(-2147483648LL);
        QTest::newRow("above max") << "2147483648" << false << 0;
        QTest::newRow("rounds above max") << "2147483647.5" << false << 0;
        QTest::newRow("empty") << "" << false << 0;
        QTest::newRow("word") << "abc" << false << 0;
        QTest::newRow("trailing junk") << "12abc" << false << 0;
        QTest::newRow("infinity") << "inf" << false << 0;
        QTest::newRow("not a number") << "nan" << false << 0;
        QTest::newRow("group separator") << "1,000" << false << 0;
    }
    void numbers()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(int, value);
        const auto v = parseInt32(text);
        QCOMPARE(v.has_value(), ok);
        if (ok)
            QCOMPARE(*v, value);
    }

    void sixteenBitRangeAndEmptyReplies()
    {
        QCOMPARE(parseInt16("32767"), std::optional<int16_t>(32767));
        QCOMPARE(parseInt16("32768"), std::nullopt);
        QCOMPARE(parseInt16("-32768"), std::optional<int16_t>(-32768));
        QCOMPARE(replyToInt32(""), std::optional<int32_t>(0));
        QCOMPARE(replyToInt16(""), std::optional<int16_t>(0));
        QCOMPARE(replyToInt32(" "), std::nullopt);
    }

    void lineSplitting_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("empty") << QByteArray() << QStringList{};
        QTest::newRow("crlf") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"};
        QTest::newRow("no final end") << QByteArray("a\r\nb") << QStringList{"a", "b"};
        QTest::newRow("lone cr") << QByteArray("a\rb\r") << QStringList{"a", "b"};
        QTest::newRow("lone lf") << QByteArray("a\nb") << QStringList{"a", "b"};
        QTest::newRow("blank lines") << QByteArray("\r\n\r\nx") << QStringList{"", "", "x"};
        QTest::newRow("lf cr is two ends") << QByteArray("a\n\rb") << QStringList{"a", "", "b"};
        QTest::newRow("latin1") << QByteArray("\xe9t\xe9") << QStringList{QString::fromLatin1("\xe9t\xe9")};
    }
    void lineSplitting()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QCOMPARE(TextFile::splitLines(bytes), lines);
    }

    void editorTextIsWrittenLineByLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << "" << QByteArray();
        QTest::newRow("one line") << "abc" << QByteArray("abc\r\n");
        QTest::newRow("crlf no end") << "a\r\nb" << QByteArray("a\r\nb\r\n");
        QTest::newRow("crlf with end") << "a\r\nb\r\n" << QByteArray("a\r\nb\r\n");
        QTest::newRow("editor lf") << "a\nb\n" << QByteArray("a\r\nb\r\n");
        QTest::newRow("lone lf at end") << "a\r\nb\nc" << QByteArray("a\r\nb\r\nc\r\n");
        QTest::newRow("blank line kept") << "a\n\nb" << QByteArray("a\r\n\r\nb\r\n");
    }
    void editorTextIsWrittenLineByLine()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(TextFile::editorTextToBytes(text), std::optional<QByteArray>(bytes));
    }

    void longTextsSurvive()
    {
        QString text;
        for (int i = 0; i < 10000; ++i)
            text += QStringLiteral("X%1\n").arg(i);
        QVERIFY(text.size() > 32767);
        const QByteArray bytes = TextFile::editorTextToBytes(text).value();
        QCOMPARE(TextFile::splitLines(bytes).size(), 10000);
        QVERIFY(bytes.endsWith("X9999\r\n"));
    }

    // Text with a character Latin-1 has no code for is refused, never
    // changed; the refusal names the line and the character.
    void nonLatin1TextIsFoundWithItsLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("line");  // 0: the text is Latin-1
        QTest::addColumn<uint>("code");
        QTest::newRow("all of Latin-1") << QString::fromLatin1("\x01 ~\x7f\xa0\xe9\xff\n") << 0 << 0u;
        QTest::newRow("euro in line 3") << QString::fromUtf8("a\nb\nc\u20ac") << 3 << 0x20acu;
        QTest::newRow("just above Latin-1") << QString::fromUtf8("\u0100") << 1 << 0x100u;
        QTest::newRow("CR, CR LF and LF ends") << QString::fromUtf8("a\rb\r\nc\nd\u2013") << 4 << 0x2013u;
        QTest::newRow("first of two") << QString::fromUtf8("x\n\u00e9\u0416\u20ac") << 2 << 0x416u;
        QTest::newRow("outside the BMP") << QString::fromUtf8("X1 ; \U0001F600") << 1 << 0x1f600u;
        QTest::newRow("soft line break") << QString("a") + QChar(QChar::LineSeparator) + "b" << 1 << 0x2028u;
        QTest::newRow("lone surrogate") << QString("ok\n") + QChar(0xd800) << 2 << 0xd800u;
    }
    void nonLatin1TextIsFoundWithItsLine()
    {
        QFETCH(QString, text);
        QFETCH(int, line);
        QFETCH(uint, code);
        const auto bad = TextFile::findNonLatin1(text);
        QCOMPARE(bad.has_value(), line > 0);
        QCOMPARE(TextFile::editorTextToBytes(text).has_value(), line == 0);
        QCOMPARE(TextFile::toLatin1(text).has_value(), line == 0);
        QCOMPARE(TextFile::commandRefusal(text).isEmpty(), line == 0);
        if (bad) {
            QCOMPARE(bad->line, line);
            QCOMPARE(uint(bad->code), code);
        }
    }

    void refusalsNameTheLineAndTheCharacter()
    {
        QCOMPARE(TextFile::findNonLatin1(QString::fromUtf8("X1\nV1=2\u20ac"))->inLine(),
                 QString::fromUtf8("line 2 holds the character \"\u20ac\" (U+20AC), which is not a Latin-1 character"));
        // A character that would break or hide in a message is named by its code.
        QCOMPARE(TextFile::findNonLatin1(QString("a") + QChar(QChar::LineSeparator))->inLine(),
                 QString("line 1 holds the character U+2028, which is not a Latin-1 character"));
        QCOMPARE(TextFile::commandRefusal(QString::fromUtf8("HSPD=1\u00a0000\u2009")),
                 QString::fromUtf8("Not sent: the command \"HSPD=1\u00a0000\u2009\" holds the character U+2009, "
                                   "which is not a Latin-1 character."));
    }

    void replacingWrites()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("p.prg");
        QVERIFY(TextFile::writeReplacing(path, "old\r\n"));
        QVERIFY(TextFile::writeReplacing(path, "new\r\n"));
        QCOMPARE(TextFile::readLines(path), std::optional<QStringList>(QStringList{"new"}));
        QString error;
        QVERIFY(!TextFile::writeReplacing(dir.filePath("missing/p.prg"), "x", &error));
        QVERIFY2(error.contains(dir.filePath("missing/p.prg")), qPrintable(error));
        QCOMPARE(TextFile::readLines(dir.filePath("missing.prg")), std::nullopt);
        // A folder in the way: the write fails and the folder is untouched.
        QVERIFY(QDir(dir.path()).mkdir("taken"));
        QVERIFY(!TextFile::writeReplacing(dir.filePath("taken"), "x"));
        QVERIFY(QFileInfo(dir.filePath("taken")).isDir());
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), (QStringList{"p.prg", "taken"}));
    }
};

QTEST_GUILESS_MAIN(CommonTest)
#include "tst_common.moc"

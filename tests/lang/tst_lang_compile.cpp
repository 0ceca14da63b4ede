// The compiler against tables of programs and their compiled lines, of errors
// and their lines, the compiled-form reader, and the run-time rules.
#include "zenta/lang/compiler.hpp"
#include "zenta/lang/exec.hpp"
#include "zenta/lang/text.hpp"

#include <QtTest>

#include <climits>

using namespace zenta::lang;

namespace {

QString compiledText(const std::string &source)
{
    const CompileResult r = compile(source);
    if (!r.ok)
        return QStringLiteral("error %1: %2").arg(r.errorLine).arg(QString::fromStdString(r.message));
    QStringList out;
    for (const auto &l : formatCompiled(r.program.code))
        out << QString::fromStdString(l);
    return out.join('|');
}

std::string repeat(const std::string &line, int n)
{
    std::string s;
    for (int k = 0; k < n; ++k)
        s += line + "\r\n";
    return s;
}

}  // namespace

class TstLangCompile : public QObject {
    Q_OBJECT

private slots:
    void compiledLines_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("compiled");

        QTest::newRow("empty file") << QByteArray() << "";
        QTest::newRow("only blanks and comments") << QByteArray("  \r\n; note\r\n\t; more\r\n") << "";
        QTest::newRow("device commands spelt as on the wire")
            << QByteArray("X1000\r\nx -5\r\nX V3\r\nX=PX\r\nhspd = 2000\r\nJ+\r\nj -\r\nDO1=1\r\nEO=0\r\n"
                          "STOP\r\nABORT\r\nabs\r\nINC\r\nSTORE\r\nPX=0\r\nSR1=1\r\nPOL=3\r\n")
            << "1 X1000|2 X-5|3 X V3|4 X PX|5 HSPD=2000|6 J+|7 J-|8 DO1=1|9 EO=0|10 STOP|11 ABORT|"
               "12 ABS|13 INC|14 STORE|15 PX=0|16 SR1=1|17 POL=3";
        QTest::newRow("assignments with every operator and the 32-bit ends")
            << QByteArray("V3=5\nv1 = v2 - -3\nV1=V1*PX\nV50=DI/2\nV1=DI%2\nV1=DO&1\nV1=DO|2\n"
                          "V1=-2147483648\nV1=2147483647\nV2=+7\n")
            << "1 V3=5|2 V1=V2--3|3 V1=V1*PX|4 V50=DI/2|5 V1=DI%2|6 V1=DO&1|7 V1=DO|2|"
               "8 V1=-2147483648|9 V1=2147483647|10 V2=7";
        QTest::newRow("delay, wait, end, comments after statements")
            << QByteArray("DELAY=100 ; ms\rDELAY V2\rWAITX;x\rEND\r")
            << "1 DELAY=100|2 DELAY=V2|3 WAITX|4 END";
        QTest::newRow("IF without ELSE jumps past its block")
            << QByteArray("IF V1>5\r\n  X1\r\n  X2\r\nENDIF\r\nX3\r\n")
            << "1 IF V1>5 @4|2 X1|3 X2|5 X3";
        QTest::newRow("IF ELSE")
            << QByteArray("IF DI1=1\nX1\nELSE\nX2\nENDIF\n")
            << "1 IF DI1=1 @4|2 X1|3 ELSE @5|4 X2";
        QTest::newRow("IF ELSEIF ELSEIF ELSE")
            << QByteArray("IF V1=1\nX1\nELSEIF V1=2\nX2\nELSEIF V1=3\nX3\nELSE\nX4\nENDIF\nEND\n")
            << "1 IF V1=1 @4|2 X1|3 ELSE @11|3 ELSEIF V1=2 @7|4 X2|5 ELSE @11|5 ELSEIF V1=3 @10|6 X3|"
               "7 ELSE @11|8 X4|10 END";
        QTest::newRow("ELSEIF without ELSE: the last test jumps to the end")
            << QByteArray("IF V1=1\nX1\nELSEIF V1!=2\nX2\nENDIF\n")
            << "1 IF V1=1 @4|2 X1|3 ELSE @6|3 ELSEIF V1!=2 @6|4 X2";
        QTest::newRow("WHILE loops back to its test")
            << QByteArray("WHILE V1<10\nV1=V1+1\nENDWHILE\nEND\n")
            << "1 WHILE V1<10 @4|2 V1=V1+1|3 ENDWHILE @1|4 END";
        QTest::newRow("nested blocks")
            << QByteArray("WHILE 1=1\n IF DI1=1\n  WHILE DI2=0\n   DELAY=1\n  ENDWHILE\n ENDIF\nENDWHILE\n")
            << "1 WHILE 1=1 @7|2 IF DI1=1 @6|3 WHILE DI2=0 @6|4 DELAY=1|5 ENDWHILE @3|7 ENDWHILE @1";
        QTest::newRow("AND and OR become lines of their own after the test")
            << QByteArray("IF V1>1 AND V2<=2 OR DI3!=0\nX1\nENDIF\nWHILE PX>=-5 or ai<3\nENDWHILE\n")
            << "1 IF V1>1 @5|1 AND V2<=2|1 OR DI3!=0|2 X1|4 WHILE PX>=-5 @8|4 OR AI<3|5 ENDWHILE @5";
        QTest::newRow("labels: backward, forward, same line, at the end")
            << QByteArray("top:\nGOTO fwd\nmid: X1\nGOTO MID\nfwd:\nGOSUB Top\nGOTO end\nend:\n")
            << "2 GOTO @4|3 X1|4 GOTO @2|6 GOSUB @1|7 GOTO @6";
        QTest::newRow("a label on an ELSEIF line means the end of the branch above")
            << QByteArray("IF V1=1\nGOTO b\nb: ELSEIF V1=2\nX2\nENDIF\n")
            << "1 IF V1=1 @4|2 GOTO @3|3 ELSE @6|3 ELSEIF V1=2 @6|4 X2";
        QTest::newRow("two programs, the same label in each")
            << QByteArray("; header\r\nPRG 0\r\nl: X1\r\nGOTO l\r\nEND\r\nPRG 1\r\nl:\r\nX2\r\nGOTO L\r\n")
            << "2 PRG 0|3 X1|4 GOTO @2|5 END|6 PRG 1|8 X2|9 GOTO @6";
        QTest::newRow("program 1 first, PRG0 written together")
            << QByteArray("prg 1\nX1\nPRG0\nX2\n") << "1 PRG 1|2 X1|3 PRG 0|4 X2";
        QTest::newRow("a jump to the end of program 0 lands on the next PRG line")
            << QByteArray("PRG 0\nGOTO out\nout:\nPRG 1\nX1\n") << "1 PRG 0|2 GOTO @3|4 PRG 1|5 X1";
        QTest::newRow("lone CR and lone LF line ends both count")
            << QByteArray("X1\rX2\nX3\r\n\n\rX4") << "1 X1|2 X2|3 X3|6 X4";
    }

    void compiledLines()
    {
        QFETCH(QByteArray, source);
        QFETCH(QString, compiled);
        QCOMPARE(compiledText(source.toStdString()), compiled);
    }

    void errors_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("message");

        QTest::newRow("unknown command") << QByteArray("X1\nFOO=3\n") << 2 << "unknown command FOO";
        QTest::newRow("a status read alone") << QByteArray("MST\n") << 1 << "MST can only be read";
        QTest::newRow("variable beyond 50") << QByteArray("\nV51=1\n") << 2 << "no variable V51";
        QTest::newRow("variable 0 in an operand") << QByteArray("V1=V0+1\n") << 1 << "no variable V0";
        QTest::newRow("literal too large") << QByteArray("V1=2147483648\n") << 1 << "out of range";
        QTest::newRow("literal too small") << QByteArray("X-2147483649\n") << 1 << "out of range";
        QTest::newRow("huge move literal") << QByteArray("X99999999999999999999\n") << 1 << "out of range";
        QTest::newRow("division by literal zero") << QByteArray("V1=V2/0\n") << 1 << "division by zero";
        QTest::newRow("remainder by literal zero") << QByteArray("V1=V2%0\n") << 1 << "division by zero";
        QTest::newRow("two operators") << QByteArray("V1=V2+V3+1\n") << 1 << "only one operator";
        QTest::newRow("setting without value") << QByteArray("HSPD\n") << 1 << "needs =value";
        QTest::newRow("assignment without value") << QByteArray("V1=\n") << 1 << "expected a value";
        QTest::newRow("sign without digits") << QByteArray("V1=-V2\n") << 1 << "sign must be followed";
        QTest::newRow("unexpected character") << QByteArray("X1 # 2\n") << 1 << "unexpected character #";
        QTest::newRow("Latin-1 letter in a statement") << QByteArray("V1=\xe4\n") << 1 << "code 228";
        QTest::newRow("number runs into letters") << QByteArray("1000X\n") << 1 << "runs into letters";
        QTest::newRow("jog without direction") << QByteArray("J\n") << 1 << "J must be followed";
        QTest::newRow("move without target") << QByteArray("X\n") << 1 << "expected a value";
        QTest::newRow("IF without condition") << QByteArray("IF\nENDIF\n") << 1 << "needs a condition";
        QTest::newRow("condition without comparison") << QByteArray("IF V1\nENDIF\n") << 1 << "expected a comparison";
        QTest::newRow("dangling AND") << QByteArray("WHILE V1=1 AND\nENDWHILE\n") << 1 << "expected a value";
        QTest::newRow("AND outside a condition") << QByteArray("AND V1=1\n") << 1 << "can only join";
        QTest::newRow("IF never closed") << QByteArray("X1\nIF V1=1\nX2\n") << 2 << "IF without ENDIF";
        QTest::newRow("WHILE never closed") << QByteArray("WHILE V1=1\nIF V2=1\nENDIF\n") << 1 << "WHILE without ENDWHILE";
        QTest::newRow("IF open at the next PRG") << QByteArray("PRG 0\nIF V1=1\nPRG 1\n") << 2 << "IF without ENDIF";
        QTest::newRow("ELSE without IF") << QByteArray("X1\nELSE\n") << 2 << "ELSE without IF";
        QTest::newRow("ELSE inside WHILE") << QByteArray("WHILE 1=1\nELSE\nENDWHILE\n") << 2 << "ELSE without IF";
        QTest::newRow("second ELSE") << QByteArray("IF 1=1\nELSE\nELSE\nENDIF\n") << 3 << "after the ELSE";
        QTest::newRow("ELSEIF after ELSE") << QByteArray("IF 1=1\nELSE\nELSEIF 1=2\nENDIF\n") << 3 << "after the ELSE";
        QTest::newRow("ENDIF without IF") << QByteArray("ENDIF\n") << 1 << "ENDIF without IF";
        QTest::newRow("ENDWHILE without WHILE") << QByteArray("\n\nENDWHILE\n") << 3 << "ENDWHILE without WHILE";
        QTest::newRow("ENDIF for a WHILE") << QByteArray("WHILE 1=1\nENDIF\n") << 2 << "needs ENDWHILE";
        QTest::newRow("ENDWHILE for an IF") << QByteArray("IF 1=1\nENDWHILE\n") << 2 << "needs ENDIF";
        QTest::newRow("undefined label") << QByteArray("X1\nGOTO nowhere\n") << 2 << "NOWHERE is not defined";
        QTest::newRow("label of the other program")
            << QByteArray("PRG 0\nx:\nPRG 1\nGOSUB x\n") << 4 << "belongs to program 0";
        QTest::newRow("label defined twice") << QByteArray("a:\nX1\nA: X2\n") << 3 << "already defined in line 1";
        QTest::newRow("GOTO without label") << QByteArray("GOTO 5\n") << 1 << "needs the name of a label";
        QTest::newRow("label name too long")
            << QByteArray("abcdefghijabcdefghijabcdefghijabc:\n") << 1 << "at most 32 characters";
        QTest::newRow("PRG twice") << QByteArray("PRG 1\nPRG 0\nPRG 1\n") << 3 << "PRG 1 appears twice";
        QTest::newRow("PRG 2") << QByteArray("PRG 2\n") << 1 << "only PRG 0 and PRG 1";
        QTest::newRow("statement before the first PRG")
            << QByteArray("; c\nX1\nPRG 0\n") << 2 << "before the first PRG line";
        QTest::newRow("label on a PRG line") << QByteArray("a: PRG 0\n") << 1 << "cannot stand on a PRG line";
        QTest::newRow("a statement after line 99999")
            << QByteArray(repeat("", 99999).c_str()) + "X1\n" << 100000 << "after line 99999";
    }

    void errors()
    {
        QFETCH(QByteArray, source);
        QFETCH(int, line);
        QFETCH(QString, message);
        const CompileResult r = compile(source.toStdString());
        QVERIFY(!r.ok);
        QCOMPARE(r.errorLine, line);
        const QString got = QString::fromStdString(r.message);
        QVERIFY2(got.contains(message), qPrintable(got));
        // The panel finds the failing line by the word "Line"; messages must not carry it.
        QVERIFY2(!got.contains("Line"), qPrintable(got));
        // The check that goes on after an error starts with this very error.
        const CheckResult all = check(source.toStdString());
        QVERIFY(!all.ok());
        QCOMPARE(all.errors.front().line, r.errorLine);
        QCOMPARE(all.errors.front().message, r.message);
    }

    // Lines as "line:start of message", separated by '|'.
    void everyError_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("errors");

        QTest::newRow("clean") << QByteArray("X1\nIF V1=1\nX2\nENDIF\n") << "";
        QTest::newRow("three broken statements")
            << QByteArray("X1\nFOO=3\nX2\nV51=1\nV1=V2/0\n") << "2:unknown command|4:there is no variable V51|5:division by zero";
        QTest::newRow("a broken IF keeps its ENDIF")
            << QByteArray("IF V1\nX1\nELSE junk\nX2\nENDIF\nWHILE\nENDWHILE\n")
            << "1:expected a comparison|3:unexpected|6:WHILE needs a condition";
        QTest::newRow("a broken line keeps its label")
            << QByteArray("top: X\nGOTO top\nGOTO nowhere\n") << "1:expected a value|3:label NOWHERE is not defined";
        QTest::newRow("blocks left open in each program")
            << QByteArray("PRG 0\nIF V1=1\nPRG 1\nWHILE 1=1\nX1\n") << "2:IF without ENDIF|4:WHILE without ENDWHILE";
        QTest::newRow("structure errors and a label twice")
            << QByteArray("ENDIF\na:\na:\nELSE\nENDWHILE\n")
            << "1:ENDIF without IF|3:label A is already|4:ELSE without IF|5:ENDWHILE without WHILE";
        QTest::newRow("a stray statement is named once")
            << QByteArray("X1\nPRG 0\nX2\nPRG 1\nX3\nPRG 1\n") << "1:this line stands|6:PRG 1 appears twice";
        QTest::newRow("over the device's limit ends the check")
            << QByteArray((repeat("X1", 1276) + "FOO\n").c_str()) << "1276:the program needs more";
    }

    void everyError()
    {
        QFETCH(QByteArray, source);
        QFETCH(QString, errors);
        const CheckResult r = check(source.toStdString());
        QStringList got;
        for (const Diagnostic &d : r.errors)
            got << QString::number(d.line) + ':' + QString::fromStdString(d.message);
        const QStringList want = errors.isEmpty() ? QStringList{} : errors.split('|');
        QCOMPARE(got.size(), want.size());
        QCOMPARE(r.count, int(want.size()));
        for (qsizetype k = 0; k < want.size(); ++k)
            QVERIFY2(got[k].startsWith(want[k]), qPrintable(got.join(" / ")));
        QCOMPARE(r.ok(), compile(source.toStdString()).ok);
    }

    void keepsOnlySoManyButCountsAll()
    {
        const CheckResult r = check(repeat("FOO", 30), 10);
        QCOMPARE(r.count, 30);
        QCOMPARE(int(r.errors.size()), 10);
        QCOMPARE(r.errors.back().line, 10);
    }

    void operatorTextNeverSpellsTheLineMarker()
    {
        // Names from the program text are shown upper case in messages.
        for (const char *src : {"Line5=1\n", "GOTO Line\n", "Line: X1\nLine: X2\n", "IF Line=1\nENDIF\n"}) {
            const CompileResult r = compile(src);
            QVERIFY(!r.ok);
            QVERIFY2(r.message.find("Line") == std::string::npos, r.message.c_str());
        }
    }

    void sizeLimits()
    {
        // 1275 compiled lines fit, one more is an error on the line that needs it.
        QVERIFY(compile(repeat("X1", 1275)).ok);
        const CompileResult over = compile(repeat("X1", 1276));
        QVERIFY(!over.ok);
        QCOMPARE(over.errorLine, 1276);
        QVERIFY(over.message.find("1275") != std::string::npos);
        // PRG lines and AND/OR lines count too.
        const CompileResult withPrg = compile("PRG 0\r\n" + repeat("X1", 1274) + "PRG 1\r\n");
        QVERIFY(!withPrg.ok);
        QCOMPARE(withPrg.errorLine, 1276);
        const CompileResult withAnd = compile(repeat("X1", 1273) + "IF 1=1 AND 2=2 AND 3=3\r\nENDIF\r\n");
        QVERIFY(!withAnd.ok);
        QCOMPARE(withAnd.errorLine, 1274);

        // 32 nested blocks fit, 33 do not.
        const std::string open32 = repeat("IF V1=1", 16) + repeat("WHILE V1=1", 16);
        const std::string close32 = repeat("ENDWHILE", 16) + repeat("ENDIF", 16);
        QVERIFY(compile(open32 + close32).ok);
        const CompileResult deep = compile(open32 + "IF V1=2\r\nENDIF\r\n" + close32);
        QVERIFY(!deep.ok);
        QCOMPARE(deep.errorLine, 33);
    }

    void longestInstructionsFitAFrame()
    {
        // Widest operands, highest source line numbers and targets.
        std::string src = repeat("", 98000);
        src += "V50=-2147483648*-2147483648\r\nDOBOOT=-2147483648\r\nX-2147483648\r\n";
        src += "WHILE -2147483648>=-2147483648 AND -2147483648<=-2147483648\r\n";
        src += "IF -2147483648!=-2147483648 OR -2147483648!=-2147483648\r\nX1\r\n";
        src += "ELSEIF -2147483648!=-2147483648\r\nX2\r\nENDIF\r\nENDWHILE\r\n";
        src += repeat("GOTO a", 1263) + "a:\r\n";
        const CompileResult r = compile(src);
        QVERIFY2(r.ok, r.message.c_str());
        QCOMPARE(static_cast<int>(r.program.code.size()), 1275);
        std::size_t widest = 0;
        for (const auto &l : formatCompiled(r.program.code))
            widest = std::max(widest, l.size());
        QVERIFY2(widest <= static_cast<std::size_t>(kMaxCompiledLineLength), QByteArray::number(int(widest)));
        QVERIFY(widest >= 40);  // the case above really reaches the wide end
    }

    void compiledFormReadsBack()
    {
        const CompileResult r = compile("PRG 1\nV1=PX/-3\nIF V1>=DI4 OR MST=0 AND V2<5\nGOSUB s\nENDIF\n"
                                        "s: DO2=V1\nRETURN\nPRG 0\nWHILE 1=1\nENDWHILE\n");
        QVERIFY(r.ok);
        const ParsedProgram back = parseCompiled(formatCompiled(r.program.code));
        QVERIFY2(back.ok, back.message.c_str());
        QVERIFY(back.program.code == r.program.code);
        QCOMPARE(back.program.range[1].entry, 1);
        QCOMPARE(back.program.range[1].end, 8);
        QCOMPARE(back.program.range[1].prgLine, 1);
        QCOMPARE(back.program.range[0].entry, 9);
        QCOMPARE(back.program.range[0].end, 11);
        QCOMPARE(back.program.range[0].prgLine, 8);
        QCOMPARE(r.program.range[0].entry, back.program.range[0].entry);
        QCOMPARE(r.program.range[1].end, back.program.range[1].end);
    }

    void compiledFormIsChecked_data()
    {
        QTest::addColumn<QString>("compiled");
        QTest::addColumn<int>("badLine");
        QTest::addColumn<QString>("message");

        QTest::newRow("no source line") << "X1" << 1 << "source line number";
        QTest::newRow("source line 0") << "1 X1|0 X1" << 2 << "source line number";
        QTest::newRow("leading zero") << "01 X1" << 1 << "source line number";
        QTest::newRow("source line beyond 99999") << "100000 X1" << 1 << "source line number";
        QTest::newRow("two blanks") << "1  X1" << 1 << "expected an instruction";
        QTest::newRow("unknown instruction") << "1 FOO" << 1 << "unknown command";
        QTest::newRow("comment in compiled text") << "1 X1 ;x" << 1 << "unexpected character ;";
        QTest::newRow("variable out of range") << "1 V51=1" << 1 << "no variable";
        QTest::newRow("test without target") << "1 IF V1>1" << 1 << "needs a target";
        QTest::newRow("target zero") << "1 GOTO @0" << 1 << "out of range";
        QTest::newRow("target beyond the file") << "1 GOTO @4|2 END" << 1 << "outside its program";
        QTest::newRow("target in the other program")
            << "1 PRG 0|2 GOTO @4|3 PRG 1|4 X1" << 2 << "outside its program";
        QTest::newRow("target on a PRG line") << "1 PRG 0|2 GOTO @1" << 2 << "outside its program";
        QTest::newRow("target onto AND") << "1 IF V1=1 @1|1 AND V2=2|2 GOTO @2" << 3 << "AND/OR";
        QTest::newRow("AND first") << "1 AND V1=1" << 1 << "must follow";
        QTest::newRow("AND after a plain line") << "1 X1|1 OR V1=1" << 2 << "must follow";
        QTest::newRow("instructions before PRG") << "1 X1|2 PRG 0" << 1 << "before the first PRG";
        QTest::newRow("PRG twice") << "1 PRG 0|2 PRG 0" << 2 << "twice";
        QTest::newRow("PRG 2") << "1 PRG 2" << 1 << "0 or 1";
        QTest::newRow("longer than 48, blanks and all") << "1 X1|1 X1" + QString(45, ' ') << 2 << "at most 48";
    }

    void compiledFormIsChecked()
    {
        QFETCH(QString, compiled);
        QFETCH(int, badLine);
        QFETCH(QString, message);
        std::vector<std::string> lines;
        for (const QString &l : compiled.split('|'))
            lines.push_back(l.toStdString());
        const ParsedProgram p = parseCompiled(lines);
        QVERIFY(!p.ok);
        QCOMPARE(p.errorLine, badLine);
        QVERIFY2(QString::fromStdString(p.message).contains(message), p.message.c_str());
    }

    void compiledFormLimit()
    {
        QVERIFY(parseCompiled(std::vector<std::string>(1275, "1 X1")).ok);
        const ParsedProgram over = parseCompiled(std::vector<std::string>(1276, "1 X1"));
        QVERIFY(!over.ok);
        QVERIFY(over.message.find("1275") != std::string::npos);
        QVERIFY(parseCompiled({"1 X1" + std::string(44, ' ')}).ok);  // 48 characters
    }

    void arithmeticRules_data()
    {
        QTest::addColumn<int>("op");
        QTest::addColumn<int>("a");
        QTest::addColumn<int>("b");
        QTest::addColumn<bool>("defined");
        QTest::addColumn<int>("result");

        QTest::newRow("add wraps") << int(Arith::Add) << INT_MAX << 1 << true << INT_MIN;
        QTest::newRow("sub wraps") << int(Arith::Sub) << INT_MIN << 1 << true << INT_MAX;
        QTest::newRow("mul wraps") << int(Arith::Mul) << 65536 << 65536 << true << 0;
        QTest::newRow("mul negative") << int(Arith::Mul) << -7 << 6 << true << -42;
        QTest::newRow("div truncates toward zero") << int(Arith::Div) << -7 << 2 << true << -3;
        QTest::newRow("mod takes the dividend's sign") << int(Arith::Mod) << -7 << 2 << true << -1;
        QTest::newRow("min / -1 wraps") << int(Arith::Div) << INT_MIN << -1 << true << INT_MIN;
        QTest::newRow("min % -1") << int(Arith::Mod) << INT_MIN << -1 << true << 0;
        QTest::newRow("div by zero") << int(Arith::Div) << 5 << 0 << false << 0;
        QTest::newRow("mod by zero") << int(Arith::Mod) << 5 << 0 << false << 0;
        QTest::newRow("and") << int(Arith::And) << 0b1100 << 0b1010 << true << 0b1000;
        QTest::newRow("or on negatives") << int(Arith::Or) << -8 << 3 << true << -5;
    }

    void arithmeticRules()
    {
        QFETCH(int, op);
        QFETCH(int, a);
        QFETCH(int, b);
        QFETCH(bool, defined);
        QFETCH(int, result);
        const auto r = arithmetic(static_cast<Arith>(op), a, b);
        QCOMPARE(r.has_value(), defined);
        if (defined)
            QCOMPARE(*r, result);
    }

    void andBindsTighterThanOr()
    {
        // Compile "A OR B AND C OR D AND E" and evaluate it for every input.
        const CompileResult r =
            compile("IF V1=1 OR V2=1 AND V3=1 OR V4=1 AND V5=1\nX1\nENDIF\nX2\n");
        QVERIFY(r.ok);
        for (int bits = 0; bits < 32; ++bits) {
            auto value = [&](const Operand &o) {
                return o.kind == OperandKind::Variable ? (bits >> (o.value - 1)) & 1 : o.value;
            };
            const bool a = bits & 1, b = bits & 2, c = bits & 4, d = bits & 8, e = bits & 16;
            const Condition cond = evaluateCondition(r.program.code, 0, value);
            QCOMPARE(cond.value, a || (b && c) || (d && e));
            QCOMPARE(cond.next, 5);  // past the four AND/OR lines
        }
    }

    void statusBits()
    {
        const int di3 = statusIndex("DI3"), do2 = statusIndex("DO2"), px = statusIndex("PX");
        QCOMPARE(baseStatusIndex(di3), statusIndex("DI"));
        QCOMPARE(baseStatusIndex(do2), statusIndex("DO"));
        QCOMPARE(baseStatusIndex(px), px);
        QCOMPARE(statusValue(di3, 0b000100), 1);
        QCOMPARE(statusValue(di3, 0b111011), 0);
        QCOMPARE(statusValue(do2, 2), 1);
        QCOMPARE(statusValue(px, -123), -123);
    }

    void lineSplitting_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("nothing") << QByteArray() << QStringList();
        QTest::newRow("no final end") << QByteArray("a\r\nb") << QStringList{"a", "b"};
        QTest::newRow("final end adds no line") << QByteArray("a\r\n") << QStringList{"a"};
        QTest::newRow("LF CR is two ends") << QByteArray("a\n\rb") << QStringList{"a", "", "b"};
        QTest::newRow("CR CR LF") << QByteArray("a\r\r\nb") << QStringList{"a", "", "b"};
        QTest::newRow("bytes kept") << QByteArray("\xe4\x00z", 3) << QStringList{QString::fromLatin1("\xe4\0z", 3)};
    }

    void lineSplitting()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QStringList got;
        for (const auto &l : splitLines(std::string_view(bytes.constData(), std::size_t(bytes.size()))))
            got << QString::fromLatin1(l.data(), qsizetype(l.size()));
        QCOMPARE(got, lines);
        QCOMPARE(joinLines({"a", "b"}), std::string("a\r\nb\r\n"));
    }
};

QTEST_APPLESS_MAIN(TstLangCompile)
#include "tst_lang_compile.moc"

// Decompiling compiled output and compiling that text again gives the very
// same compiled lines, source line numbers included: over the example
// programs and over many generated ones. Compiled forms the compiler never
// writes are refused or, when only their line numbers are odd, come back with
// the same instructions.
#include "program_generator.hpp"

#include "zenta/lang/compiler.hpp"
#include "zenta/lang/text.hpp"

#include <QDir>
#include <QFile>
#include <QtTest>

using namespace zenta::lang;

namespace {

std::vector<std::string> split(const QString &s)
{
    std::vector<std::string> out;
    for (const QString &l : s.split('|'))
        out.push_back(l.toStdString());
    return out;
}

// Returns an empty string when the round trip holds, else what went wrong.
std::string roundTrip(const std::string &source)
{
    const CompileResult first = compile(source);
    if (!first.ok)
        return "does not compile: line " + std::to_string(first.errorLine) + ": " + first.message;
    const std::vector<std::string> compiled = formatCompiled(first.program.code);
    for (const auto &l : compiled)
        if (l.size() > static_cast<std::size_t>(kMaxCompiledLineLength))
            return "compiled line too long: " + l;

    const ParsedProgram parsed = parseCompiled(compiled);
    if (!parsed.ok || !(parsed.program.code == first.program.code))
        return "compiled form does not read back: " + parsed.message;
    for (int p = 0; p < 2; ++p) {
        const ProgramRange &a = first.program.range[p], &b = parsed.program.range[p];
        if (a.present != b.present || a.entry != b.entry || a.end != b.end || a.prgLine != b.prgLine)
            return "program ranges differ after reading back";
    }

    const DecompileResult text = decompileLines(compiled);
    if (!text.ok)
        return "decompile failed: " + text.message;
    if (!text.linesPreserved)
        return "decompile moved source lines";
    const CompileResult again = compile(joinLines(text.lines));
    if (!again.ok)
        return "decompiled text does not compile: " + again.message;
    if (formatCompiled(again.program.code) != compiled)
        return "recompiled lines differ";
    // Decompiling is stable: the decompiled text decompiles to itself.
    const DecompileResult twice = decompile(again.program);
    if (!twice.ok || twice.lines != text.lines)
        return "decompiling twice differs";
    return {};
}

}  // namespace

class TstLangRoundTrip : public QObject {
    Q_OBJECT

private slots:
    void examples_data()
    {
        QTest::addColumn<QString>("path");
        const QDir dir(qEnvironmentVariable("ZENTA_SOURCE_DIR") + "/examples");
        const QStringList files = dir.entryList({"*.prg"}, QDir::Files, QDir::Name);
        QVERIFY(files.size() >= 3);
        for (const QString &f : files)
            QTest::newRow(qPrintable(f)) << dir.filePath(f);
    }

    void examples()
    {
        QFETCH(QString, path);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        // Shipped as the panel writes programs: CR LF line ends.
        QVERIFY(bytes.endsWith("\r\n"));
        QCOMPARE(bytes.count('\n'), bytes.count("\r\n"));
        const std::string error = roundTrip(bytes.toStdString());
        QVERIFY2(error.empty(), error.c_str());
    }

    void generatedPrograms()
    {
        int programs = 0, twoPrograms = 0, withLabels = 0;
        for (unsigned seed = 1; seed <= 1500; ++seed) {
            ProgramGenerator gen(seed);
            const std::string source = gen.file();
            const std::string error = roundTrip(source);
            if (!error.empty())
                QFAIL(qPrintable(QStringLiteral("seed %1: %2\n%3").arg(seed).arg(error.c_str(), source.c_str())));
            const Program p = compile(source).program;
            ++programs;
            twoPrograms += p.range[0].present && p.range[1].present;
            withLabels += std::any_of(p.code.begin(), p.code.end(),
                                      [](const Instr &i) { return i.op == Op::Goto || i.op == Op::Gosub; });
        }
        // The generator really covers the interesting shapes.
        QVERIFY(twoPrograms > programs / 10);
        QVERIFY(withLabels > programs / 4);
    }

    void decompiledTextShape()
    {
        const CompileResult r = compile("PRG 1\r\n\r\nIF v1=1 and DI2=0\r\n goto x ; away\r\nELSE\r\nx: X-5\r\n"
                                        "ENDIF\r\nWHILE 1=1\r\nENDWHILE\r\nGOSUB y\r\ny:\r\n");
        QVERIFY(r.ok);
        const DecompileResult d = decompile(r.program);
        QVERIFY(d.ok);
        QVERIFY(d.linesPreserved);
        const std::vector<std::string> expected{
            "PRG 1", "", "IF V1=1 AND DI2=0", "  GOTO L6", "ELSE", "  L6: X-5", "ENDIF",
            "WHILE 1=1", "ENDWHILE", "GOSUB L10", "L10:"};
        QCOMPARE(d.lines, expected);
    }

    void oddLineNumbersKeepTheInstructions()
    {
        // Lines out of order, or several instructions on one line: the text
        // cannot keep them, but it compiles to the same instructions.
        for (const char *compiled : {"5 X1|3 X2|3 GOTO @1", "1 X1|1 X2|1 IF V1=1 @5|1 AND V2=2|9 END",
                                     "2 PRG 1|1 X1|7 PRG 0|7 END"}) {
            const auto lines = split(compiled);
            const DecompileResult d = decompileLines(lines);
            QVERIFY2(d.ok, d.message.c_str());
            QVERIFY(!d.linesPreserved);
            const CompileResult again = compile(joinLines(d.lines));
            QVERIFY(again.ok);
            const ParsedProgram original = parseCompiled(lines);
            QCOMPARE(again.program.code.size(), original.program.code.size());
            for (std::size_t k = 0; k < original.program.code.size(); ++k) {
                Instr a = again.program.code[k], b = original.program.code[k];
                a.line = b.line = 0;
                QVERIFY(a == b);
            }
        }
    }

    void shapesTheCompilerNeverWrites_data()
    {
        QTest::addColumn<QString>("compiled");
        QTest::addColumn<QString>("message");
        QTest::newRow("bad text") << "1 X1|2 FOO" << "compiled line 2";
        QTest::newRow("ELSE without IF") << "1 X1|2 ELSE @3" << "ELSE outside";
        QTest::newRow("ELSEIF test alone") << "1 ELSEIF V1=1 @2" << "ELSEIF without";
        QTest::newRow("IF jumping backwards") << "1 X1|2 IF V1=1 @1" << "backwards";
        QTest::newRow("WHILE without ENDWHILE") << "1 WHILE V1=1 @3|2 X1" << "ENDWHILE";
        QTest::newRow("ENDWHILE to another line") << "1 WHILE V1=1 @4|2 X1|3 ENDWHILE @2" << "ENDWHILE";
        QTest::newRow("blocks overlapping")
            << "1 IF V1=1 @4|2 WHILE V2=1 @5|3 X1|4 ENDWHILE @2" << "overlaps";
        QTest::newRow("GOTO onto an ELSEIF test")
            << "1 IF V1=1 @4|2 GOTO @4|3 ELSE @5|3 ELSEIF V1=2 @5" << "ELSEIF";
    }

    void shapesTheCompilerNeverWrites()
    {
        QFETCH(QString, compiled);
        QFETCH(QString, message);
        const DecompileResult d = decompileLines(split(compiled));
        QVERIFY(!d.ok);
        QVERIFY(d.lines.empty());
        QVERIFY2(QString::fromStdString(d.message).contains(message), d.message.c_str());
    }

    void emptyProgramRoundTrips()
    {
        const DecompileResult d = decompileLines({});
        QVERIFY(d.ok);
        QVERIFY(d.lines.empty());
        QVERIFY(compile("").ok);
        QVERIFY(compile("").program.code.empty());
    }
};

QTEST_APPLESS_MAIN(TstLangRoundTrip)
#include "tst_lang_roundtrip.moc"

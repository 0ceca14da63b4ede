// The Vorlag process end to end: a copy of the built tool in a temporary
// folder with its setup file, started from another current directory, judged
// by the result files the way the panel reads them.
#include "zenta/lang/compiler.hpp"
#include "zenta/lang/text.hpp"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

using namespace zenta::lang;

namespace {

const QByteArray kCompileSetup = "MOD:ZENTA-QLX\r\nOPE:COMPILE\r\nFIL:Program.prg\r\n";
const QByteArray kDecompileSetup = "MOD:ZENTA-QLX\r\nOPE:DECOMPILE\r\nFIL:UploadOut.txt\r\n";

struct Outcome {
    bool finished = false;
    int exitCode = -1;
    QByteArray errors;  // what the tool wrote to stderr
};

bool isFailureReport(const QList<QByteArray> &lines)
{
    return !lines.isEmpty() && (lines.front().contains("FAILED") || lines.front().contains("Failed"));
}

}  // namespace

class TstVorlagTool : public QObject {
    Q_OBJECT

    QTemporaryDir exe_;
    QTemporaryDir elsewhere_;

    QString path(const QString &name) const { return exe_.filePath(name); }

    void put(const QString &name, const QByteArray &bytes)
    {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    QByteArray get(const QString &name) const
    {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // Lines of a result file, which must use CR LF throughout.
    QList<QByteArray> resultLines(const QString &name)
    {
        const QByteArray bytes = get(name);
        if (bytes.count('\n') != bytes.count("\r\n") || bytes.count('\r') != bytes.count("\r\n")) {
            qWarning("%s does not end its lines with CR LF", qPrintable(name));
            return {QByteArray("<bad line ends>")};
        }
        QList<QByteArray> lines = bytes.split('\n');
        lines.removeLast();  // after the final line end
        for (QByteArray &l : lines)
            l.chop(1);
        return lines;
    }

    // `addressSpace`: a limit on the tool's memory in bytes, 0 for none.
    Outcome run(rlim_t addressSpace = 0)
    {
        QProcess p;
        p.setWorkingDirectory(elsewhere_.path());
        if (addressSpace)
            p.setChildProcessModifier([addressSpace] {
                const rlimit limit{addressSpace, addressSpace};
                setrlimit(RLIMIT_AS, &limit);
            });
        p.start(path("Vorlag"), {});
        Outcome o;
        o.finished = p.waitForFinished(20000);
        if (!o.finished)
            p.kill();
        o.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        o.errors = p.readAllStandardError();
        return o;
    }

    // A failed compile as the panel reads it: "FAILED" first, then the last
    // line holding "Line" names the failing line from its seventh character.
    void checkCompileFailure(int expectedLine)
    {
        const QList<QByteArray> lines = resultLines("CompileOut.txt");
        QVERIFY2(isFailureReport(lines), lines.join('|').constData());
        QVERIFY(lines.size() >= 3);
        QVERIFY(lines.back().startsWith("Line: "));
        bool ok = false;
        QCOMPARE(lines.back().mid(6).trimmed().toInt(&ok), expectedLine);
        QVERIFY(ok);
        for (int k = 0; k + 1 < lines.size(); ++k)
            QVERIFY2(!lines[k].contains("Line"), lines[k].constData());
    }

    void clearResults()
    {
        QFile::remove(path("CompileOut.txt"));
        QFile::remove(path("DecompileOut.prg"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(exe_.isValid() && elsewhere_.isValid());
        const QString built = qEnvironmentVariable("ZENTA_BIN_DIR") + "/EXE/Vorlag";
        QVERIFY2(QFile::exists(built), qPrintable(built));
        QVERIFY(QFile::copy(built, path("Vorlag")));
        QFile::setPermissions(path("Vorlag"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void init() { clearResults(); }

    void compileSuccess()
    {
        const QByteArray program = "; two programs\r\nPRG 0\r\nV1=0\r\nloop: X1000\r\nWAITX\r\nV1=V1+1\r\n"
                                   "IF V1<5 AND DI1=0\r\nGOTO loop\r\nENDIF\r\nPRG 1\r\nDO1=1\r\n";
        put("Program.prg", program);
        put("vorlag_setup.txt", kCompileSetup);
        const Outcome o = run();
        QVERIFY(o.finished);
        QCOMPARE(o.exitCode, 0);
        const QList<QByteArray> lines = resultLines("CompileOut.txt");
        QVERIFY(!lines.isEmpty());
        QVERIFY(!lines.front().contains("FAILED") && !lines.front().contains("Failed"));
        const CompileResult expected = compile(program.toStdString());
        QVERIFY(expected.ok);
        const std::vector<std::string> compiled = formatCompiled(expected.program.code);
        // The panel counts compiled lines as the file's lines less one.
        QCOMPARE(lines.size() - 1, qsizetype(compiled.size()));
        for (std::size_t k = 0; k < compiled.size(); ++k)
            QCOMPARE(lines[qsizetype(k) + 1].toStdString(), compiled[k]);
        // Nothing lands in the current directory.
        QVERIFY(QDir(elsewhere_.path()).entryList(QDir::Files | QDir::NoDotAndDotDot).isEmpty());
    }

    void compileFailure_data()
    {
        QTest::addColumn<QByteArray>("program");
        QTest::addColumn<int>("line");
        QTest::newRow("unknown command") << QByteArray("X1\r\n\r\nFOO\r\n") << 3;
        QTest::newRow("IF never closed") << QByteArray("X1\r\nIF V1=1\r\nX2\r\n") << 2;
        QTest::newRow("label spelt Line") << QByteArray("Line: X1\r\nGOTO Liner\r\n") << 2;
        QTest::newRow("lone LF and lone CR ends") << QByteArray("X1\nX2\rX3\r\nV0=1\n") << 4;
        QTest::newRow("binary garbage") << QByteArray("\x00\x01\xff\xfe\x80Line\x7f", 10) << 1;
        QTest::newRow("a megabyte on one line") << QByteArray("X1\r\n") + QByteArray(1 << 20, 'V') << 2;
        QTest::newRow("too many compiled lines") << QByteArray("X1\r\n").repeated(1276) << 1276;
    }

    void compileFailure()
    {
        QFETCH(QByteArray, program);
        QFETCH(int, line);
        put("Program.prg", program);
        put("vorlag_setup.txt", kCompileSetup);
        const Outcome o = run();
        QVERIFY(o.finished);
        QVERIFY(o.exitCode != 0);
        checkCompileFailure(line);
    }

    void emptyProgramCompilesToNothing_data()
    {
        QTest::addColumn<QByteArray>("program");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("blanks and comments") << QByteArray("   \r\n; nothing here \xe4\r\n\t\r\n");
        QTest::newRow("a long comment line") << QByteArray("; ") + QByteArray(1 << 20, 'x');
    }

    void emptyProgramCompilesToNothing()
    {
        QFETCH(QByteArray, program);
        put("Program.prg", program);
        put("vorlag_setup.txt", kCompileSetup);
        const Outcome o = run();
        QVERIFY(o.finished);
        QCOMPARE(o.exitCode, 0);
        const QList<QByteArray> lines = resultLines("CompileOut.txt");
        QCOMPARE(lines.size(), 1);
        QVERIFY(!isFailureReport(lines));
    }

    void decompileRoundTrip()
    {
        QFile example(qEnvironmentVariable("ZENTA_SOURCE_DIR") + "/examples/two_programs.prg");
        QVERIFY(example.open(QIODevice::ReadOnly));
        const QByteArray source = example.readAll();
        put("Program.prg", source);
        put("vorlag_setup.txt", kCompileSetup);
        QCOMPARE(run().exitCode, 0);
        const QByteArray compiled = get("CompileOut.txt");

        // Uploaded as bare compiled lines, as a whole result file and as the
        // loader writes it.
        const QByteArray bare = compiled.mid(compiled.indexOf("\r\n") + 2);
        const QByteArray loaded = "UPLOAD OK " + QByteArray::number(bare.count('\n')) + " lines\r\n" + bare;
        for (const QByteArray &upload : {bare, compiled, loaded}) {
            put("UploadOut.txt", upload);
            put("vorlag_setup.txt", kDecompileSetup);
            const Outcome o = run();
            QVERIFY(o.finished);
            QCOMPARE(o.exitCode, 0);
            const QList<QByteArray> text = resultLines("DecompileOut.prg");
            QVERIFY(!isFailureReport(text));

            put("Program.prg", get("DecompileOut.prg"));
            put("vorlag_setup.txt", kCompileSetup);
            QCOMPARE(run().exitCode, 0);
            QCOMPARE(get("CompileOut.txt"), compiled);
        }
    }

    void decompileFailure_data()
    {
        QTest::addColumn<QByteArray>("upload");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("binary garbage") << QByteArray("\x00\xff\x13garbage\x01", 12) << QByteArray("compiled line 1");
        QTest::newRow("target outside the program") << QByteArray("1 GOTO @9\r\n") << QByteArray("outside");
        QTest::newRow("a failed compile report")
            << QByteArray("COMPILE FAILED\r\nError\r\nLine: 3\r\n") << QByteArray("failed compile report");
        QTest::newRow("more than 1275 lines") << QByteArray("1 X1\r\n").repeated(1276) << QByteArray("1275");
        // The loader's reason reaches the operator.
        QTest::newRow("a failed upload report")
            << QByteArray("UPLOAD FAILED\r\nNo device has the ID 07; found 01, 02.\r\n")
            << QByteArray("upload from the device failed: No device has the ID 07; found 01, 02.");
        QTest::newRow("a failed upload without a reason") << QByteArray("UPLOAD FAILED\r\n") << QByteArray("no reason");
        QTest::newRow("a result line announcing more lines than follow")
            << QByteArray("UPLOAD OK 3 lines\r\n1 X1\r\n2 X2\r\n") << QByteArray("announces 3");
        QTest::newRow("result file cut at a line end")
            << QByteArray("COMPILE OK 3 lines\r\n1 X1\r\n2 X2\r\n") << QByteArray("cut short");
        QTest::newRow("result line without a count")
            << QByteArray("COMPILE OK\r\n1 X1\r\n") << QByteArray("count of compiled lines");
    }

    void decompileFailure()
    {
        QFETCH(QByteArray, upload);
        QFETCH(QByteArray, reason);
        put("UploadOut.txt", upload);
        put("vorlag_setup.txt", kDecompileSetup);
        const Outcome o = run();
        QVERIFY(o.finished);
        QVERIFY(o.exitCode != 0);
        const QList<QByteArray> lines = resultLines("DecompileOut.prg");
        QVERIFY(isFailureReport(lines));
        QVERIFY2(lines.join(' ').contains(reason), lines.join('|').constData());
        QVERIFY(!QFile::exists(path("CompileOut.txt")));
    }

    void badSetup_data()
    {
        QTest::addColumn<bool>("hasSetup");
        QTest::addColumn<QByteArray>("setup");
        QTest::addColumn<QString>("resultFile");
        QTest::addColumn<QByteArray>("reason");

        QTest::newRow("no setup file") << false << QByteArray() << QStringLiteral("CompileOut.txt") << QByteArray("missing");
        QTest::newRow("setup of binary garbage")
            << true << QByteArray("\x00\xff\xfe\r\n\x01", 6) << QStringLiteral("CompileOut.txt") << QByteArray("KEY:VALUE");
        QTest::newRow("unknown operation")
            << true << QByteArray("MOD:ZENTA-QLX\r\nOPE:LineUp\r\nFIL:Program.prg\r\n") << QStringLiteral("CompileOut.txt")
            << QByteArray("unknown operation");
        QTest::newRow("unknown model, compiling")
            << true << QByteArray("MOD:OTHER\r\nOPE:COMPILE\r\nFIL:Program.prg\r\n") << QStringLiteral("CompileOut.txt")
            << QByteArray("unknown model");
        QTest::newRow("unknown model, decompiling")
            << true << QByteArray("MOD:OTHER\r\nOPE:DECOMPILE\r\nFIL:UploadOut.txt\r\n") << QStringLiteral("DecompileOut.prg")
            << QByteArray("unknown model");
        QTest::newRow("no model") << true << QByteArray("OPE:COMPILE\r\nFIL:Program.prg\r\n") << QStringLiteral("CompileOut.txt")
                                  << QByteArray("no MOD");
        QTest::newRow("no FIL") << true << QByteArray("MOD:ZENTA-QLX\r\nOPE:COMPILE\r\n") << QStringLiteral("CompileOut.txt")
                                << QByteArray("FIL");
        QTest::newRow("FIL with a path")
            << true << QByteArray("MOD:ZENTA-QLX\r\nOPE:DECOMPILE\r\nFIL:../UploadOut.txt\r\n") << QStringLiteral("DecompileOut.prg")
            << QByteArray("FIL");
        QTest::newRow("FIL names a missing file, compiling")
            << true << QByteArray("MOD:ZENTA-QLX\r\nOPE:COMPILE\r\nFIL:Absent.prg\r\n") << QStringLiteral("CompileOut.txt")
            << QByteArray("missing");
        QTest::newRow("FIL names a folder")
            << true << QByteArray("MOD:ZENTA-QLX\r\nOPE:COMPILE\r\nFIL:folder\r\n") << QStringLiteral("CompileOut.txt")
            << QByteArray("not a file");
        QTest::newRow("FIL names a missing file, decompiling")
            << true << QByteArray("MOD:ZENTA-QLX\r\nOPE:DECOMPILE\r\nFIL:Absent.txt\r\n") << QStringLiteral("DecompileOut.prg")
            << QByteArray("missing");
    }

    void badSetup()
    {
        QFETCH(bool, hasSetup);
        QFETCH(QByteArray, setup);
        QFETCH(QString, resultFile);
        QFETCH(QByteArray, reason);
        QFile::remove(path("vorlag_setup.txt"));
        put("Program.prg", "X1\r\n");
        put("UploadOut.txt", "1 X1\r\n");
        QDir(exe_.path()).mkpath("folder");
        if (hasSetup)
            put("vorlag_setup.txt", setup);
        const Outcome o = run();
        QVERIFY(o.finished);
        QVERIFY(o.exitCode != 0);
        const QList<QByteArray> lines = resultLines(resultFile);
        QVERIFY2(isFailureReport(lines), qPrintable(resultFile));
        QVERIFY2(lines.join(' ').contains(reason), lines.join('|').constData());
        if (resultFile == "CompileOut.txt")
            checkCompileFailure(0);  // no program line to point at
        QCOMPARE(QFile::exists(path("CompileOut.txt")), resultFile == "CompileOut.txt");
    }

    // The result file cannot replace a folder of its name: the tool says so
    // and leaves no file of its own behind.
    void resultPathThatIsAFolderIsReported()
    {
        put("Program.prg", "X1\r\n");
        put("vorlag_setup.txt", kCompileSetup);
        QVERIFY(QDir(exe_.path()).mkdir("CompileOut.txt"));
        const QStringList before = QDir(exe_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        const Outcome o = run();
        const QStringList after = QDir(exe_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QVERIFY(QDir(exe_.path()).rmdir("CompileOut.txt"));
        QVERIFY(o.finished);
        QCOMPARE(o.exitCode, 1);
        QVERIFY2(o.errors.contains("CompileOut.txt") && o.errors.contains("not a plain file"), o.errors.constData());
        QCOMPARE(after, before);
    }

    // Memory follows the program, not the blank lines around it: 16 MB of
    // line ends compile, decompile and set up in a small multiple of 16 MB.
    void blankLinesCostNoMemoryPerLine_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("setup");
        QTest::addColumn<QByteArray>("first");  // the line before the blank ones
        QTest::addColumn<QByteArray>("last");   // the line after them
        QTest::addColumn<QString>("result");
        QTest::addColumn<QByteArray>("firstLine");
        QTest::newRow("compile") << "Program.prg" << kCompileSetup << QByteArray("X1") << QByteArray("; end")
                                 << "CompileOut.txt" << QByteArray("COMPILE OK 1 lines");
        QTest::newRow("decompile") << "UploadOut.txt" << kDecompileSetup << QByteArray("1 X1") << QByteArray("2 X2")
                                   << "DecompileOut.prg" << QByteArray("DECOMPILE FAILED");
    }
    void blankLinesCostNoMemoryPerLine()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("the address sanitizer reserves more address space than the limit allows");
#endif
        QFETCH(QString, file);
        QFETCH(QByteArray, setup);
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, last);
        QFETCH(QString, result);
        QFETCH(QByteArray, firstLine);
        constexpr qsizetype input = 16 * 1024 * 1024;
        put(file, first + "\r\n" + QByteArray(input - first.size() - last.size() - 4, '\n') + last + "\r\n");
        put("vorlag_setup.txt", setup);
        const Outcome o = run(rlim_t(6) * input);
        QVERIFY(o.finished);
        QVERIFY2(o.exitCode >= 0, o.errors.constData());
        const QList<QByteArray> lines = resultLines(result);
        QVERIFY(!lines.isEmpty());
        QCOMPARE(lines.front(), firstLine);
        QFile::remove(path(file));

        // A setup file of blank lines is read the same way.
        put("Program.prg", "X1\r\n");
        put("vorlag_setup.txt", kCompileSetup + QByteArray(input - kCompileSetup.size(), '\n'));
        const Outcome big = run(rlim_t(6) * input);
        QCOMPARE(big.exitCode, 0);
        QCOMPARE(resultLines("CompileOut.txt").front(), QByteArray("COMPILE OK 1 lines"));
    }

    void setupLineEnds_data()
    {
        QTest::addColumn<QByteArray>("setup");
        QTest::newRow("LF") << QByteArray("MOD:ZENTA-QLX\nOPE:COMPILE\nFIL:Program.prg\n");
        QTest::newRow("CR, no final end") << QByteArray("MOD:ZENTA-QLX\rOPE:COMPILE\rFIL:Program.prg");
        QTest::newRow("blank lines and blanks") << QByteArray("\r\nMOD: ZENTA-QLX \r\n\r\nOPE:COMPILE\r\nFIL:Program.prg");
    }

    void setupLineEnds()
    {
        QFETCH(QByteArray, setup);
        put("Program.prg", "X1\r\nX2\r\n");
        put("vorlag_setup.txt", setup);
        put("CompileOut.txt", "stale\r\n");
        const Outcome o = run();
        QVERIFY(o.finished);
        QCOMPARE(o.exitCode, 0);
        QCOMPARE(get("CompileOut.txt"), QByteArray("COMPILE OK 2 lines\r\n1 X1\r\n2 X2\r\n"));
    }
};

QTEST_GUILESS_MAIN(TstVorlagTool)
#include "tst_vorlag_tool.moc"

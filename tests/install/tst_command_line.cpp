// zenta-panel and zenta-sim as a shell sees them: --help and --version print
// and end, anything else they do not take is refused.
#include <QCoreApplication>
#include <QProcess>
#include <QtTest>

namespace {

constexpr int kWaitMs = 20000;  // guards against a hang; no test relies on it expiring

QString binary(const QString &name)
{
    return qEnvironmentVariable("ZENTA_BIN_DIR", QCoreApplication::applicationDirPath() + "/../bin") + "/" + name;
}

struct Run {
    int code = -1;
    QString out, err;
};

// `display` false: no display of any kind, so only what needs none can succeed.
Run run(const QString &program, const QStringList &args, bool display)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    if (display)
        env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(binary(program), args);
    Run r;
    if (!p.waitForFinished(kWaitMs)) {
        p.kill();
        p.waitForFinished(kWaitMs);
        r.err = "<did not end>";
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

}  // namespace

class CommandLineTest : public QObject {
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
};

void CommandLineTest::answers_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("display");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("out");  // exact when it ends in a newline, else a part of it
    QTest::addColumn<QString>("err");  // a part of it

    const QString version = QStringLiteral(ZENTA_VERSION);
    QTest::newRow("panel --version, no display") << "zenta-panel" << QStringList{"--version"} << false << 0
                                                 << "zenta-panel " + version + "\n" << "";
    QTest::newRow("panel -v, no display") << "zenta-panel" << QStringList{"-v"} << false << 0
                                          << "zenta-panel " + version + "\n" << "";
    QTest::newRow("panel --help, no display") << "zenta-panel" << QStringList{"--help"} << false << 0
                                              << "zenta-panel [options]" << "";
    QTest::newRow("panel --version after a Qt option")
        << "zenta-panel" << QStringList{"-platform", "offscreen", "--version"} << false << 0
        << "zenta-panel " + version + "\n" << "";
    QTest::newRow("panel unknown option") << "zenta-panel" << QStringList{"--frobnicate"} << true << 1 << ""
                                          << "Unknown option 'frobnicate'";
    QTest::newRow("panel argument, no display") << "zenta-panel" << QStringList{"demo.prg"} << false << 1 << ""
                                                << "takes no arguments (demo.prg)";
    QTest::newRow("panel argument after a Qt option")
        << "zenta-panel" << QStringList{"-platform", "offscreen", "demo.prg"} << false << 1 << ""
        << "takes no arguments (demo.prg)";

    QTest::newRow("sim --version") << "zenta-sim" << QStringList{"--version"} << false << 0
                                   << "zenta-sim " + version + "\n" << "";
    QTest::newRow("sim --help") << "zenta-sim" << QStringList{"--help"} << false << 0
                                << "zenta-sim ctl S COMMAND..." << "";
    QTest::newRow("sim --help names quit") << "zenta-sim" << QStringList{"--help"} << false << 0 << "advance MS, quit"
                                           << "";
    QTest::newRow("sim --version with more") << "zenta-sim" << QStringList{"--version", "--lockstep"} << false << 2
                                             << "" << "usage: zenta-sim";
    QTest::newRow("sim unknown option") << "zenta-sim" << QStringList{"--frobnicate"} << false << 2 << ""
                                        << "usage: zenta-sim";
    QTest::newRow("sim --help names --product") << "zenta-sim" << QStringList{"--help"} << false << 0
                                                << "--product TEXT fixed product string" << "";
    // A product string is published as it is or not at all.
    const QString takes = QStringLiteral("; it takes 1 to 63 Latin-1 characters and no control characters");
    QTest::newRow("sim --product too long") << "zenta-sim" << QStringList{"--product", QString(64, 'x')} << false << 2
                                            << "" << "zenta-sim: --product: 64 characters" + takes;
    QTest::newRow("sim --product empty") << "zenta-sim" << QStringList{"--product", ""} << false << 2 << ""
                                         << "zenta-sim: --product: an empty text" + takes;
    QTest::newRow("sim --product beyond Latin-1")
        << "zenta-sim" << QStringList{"--product", QString::fromUtf8("ZENTA \u20ac driver")} << false << 2 << ""
        << QString::fromUtf8("zenta-sim: --product: the character \"\u20ac\" (U+20AC), which is not a Latin-1 "
                             "character") + takes;
    QTest::newRow("sim --product with a line end")
        << "zenta-sim" << QStringList{"--product", "ZENTA\nCFG05"} << false << 2 << ""
        << "zenta-sim: --product: the control character 0x0A" + takes;
    QTest::newRow("sim --product without its text") << "zenta-sim" << QStringList{"--product"} << false << 2 << ""
                                                    << "usage: zenta-sim";
}

void CommandLineTest::answers()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(bool, display);
    QFETCH(int, code);
    QFETCH(QString, out);
    QFETCH(QString, err);

    const Run r = run(program, args, display);
    QVERIFY2(r.code == code, qPrintable(QString("exit %1, stderr: %2").arg(r.code).arg(r.err)));
    if (out.endsWith('\n'))
        QCOMPARE(r.out, out);
    else if (out.isEmpty())
        QCOMPARE(r.out, QString());
    else
        QVERIFY2(r.out.contains(out), qPrintable(r.out));
    QVERIFY2(r.err.contains(err), qPrintable(r.err));
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_command_line.moc"

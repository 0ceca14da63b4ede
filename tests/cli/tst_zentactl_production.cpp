// docs/production.md's line set-up script, taken from the page as it
// stands and run against simulated drivers: the page's commands and exit
// statuses must keep working.
#include "Zentactl.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

using namespace clitest;
using simtest::SimProcess;

namespace {

constexpr int kDrivers = 3;
// The script runs several zentactl commands, each bounded on its own.
constexpr int kScriptMs = 180000;

QString sourceDir()
{
    return qEnvironmentVariable("ZENTA_SOURCE_DIR", QStringLiteral(ZENTA_SOURCE_FALLBACK));
}

// The page's one shell block that is a script (it starts "#!/bin/sh").
QByteArray scriptOfThePage(QString *why)
{
    QFile f(sourceDir() + "/docs/production.md");
    if (!f.open(QIODevice::ReadOnly)) {
        *why = "docs/production.md cannot be read";
        return {};
    }
    const QString page = QString::fromUtf8(f.readAll());
    const QRegularExpression block("^```sh\\n(#!/bin/sh\\n.*?)^```$",
                                   QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption);
    QList<QByteArray> found;
    for (auto it = block.globalMatch(page); it.hasNext();)
        found << it.next().captured(1).toUtf8();
    if (found.size() != 1)
        *why = QString("docs/production.md holds %1 scripts, not one").arg(found.size());
    return found.size() == 1 ? found.front() : QByteArray();
}

const QByteArray kLineSettingsFile = "[ZENTA-KDR-V3 driver settings, format 1]\r\n"
                                     "DeviceName=01\r\n"
                                     "RunCurrent=1.5\r\n"
                                     "IdleCurrent=0\r\n"
                                     "Microstep=2\r\n"
                                     "ControlMode=USB\r\n"
                                     "TimeOut=250\r\n"
                                     "DOPolarity=1\r\n"
                                     "DIPolarity=0\r\n"
                                     "DOBoot=2\r\n"
                                     "AutoRun0=1\r\n"
                                     "AutoRun1=0\r\n";
const char *const kFileState = "p6=15 p8=21 p9=2 pa=1 pb=250 pol=1 doboot=2 sload=1";
// Counts to three and ends: V1 tells that it ran to its end.
const QByteArray kProgram = "PRG 0\r\nV1=0\r\nWHILE V1<3\r\n  V1=V1+1\r\n  DELAY=10\r\nENDWHILE\r\nEND\r\n";

std::string values(SimProcess &sim)
{
    std::string s;
    for (const char *key : {"p6", "p8", "p9", "pa", "pb", "pol", "doboot", "sload"})
        s += (s.empty() ? "" : " ") + std::string(key) + "=" + sim.state(key);
    return s;
}

}  // namespace

class ZentactlProductionTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Bench> bench;
    QStringList serials;

private slots:
    void init()
    {
        bench = std::make_unique<Bench>();
        QVERIFY(bench->devices.isValid() && bench->work.isValid());
        serials.clear();
        // Real time, so that the program runs to its end while the script waits.
        for (int i = 1; i <= kDrivers; ++i) {
            serials << QString("line%1d%2").arg(QCoreApplication::applicationPid()).arg(i);
            bench->startSim(serials.back(), QString("CFG%1").arg(i, 2, 10, QChar('0')), false);
        }
    }

    void cleanup() { bench.reset(); }

    void lineSetUp_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<int>("exit");
        QTest::newRow("every driver done") << "" << 0;
        QTest::newRow("a driver that does not answer") << "silent" << 8;
        QTest::newRow("a driver held by another program") << "held" << 8;
        QTest::newRow("a program that does not compile") << "bad program" << 2;
        QTest::newRow("a settings file that fails its checks") << "bad settings" << 2;
        QTest::newRow("a backup folder through a regular file") << "bad backups" << 2;
    }
    void lineSetUp()
    {
        QFETCH(QString, situation);
        QFETCH(int, exit);
        QString why;
        const QByteArray script = scriptOfThePage(&why);
        QVERIFY2(!script.isEmpty(), qPrintable(why));
        writeFile(bench->file("line-setup.sh"), script);
        writeFile(bench->file("line.ini"),
                  situation == "bad settings" ? QByteArray(kLineSettingsFile).replace("Microstep=2", "Microstep=3")
                                              : kLineSettingsFile);
        writeFile(bench->file("line.prg"),
                  situation == "bad program" ? QByteArray(kProgram).replace("ENDWHILE", "ENDIF") : kProgram);
        writeFile(bench->file("plain"), "a file");
        const QString backups = situation == "bad backups" ? "plain/backups" : "backups";
        // The second driver is the one that fails, where one does.
        SimProcess &odd = *bench->sims[1];
        simtest::Fd held;
        if (situation == "silent")
            QCOMPARE(odd.ctl("silent on"), std::string("OK"));
        if (situation == "held") {
            int granted = -1;
            held.fd = odd.connectDevice(granted);
            QCOMPARE(granted, 1);
        }
        std::vector<std::string> connections;
        for (auto &sim : bench->sims)
            connections.push_back(sim->state("connections"));

        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TOLLANCOM_DIR", bench->devices.path());
        env.insert("PATH", QFileInfo(simtest::builtBinary("zentactl")).absolutePath() + ":" + env.value("PATH"));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(bench->work.path());
        p.start("sh", {"line-setup.sh", "line.ini", "line.prg", backups});
        QVERIFY(p.waitForStarted(kRunMs));
        if (!p.waitForFinished(kScriptMs)) {
            p.kill();
            p.waitForFinished(kRunMs);
        }
        const QByteArray out = p.readAllStandardOutput(), err = p.readAllStandardError();
        const QByteArray said = "exit " + QByteArray::number(p.exitCode()) + "\n" + out + err;
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == exit, said.constData());

        if (exit == 2) {
            // Refused before any driver was touched.
            for (std::size_t i = 0; i < bench->sims.size(); ++i)
                QCOMPARE(bench->sims[i]->state("connections"), connections[i]);
            QVERIFY(!QDir(bench->file("backups")).exists() ||
                    QDir(bench->file("backups")).entryList(QDir::Files).isEmpty());
            return;
        }
        // One line per driver, in the table, and each done driver set up:
        // its settings stored, the program downloaded and run to its end.
        const QList<QByteArray> lines = out.split('\n');
        QVERIFY2(lines.front().startsWith("SERIAL"), said.constData());
        for (int i = 0; i < kDrivers; ++i) {
            SimProcess &sim = *bench->sims[std::size_t(i)];
            const bool fails = exit == 8 && i == 1;
            QByteArray row;
            for (const QByteArray &l : lines)
                if (l.startsWith(serials[i].toUtf8() + " "))
                    row = l;
            QVERIFY2(!row.isEmpty(), said.constData());
            if (fails) {
                QVERIFY2(row.contains(situation == "silent" ? "failed at set (exit 6)" : "failed at set (exit 5)"),
                         said.constData());
                QCOMPARE(sim.state("lines"), std::string("0"));
                continue;
            }
            QVERIFY2(row.endsWith(" done"), said.constData());
            QCOMPARE(bench->run({"-d", serials[i], "var", "V1"}).out, QByteArray("V1=3\n"));
            QCOMPARE(sim.ctl("power-cycle"), std::string("OK"));
            QCOMPARE(values(sim), std::string(kFileState));
            QCOMPARE(sim.state("lines"), std::string("7"));
            QCOMPARE(sim.state("program"), std::string("stored"));
        }
        QCOMPARE(QDir(bench->file("backups")).entryList(QDir::Files).size(), exit == 0 ? kDrivers : kDrivers - 1);
    }
};

QTEST_GUILESS_MAIN(ZentactlProductionTest)
#include "tst_zentactl_production.moc"

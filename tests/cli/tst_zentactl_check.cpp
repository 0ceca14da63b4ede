// What a production line checks with zentactl, against real zenta-sim
// processes: settings diff, settings set --backup (and a device that holds
// the file already, which gets no set command), and program verify.
#include "Zentactl.h"

#include "zenta/lang/compiler.hpp"
#include "zenta/lang/program.hpp"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

using namespace clitest;
using simtest::SimProcess;

namespace {

// What the device holds that a settings file or a program is about, and
// its flash: a run that changes nothing leaves this as it was.
std::string held(SimProcess &sim)
{
    std::string s;
    for (const char *key : {"name", "pending", "flash", "p1", "p2", "p6", "p7", "p8", "p9", "pa", "pb", "pol", "doboot",
                            "sload", "program", "lines"})
        s += std::string(key) + "=" + sim.state(key) + " ";
    return s;
}

// A serial no other test uses, even when tests run side by side.
QString uniqueSerial()
{
    static int n = 0;
    return QString("chk%1x%2").arg(QCoreApplication::applicationPid()).arg(++n);
}

// The file's values as the simulator keeps them, and their defaults.
const char *const kFileState = "p6=15 p8=21 p9=2 pa=1 pb=250 pol=1 doboot=2 sload=2";
const char *const kDefaultState = "p6=10 p8=5 p9=4 pa=1 pb=100 pol=0 doboot=0 sload=0";

std::string values(SimProcess &sim)
{
    std::string s;
    for (const char *key : {"p6", "p8", "p9", "pa", "pb", "pol", "doboot", "sload"})
        s += (s.empty() ? "" : " ") + std::string(key) + "=" + sim.state(key);
    return s;
}

const QByteArray kCount = "PRG 0\r\nV1=0\r\nWHILE V1<5\r\n  V1=V1+1\r\n  DELAY=100\r\nENDWHILE\r\nEND\r\n";
const QByteArray kTwoThreads = kCount + "PRG 1\r\nX500\r\nEND\r\n";

}  // namespace

class ZentactlCheckTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Bench> bench;
    QString serial;

    SimProcess &sim() { return *bench->sims.front(); }
    Result run(const QStringList &args, const QByteArray &input = {}) { return bench->run(args, input); }
    long frames() { return number(sim(), "frames"); }

    // The frames one run of zentactl sends.
    long framesOf(const QStringList &args, int exit)
    {
        const long before = frames();
        const Result r = run(args);
        if (r.exit != exit)
            qWarning("%s: exit %d: %s", qPrintable(args.join(' ')), r.exit, r.err.constData());
        return r.exit == exit ? frames() - before : -1;
    }

private slots:
    void init()
    {
        bench = std::make_unique<Bench>();
        QVERIFY(bench->devices.isValid() && bench->work.isValid());
        serial = uniqueSerial();
        bench->startSim(serial, "CFG01");
    }

    void cleanup() { bench.reset(); }

    // The device as `arrange` leaves it against the file changed by
    // `from` -> `to`: each setting that differs on its own line, in the
    // file's order, status 9; none, status 0. Nothing is sent but reads.
    void diff_data()
    {
        QTest::addColumn<QStringList>("arrange");  // raw commands after the file is set
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("equal") << QStringList{} << QByteArray() << QByteArray() << QStringList{} << 0
                               << QByteArray("CFG01: no setting differs from s.ini\n");
        QTest::newRow("one differs") << QStringList{"P6=8"} << QByteArray() << QByteArray() << QStringList{} << 9
                                     << QByteArray("RunCurrent: device 0.8, file 1.5\n");
        QTest::newRow("several differ") << QStringList{"P6=8", "PB=300", "SLOAD=1", "PA=2"} << QByteArray()
                                        << QByteArray() << QStringList{} << 9
                                        << QByteArray("RunCurrent: device 0.8, file 1.5\n"
                                                      "ControlMode: device Analog, file USB\n"
                                                      "TimeOut: device 300, file 250\n"
                                                      "AutoRun0: device 1, file 0\n"
                                                      "AutoRun1: device 0, file 1\n");
        QTest::newRow("the file differs") << QStringList{} << QByteArray("IdleCurrent=0") << QByteArray("IdleCurrent=0.3")
                                          << QStringList{} << 9 << QByteArray("IdleCurrent: device 0, file 0.3\n");
        QTest::newRow("only the ID, not compared")
            << QStringList{} << QByteArray("DeviceName=01") << QByteArray("DeviceName=07") << QStringList{} << 0
            << QByteArray("CFG01: no setting differs from s.ini (its device ID 01 does; --with-id compares it)\n");
        QTest::newRow("only the ID, compared")
            << QStringList{} << QByteArray("DeviceName=01") << QByteArray("DeviceName=07") << QStringList{"--with-id"}
            << 9 << QByteArray("DeviceName: device 01, file 07\n");
        QTest::newRow("the same ID, compared") << QStringList{} << QByteArray() << QByteArray()
                                               << QStringList{"--with-id"} << 0
                                               << QByteArray("CFG01: no setting differs from s.ini\n");
        // Numbers by value, as a read-back is judged: the device writes 250
        // its own way.
        QTest::newRow("a number written otherwise") << QStringList{} << QByteArray("TimeOut=250")
                                                    << QByteArray("TimeOut=0250") << QStringList{} << 0
                                                    << QByteArray("CFG01: no setting differs from s.ini\n");
    }
    void diff()
    {
        QFETCH(QStringList, arrange);
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QStringList, options);
        QFETCH(int, exit);
        QFETCH(QByteArray, out);
        writeFile(bench->file("set.ini"), kSettingsFile);
        QCOMPARE(run({"settings", "set", "set.ini"}).exit, 0);
        for (const QString &command : arrange)
            QCOMPARE(run({"send", command}).out, QByteArray("OK\n"));
        writeFile(bench->file("s.ini"), from.isEmpty() ? kSettingsFile : QByteArray(kSettingsFile).replace(from, to));
        const std::string before = held(sim());

        const Result r = run(QStringList{"settings", "diff", "s.ini"} + options);
        QCOMPARE(r.exit, exit);
        QCOMPARE(r.out, out);
        QCOMPARE(r.err.isEmpty(), exit == 0);
        if (exit == 9)
            QVERIFY2(r.err.startsWith("zentactl: CFG01: ") && r.err.contains(" from s.ini"), r.err.constData());

        // The same in JSON: one object, the differences in it.
        const Result j = run(QStringList{"--json", "settings", "diff", "s.ini"} + options);
        QCOMPARE(j.exit, exit);
        QCOMPARE(j.out.count('\n'), 1);
        const QJsonObject o = jsonOf(j.out);
        QCOMPARE(o["device"].toString(), QString("CFG01"));
        QCOMPARE(o["file"].toString(), QString("s.ini"));
        QCOMPARE(o["same"].toBool(), exit == 0);
        const QJsonArray differences = o["differences"].toArray();
        QCOMPARE(differences.size(), exit == 0 ? 0 : out.count('\n'));
        for (const QJsonValue &d : differences)
            QVERIFY2(out.contains(d["setting"].toString().toUtf8() + ": device " + d["device"].toString().toUtf8() +
                                  ", file " + d["file"].toString().toUtf8() + "\n"),
                     j.out.constData());
        // A difference is an answer, not a failure: no error object.
        QVERIFY(!o.contains("error"));
        QCOMPARE(held(sim()), before);
    }

    // A file that fails its checks: refused as settings set refuses it
    // (one reader), before the device is so much as opened.
    void diffOfABadFile_data()
    {
        QTest::addColumn<QByteArray>("file");  // empty: none
        QTest::addColumn<QString>("message");
        QTest::newRow("no such file") << QByteArray() << "s.ini";
        QTest::newRow("a value not offered")
            << QByteArray(kSettingsFile).replace("Microstep=2", "Microstep=8")
            << "s.ini: line 5, key \"Microstep\": \"8\" is not one of the values offered";
        QTest::newRow("a setting missing") << QByteArray(kSettingsFile).replace("DOBoot=2\r\n", "")
                                           << "key \"DOBoot\": missing";
        QTest::newRow("not a settings file") << QByteArray("RunCurrent=1.5\r\n") << "this is not a driver settings file";
    }
    void diffOfABadFile()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, message);
        if (!file.isEmpty())
            writeFile(bench->file("s.ini"), file);
        const std::string connections = sim().state("connections");
        const Result diff = run({"settings", "diff", "s.ini"});
        QCOMPARE(diff.exit, 2);
        QVERIFY2(diff.out.isEmpty(), diff.out.constData());
        QVERIFY2(QString::fromUtf8(diff.err).contains(message), diff.err.constData());
        const Result set = run({"settings", "set", "s.ini"});
        QCOMPARE(set.exit, diff.exit);
        QCOMPARE(set.err, diff.err);
        // A line refuses it once, before any device is opened.
        const Result line = run({"-d", "all", "settings", "diff", "s.ini"});
        QCOMPARE(line.exit, 2);
        QCOMPARE(line.err, diff.err);
        QCOMPARE(sim().state("connections"), connections);
    }

    // The backup is what settings get writes for the device as it was,
    // named by device, serial and UTC time; the path is printed.
    void backupIsWhatGetReads_data()
    {
        QTest::addColumn<bool>("json");
        QTest::newRow("text") << false;
        QTest::newRow("json") << true;
    }
    void backupIsWhatGetReads()
    {
        QFETCH(bool, json);
        for (const char *command : {"P6=8", "PA=2", "PB=77", "POL=2"})
            QCOMPARE(run({"send", command}).out, QByteArray("OK\n"));
        const Result got = run({"settings", "get", "-"});
        QCOMPARE(got.exit, 0);
        writeFile(bench->file("s.ini"), kSettingsFile);
        QVERIFY(QDir(bench->work.path()).mkdir("backups"));
        const QDateTime started = QDateTime::currentDateTimeUtc();

        const Result r = run((json ? QStringList{"--json"} : QStringList{}) +
                             QStringList{"settings", "set", "s.ini", "--backup", "backups"});
        QVERIFY2(r.exit == 0, r.err.constData());
        const QStringList saved = QDir(bench->file("backups")).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(saved.size(), 1);
        const QString path = "backups/" + saved.front();
        if (json) {
            QCOMPARE(jsonOf(r.out)["backup"].toString(), path);
            QCOMPARE(jsonOf(r.out)["sent"].toBool(), true);
        } else {
            QVERIFY2(r.out.startsWith("CFG01: the settings it held are saved in " + path.toUtf8() + "\n"),
                     r.out.constData());
        }
        const QRegularExpressionMatch m =
            QRegularExpression("^CFG01_" + serial + "_(\\d{8}T\\d{6}Z)\\.ini$").match(saved.front());
        QVERIFY2(m.hasMatch(), qPrintable(saved.front()));
        const QDateTime stamp = QDateTime::fromString(m.captured(1), "yyyyMMdd'T'HHmmss'Z'");
        QVERIFY(stamp.isValid());
        QVERIFY2(stamp.toSecsSinceEpoch() + 1 >= started.toSecsSinceEpoch() - 1 &&
                     stamp.toSecsSinceEpoch() <= QDateTime::currentDateTimeUtc().toSecsSinceEpoch() + 1,
                 qPrintable(m.captured(1)));
        QCOMPARE(readFile(bench->file(path)), got.out);
        // And then the file went in.
        QCOMPARE(values(sim()), std::string(kFileState));
    }

    // A file the device refuses after the backup: the driver is put back,
    // and the failure names the backup (JSON too), which holds what it held.
    void aRefusedSetAfterTheBackupNamesIt()
    {
        QCOMPARE(run({"send", "P6=8"}).out, QByteArray("OK\n"));
        const Result got = run({"settings", "get", "-"});
        writeFile(bench->file("s.ini"), QByteArray(kSettingsFile).replace("TimeOut=250", "TimeOut=soon"));
        const std::string before = held(sim());
        const Result r = run({"--json", "settings", "set", "s.ini", "--backup", ".", "--store"});
        QCOMPARE(r.exit, 2);
        QVERIFY2(r.err.contains("the settings it held before were put back; nothing stored"), r.err.constData());
        const QJsonObject o = jsonOf(r.out);
        QCOMPARE(o["error"].toObject()["exit"].toInt(), 2);
        const QString path = o["backup"].toString();
        QVERIFY2(path.startsWith("./CFG01_" + serial + "_"), qPrintable(path));
        QCOMPARE(readFile(bench->file(path)), got.out);
        QCOMPARE(held(sim()), before);
    }

    // Backups within one second, and names taken already: none is
    // overwritten, each run gets a name of its own.
    void backupNamesAreNeverReused()
    {
        writeFile(bench->file("s.ini"), kSettingsFile);
        QVERIFY(QDir(bench->work.path()).mkdir("b"));
        // Every name this run could take without a suffix for two minutes,
        // taken already by an earlier backup.
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (int s = -2; s < 120; ++s) {
            const QString stamp = now.addSecs(s).toString("yyyyMMdd'T'HHmmss'Z'");
            writeFile(bench->file("b/CFG01_" + serial + "_" + stamp + ".ini"), "earlier " + stamp.toUtf8());
        }
        const QStringList earlier = QDir(bench->file("b")).entryList(QDir::Files);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(run({"settings", "set", "s.ini", "--backup", "b"}).exit, 0);
        const QStringList all = QDir(bench->file("b")).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(all.size(), earlier.size() + 3);
        for (const QString &name : earlier)
            QCOMPARE(readFile(bench->file("b/" + name)), "earlier " + name.mid(name.lastIndexOf('_') + 1).chopped(4).toUtf8());
        for (const QString &name : all)
            if (!earlier.contains(name))
                QVERIFY2(QRegularExpression("^CFG01_" + serial + "_\\d{8}T\\d{6}Z-\\d+\\.ini$").match(name).hasMatch(),
                         qPrintable(name));
    }

    // A folder no backup can be written in stops the run before the device
    // is opened: its settings stay, and nothing reaches it.
    void unwritableBackupFolderChangesNothing_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("message");
        QTest::newRow("through a regular file") << "plain/sub" << "--backup: plain/sub: Not a directory";
        QTest::newRow("a regular file") << "plain" << "--backup: plain is not a folder";
        QTest::newRow("no such folder") << "none" << "--backup: none: No such file or directory";
        QTest::newRow("empty") << "" << "--backup: \"\" is not a folder";
    }
    void unwritableBackupFolderChangesNothing()
    {
        QFETCH(QString, folder);
        QFETCH(QString, message);
        writeFile(bench->file("plain"), "a file, not a folder");
        writeFile(bench->file("s.ini"), kSettingsFile);
        const Result before = run({"-d", "CFG01", "settings", "get", "-"});
        // A line is refused as one device is, before any of its devices is opened.
        SimProcess &second = bench->startSim(uniqueSerial(), "CFG02");
        const std::string state = held(sim()), secondState = held(second);
        const std::string connections = sim().state("connections"), secondConnections = second.state("connections");
        for (const QStringList &extra : {QStringList{"-d", "CFG01"}, QStringList{"-d", "CFG01", "--store", "--rename"},
                                         QStringList{"-d", "all", "--store"}}) {
            const Result r = run(QStringList{"settings", "set", "s.ini", "--backup", folder} + extra);
            QVERIFY2(r.exit == (folder.isEmpty() ? 1 : 2), (QByteArray::number(r.exit) + r.err).constData());
            QVERIFY2(QString::fromUtf8(r.err).contains(message) && r.err.contains("nothing was sent"),
                     r.err.constData());
            QVERIFY2(r.out.isEmpty(), r.out.constData());
        }
        QCOMPARE(sim().state("connections"), connections);
        QCOMPARE(second.state("connections"), secondConnections);
        QCOMPARE(held(sim()), state);
        QCOMPARE(held(second), secondState);
        QCOMPARE(run({"-d", "CFG01", "settings", "get", "-"}).out, before.out);
        QCOMPARE(readFile(bench->file("plain")), QByteArray("a file, not a folder"));
    }

    // A device that holds the file's values gets no set command: the run
    // makes exactly the exchanges of settings diff, which only reads (one
    // more, STORE, with --store); a store still reaches the flash.
    void aDeviceThatHoldsTheFileGetsNoSetCommand_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("stores");
        QTest::newRow("plain") << QStringList{} << false;
        QTest::newRow("backup") << QStringList{"--backup", "."} << false;
        QTest::newRow("store") << QStringList{"--store"} << true;
        QTest::newRow("backup and store") << QStringList{"--store", "--backup", "."} << true;
        // The ID is the device's own without --rename, so it holds the file.
        QTest::newRow("another ID, kept") << QStringList{"--other-id"} << false;
    }
    void aDeviceThatHoldsTheFileGetsNoSetCommand()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, stores);
        const bool otherId = options.removeAll("--other-id") > 0;
        writeFile(bench->file("s.ini"), otherId ? QByteArray(kSettingsFile).replace("DeviceName=01", "DeviceName=07")
                                                : kSettingsFile);
        // Held by the running driver, not in its flash.
        QCOMPARE(run({"settings", "set", "s.ini"}).exit, 0);
        QCOMPARE(values(sim()), std::string(kFileState));
        const long reads = framesOf({"settings", "diff", "s.ini"}, 0);
        QVERIFY(reads > 0);

        const long before = frames();
        const Result r = run(QStringList{"--json", "settings", "set", "s.ini"} + options);
        QVERIFY2(r.exit == 0, r.err.constData());
        QCOMPARE(frames() - before, reads + (stores ? 1 : 0));
        const QJsonObject o = jsonOf(r.out);
        QCOMPARE(o["sent"].toBool(), false);
        QCOMPARE(o["stored"].toBool(), stores);
        QCOMPARE(o["id"].toString(), QString(otherId ? "kept" : "same"));
        const Result text = run(QStringList{"settings", "set", "s.ini"} + options);
        QVERIFY2(text.out.contains("CFG01: already holds every value of s.ini; no set command sent\n"),
                 text.out.constData());
        QCOMPARE(text.out.contains("CFG01: Store to Flash done!"), stores);
        QCOMPARE(sim().state("pending"), std::string("CFG01"));

        QCOMPARE(sim().ctl("power-cycle"), std::string("OK"));
        QCOMPARE(values(sim()), std::string(stores ? kFileState : kDefaultState));
    }

    // --rename with another ID in the file: not held yet, so the file goes.
    void anIdToSetIsSent()
    {
        writeFile(bench->file("s.ini"), kSettingsFile);
        QCOMPARE(run({"settings", "set", "s.ini"}).exit, 0);
        writeFile(bench->file("s.ini"), QByteArray(kSettingsFile).replace("DeviceName=01", "DeviceName=07"));
        const Result r = run({"--json", "settings", "set", "s.ini", "--rename"});
        QVERIFY2(r.exit == 0, r.err.constData());
        QCOMPARE(jsonOf(r.out)["sent"].toBool(), true);
        QCOMPARE(jsonOf(r.out)["id"].toString(), QString("set"));
        QCOMPARE(sim().state("pending"), std::string("CFG07"));
    }

    // The program the device holds against FILE compiled: the first line
    // that differs, as FILE has it and as the device's program text has it.
    void verify_data()
    {
        QTest::addColumn<QByteArray>("device");  // downloaded first; empty: none
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<int>("line");
        QTest::newRow("the same") << kCount << kCount << "f.prg" << 0
                                  << QByteArray("CFG01: the program is that of f.prg (7 compiled lines)\n") << 0;
        QTest::newRow("the same, another layout")
            << kCount << QByteArray(kCount).replace("  V1=V1+1", "V1 = V1 + 1 ; counted") << "f.prg" << 0
            << QByteArray("CFG01: the program is that of f.prg (7 compiled lines)\n") << 0;
        QTest::newRow("one line changed") << kCount << QByteArray(kCount).replace("V1+1", "V1+2") << "f.prg" << 9
                                          << QByteArray("line 4: device \"  V1=V1+1\", file \"  V1=V1+2\"\n") << 4;
        QTest::newRow("the file has a line more")
            << kCount << QByteArray(kCount).replace("ENDWHILE\r\n", "ENDWHILE\r\nX500\r\n") << "f.prg" << 9
            << QByteArray("line 7: device \"END\", file \"X500\"\n") << 7;
        QTest::newRow("the file is shorter") << kTwoThreads << kCount << "f.prg" << 9
                                             << QByteArray("line 8: device \"PRG 1\", file (its program ends before it)\n")
                                             << 8;
        QTest::newRow("the file is longer") << kCount << kTwoThreads << "f.prg" << 9
                                            << QByteArray("line 8: device (its program ends before it), file \"PRG 1\"\n")
                                            << 8;
        QTest::newRow("a line moved down") << kCount << QByteArray(kCount).replace("V1=0\r\n", "V1=0\r\n\r\n") << "f.prg"
                                           << 9 << QByteArray("line 4: device \"WHILE V1<5\" (its line 3), file \"WHILE V1<5\"\n")
                                           << 4;
        QTest::newRow("no program on the device") << QByteArray() << kCount << "f.prg" << 9
                                                  << QByteArray("line 1: device (no program), file \"PRG 0\"\n") << 1;
        // A compiled file is named by its compiled lines.
        QTest::newRow("a compiled file") << kCount << QByteArray("COMPILED") << "f.txt" << 9
                                         << QByteArray("compiled line 4: device \"4 V1=V1+1\", file \"4 V1=V1+3\"\n") << 4;
    }
    void verify()
    {
        QFETCH(QByteArray, device);
        QFETCH(QByteArray, file);
        QFETCH(QString, name);
        QFETCH(int, exit);
        QFETCH(QByteArray, out);
        QFETCH(int, line);
        if (file == "COMPILED") {
            const auto compiled =
                zenta::lang::formatCompiled(zenta::lang::compile(kCount.toStdString()).program.code);
            file.clear();
            for (const std::string &l : compiled)
                file += QByteArray::fromStdString(l).replace("V1=V1+1", "V1=V1+3") + "\r\n";
        }
        writeFile(bench->file(name), file);
        if (!device.isEmpty()) {
            writeFile(bench->file("device.prg"), device);
            QCOMPARE(run({"program", "download", "device.prg"}).exit, 0);
        }
        const std::string before = held(sim());
        // Read back as upload reads it: the same exchanges.
        const long uploaded = device.isEmpty() ? -2 : framesOf({"program", "upload"}, 0);

        const long start = frames();
        const Result r = run({"program", "verify", name});
        QCOMPARE(r.exit, exit);
        QCOMPARE(r.out, out);
        if (!device.isEmpty())
            QCOMPARE(frames() - start, uploaded);
        if (exit == 9)
            QCOMPARE(r.err, "zentactl: CFG01: the program differs from " + name.toUtf8() + " at " +
                                (name.endsWith(".prg") ? "line " : "compiled line ") + QByteArray::number(line) + "\n");

        const Result j = run({"--json", "program", "verify", name});
        QCOMPARE(j.exit, exit);
        const QJsonObject o = jsonOf(j.out);
        QCOMPARE(o["same"].toBool(), exit == 0);
        QCOMPARE(o["file"].toString(), name);
        QCOMPARE(o["difference"].toObject()["line"].toInt(), line);
        QVERIFY(!o.contains("error"));
        QCOMPARE(j.out.count('\n'), 1);
        QCOMPARE(held(sim()), before);
    }

    // A FILE that does not compile fails before anything is read.
    void verifyOfABadFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("message");
        QTest::newRow("does not compile") << "bad.prg" << QByteArray("PRG 0\r\nFOO\r\nEND\r\n") << "bad.prg:2: ";
        QTest::newRow("empty program") << "empty.prg" << QByteArray("; nothing\r\n") << "empty.prg: ";
        QTest::newRow("no such file") << "none.prg" << QByteArray() << "none.prg";
        QTest::newRow("a cut compiled file") << "cut.txt" << QByteArray("COMPILE OK 3 lines\r\n1 V1=1\r\n")
                                             << "cut.txt: ";
    }
    void verifyOfABadFile()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, file);
        QFETCH(QString, message);
        if (!file.isEmpty())
            writeFile(bench->file(name), file);
        const std::string connections = sim().state("connections");
        const Result r = run({"program", "verify", name});
        QCOMPARE(r.exit, 2);
        QVERIFY2(r.out.isEmpty(), r.out.constData());
        QVERIFY2(QString::fromUtf8(r.err).contains(message), r.err.constData());
        // As download refuses it.
        QCOMPARE(run({"program", "download", name}).err, r.err);
        QCOMPARE(sim().state("connections"), connections);
    }
};

QTEST_GUILESS_MAIN(ZentactlCheckTest)
#include "tst_zentactl_check.moc"

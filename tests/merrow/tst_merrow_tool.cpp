// The Merrow process against real zenta-sim processes: copies of the built
// tools in a temporary EXE folder with the library in the folder above, as
// the panel lays them out, started from another current directory and judged
// by their result files and exit codes.
#include "../lang/program_generator.hpp"
#include "../sim/SimProcess.h"

#include "Flash.h"
#include "zenta/lang/program.hpp"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

using simtest::SimProcess;

namespace {

// Guards against a hung tool; the busy retry alone takes about 2 s.
constexpr int kToolWaitMs = 30000;

struct Outcome {
    bool finished = false;
    int exitCode = -1;
};

QByteArray setup(const QString &ope, const QString &fil, const QString &dev, const QString &lin = " 1275")
{
    return QString("LIN:%1\r\nCOM:USB\r\nPOR:1\r\nBAU:9600\r\nDEV:%2\r\nOPE:%3\r\nFIL:%4\r\nMOD:ZENTA-KDR-V3\r\n")
        .arg(lin, dev, ope, fil)
        .toLatin1();
}

}  // namespace

class TstMerrowTool : public QObject {
    Q_OBJECT

    QTemporaryDir root_;       // the panel's folder: libTollanCom.so and EXE/
    QTemporaryDir elsewhere_;  // the tools' current directory
    QTemporaryDir devices_;    // the device folder the simulators publish in
    std::vector<std::unique_ptr<SimProcess>> sims_;

    QString exe(const QString &name = {}) const { return root_.filePath("EXE/" + name); }

    void put(const QString &name, const QByteArray &bytes)
    {
        QFile f(exe(name));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    QByteArray get(const QString &name) const
    {
        QFile f(exe(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    QList<QByteArray> lines(const QString &name) const
    {
        QList<QByteArray> l = get(name).split('\n');
        if (!l.isEmpty() && l.back().isEmpty())
            l.removeLast();
        for (QByteArray &x : l)
            if (x.endsWith('\r'))
                x.chop(1);
        return l;
    }

    void start(QProcess &p, const QString &tool)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TOLLANCOM_DIR", devices_.path());
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(elsewhere_.path());
        p.start(exe(tool), {});
    }

    Outcome run(const QString &tool)
    {
        QProcess p;
        start(p, tool);
        Outcome o;
        o.finished = p.waitForFinished(kToolWaitMs);
        if (!o.finished) {
            p.kill();
            p.waitForFinished(kToolWaitMs);
        }
        o.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return o;
    }

    SimProcess &startSim(const QString &serial, const QString &name, QStringList extra = {})
    {
        sims_.push_back(std::make_unique<SimProcess>(devices_.path(), serial));
        if (!sims_.back()->start(QStringList{"--name", name} + extra))
            qFatal("zenta-sim %s did not start", qPrintable(serial));
        return *sims_.back();
    }

    // Compiles `source` with Vorlag; the compiled lines, CompileOut.txt less its result line.
    QList<QByteArray> compile(const QByteArray &source)
    {
        put("Program.prg", source);
        put("vorlag_setup.txt", "MOD:ZENTA-QLX\r\nOPE:COMPILE\r\nFIL:Program.prg\r\n");
        if (run("Vorlag").exitCode != 0)
            return {"<compile failed>"};
        return lines("CompileOut.txt").mid(1);
    }

    Outcome download(const QString &dev, const QString &lin = " 1275")
    {
        put("merrow_setup.txt", setup("DOWNLOAD", "CompileOut.txt", dev, lin));
        return run("Merrow");
    }

    Outcome upload(const QString &dev)
    {
        put("merrow_setup.txt", setup("UPLOAD", "UploadOut.txt", dev, "1275"));
        return run("Merrow");
    }

    // The decompile the panel runs after an upload; the text or the report.
    QList<QByteArray> decompile()
    {
        put("vorlag_setup.txt", "MOD:ZENTA-QLX\r\nOPE:DECOMPILE\r\nFIL:UploadOut.txt\r\n");
        run("Vorlag");
        return lines("DecompileOut.prg");
    }

    void expectFailure(const Outcome &o, const QString &file, const QByteArray &reason)
    {
        QVERIFY(o.finished);
        QCOMPARE(o.exitCode, 1);
        const QList<QByteArray> l = lines(file);
        QVERIFY2(!l.isEmpty() && l.front().contains("FAILED"), l.join('|').constData());
        QVERIFY2(l.join(' ').contains(reason), l.join('|').constData());
    }

    void expectNoTemporaryFiles()
    {
        const QStringList known{"Merrow", "Vorlag", "Program.prg", "CompileOut.txt", "DownloadOut.txt", "UploadOut.txt",
                                "DecompileOut.prg", "merrow_setup.txt", "vorlag_setup.txt"};
        for (const QString &f : QDir(exe()).entryList(QDir::Files | QDir::NoDotAndDotDot))
            QVERIFY2(known.contains(f), qPrintable("left behind: " + f));
        QVERIFY(QDir(elsewhere_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root_.isValid() && elsewhere_.isValid() && devices_.isValid());
        const QString bin = qEnvironmentVariable("ZENTA_BIN_DIR");
        QVERIFY(QDir(root_.path()).mkpath("EXE"));
        for (const QString &f : {QString("EXE/Merrow"), QString("EXE/Vorlag"), QString("libTollanCom.so")}) {
            QVERIFY2(QFile::copy(bin + "/" + f, root_.filePath(f)), qPrintable(f));
            QFile::setPermissions(root_.filePath(f), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }

    void init()
    {
        // Stale results that a run must never let pass for its own.
        put("DownloadOut.txt", "DOWNLOAD OK\r\nstale\r\n");
        put("UploadOut.txt", "UPLOAD OK 1 lines\r\n1 X12345\r\n");
    }

    void cleanup()
    {
        sims_.clear();
        expectNoTemporaryFiles();
    }

    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("source");
        const QDir examples(qEnvironmentVariable("ZENTA_SOURCE_DIR") + "/examples");
        for (const QString &name : examples.entryList({"*.prg"}, QDir::Files)) {
            QFile f(examples.filePath(name));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QTest::newRow(qPrintable(name)) << f.readAll();
        }
        for (unsigned seed : {5u, 17u}) {
            ProgramGenerator g(seed);
            QTest::addRow("generated %u", seed) << QByteArray::fromStdString(g.file());
        }
        QTest::newRow("the largest program") << QByteArray("V1=V1+1\r\n").repeated(zenta::lang::kMaxCompiledLines);
    }

    // compile -> download -> upload -> decompile -> compile gives the same compiled lines.
    void roundTrip()
    {
        QFETCH(QByteArray, source);
        SimProcess &sim = startSim("a", "CFG05");
        const QList<QByteArray> compiled = compile(source);
        QVERIFY(!compiled.isEmpty() && compiled.front() != "<compile failed>");

        const Outcome d = download("05");
        QVERIFY(d.finished);
        QCOMPARE(d.exitCode, 0);
        const QList<QByteArray> report = lines("DownloadOut.txt");
        QCOMPARE(report.value(0), QByteArray("DOWNLOAD OK"));
        QVERIFY2(report.value(1).contains(QByteArray::number(compiled.size()) + " lines sent to device 05"),
                 report.join('|').constData());
        QCOMPARE(sim.state("lines"), std::to_string(compiled.size()));

        const Outcome u = upload("05");
        QVERIFY(u.finished);
        QCOMPARE(u.exitCode, 0);
        QCOMPARE(lines("UploadOut.txt").mid(1), compiled);
        const QList<QByteArray> text = decompile();
        QVERIFY2(!text.isEmpty() && !text.front().contains("FAILED"), text.join('|').constData());
        QCOMPARE(compile(text.join("\r\n") + "\r\n"), compiled);
    }

    void deviceFoundAmongTwoByItsId()
    {
        SimProcess &a = startSim("a", "CFG03");
        SimProcess &b = startSim("b", "CFG07");
        QVERIFY(!compile("X7\r\nDO1=1\r\n").isEmpty());
        QCOMPARE(download("07").exitCode, 0);
        QCOMPARE(a.state("program"), std::string("none"));
        QCOMPARE(b.state("program"), std::string("stored"));
        QVERIFY(lines("DownloadOut.txt").value(1).contains("device 07 (CFG07)"));

        QCOMPARE(upload("07").exitCode, 0);
        QCOMPARE(lines("UploadOut.txt").mid(1), (QList<QByteArray>{"1 X7", "2 DO1=1"}));
        // The other one has nothing to give, and says so through the decompile.
        expectFailure(upload("03"), "UploadOut.txt", "holds no program");
        const QList<QByteArray> report = decompile();
        QVERIFY2(report.value(0).contains("FAILED") && report.join(' ').contains("holds no program"),
                 report.join('|').constData());
    }

    void noSuitableDevice_data()
    {
        QTest::addColumn<QStringList>("names");  // one simulator each
        QTest::addColumn<QString>("dev");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("no match") << QStringList{"CFG03", "CFG07"} << "09"
                                  << QByteArray("No device has the ID 09. Devices found: 2, IDs 03, 07.");
        QTest::newRow("two with the ID") << QStringList{"CFG03", "CFG03"} << "03"
                                         << QByteArray("More than one device has the ID 03");
        QTest::newRow("no ID, two devices") << QStringList{"CFG03", "CFG07"} << ""
                                            << QByteArray("more than one device is present");
        QTest::newRow("no device at all") << QStringList{} << "05" << QByteArray("No device found");
        QTest::newRow("an ID of another length") << QStringList{"CFG03"} << "3" << QByteArray("No device has the ID 3.");
    }

    void noSuitableDevice()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, dev);
        QFETCH(QByteArray, reason);
        for (int k = 0; k < names.size(); ++k)
            startSim(QString("s%1").arg(k), names[k]);
        QVERIFY(!compile("X1\r\n").isEmpty());
        expectFailure(download(dev), "DownloadOut.txt", reason);
        expectFailure(upload(dev), "UploadOut.txt", reason);
        for (auto &sim : sims_) {
            QCOMPARE(sim->state("program"), std::string("none"));
            // Each product string already says the device cannot be the one
            // (or that two are): none was opened.
            QCOMPARE(sim->state("connections"), std::string("0"));
        }
    }

    // Opening a device keeps every other program from it: the loader opens
    // only a device whose product string names the wanted ID, and asks "DN"
    // only of one whose product string names none.
    void opensOnlyTheDevicesThatMayBeTheOne_data()
    {
        QTest::addColumn<QByteArray>("productOfB");  // empty: as the simulator writes it
        QTest::newRow("named in its product string") << QByteArray();
        QTest::newRow("its product string names none") << QByteArray("Zenta driver");
        QTest::newRow("named in lower case among other words") << QByteArray("zenta cfg07 unit");
    }
    void opensOnlyTheDevicesThatMayBeTheOne()
    {
        QFETCH(QByteArray, productOfB);
        SimProcess &a = startSim("a", "CFG03");
        SimProcess &b = startSim("b", "CFG07");
        SimProcess &c = startSim("c", "CFG09");
        if (!productOfB.isEmpty()) {
            QFile product(b.file(".product"));
            QVERIFY(product.open(QIODevice::WriteOnly | QIODevice::Truncate));
            product.write(productOfB);
        }
        QVERIFY(!compile("X7\r\n").isEmpty());
        QCOMPARE(download("07").exitCode, 0);
        QCOMPARE(b.state("program"), std::string("stored"));
        QCOMPARE(upload("07").exitCode, 0);
        QCOMPARE(lines("UploadOut.txt").mid(1), (QList<QByteArray>{"1 X7"}));
        QCOMPARE(b.state("connections"), std::string("2"));
        for (SimProcess *other : {&a, &c}) {
            QCOMPARE(other->state("connections"), std::string("0"));
            QCOMPARE(other->state("frames"), std::string("0"));
        }

        // Held by another program meanwhile, another device is not even
        // tried: its only connection stays the holder's.
        int granted = 0;
        const int fd = a.connectDevice(granted);
        QCOMPARE(granted, 1);
        QCOMPARE(download("07").exitCode, 0);
        QCOMPARE(a.state("connections"), std::string("1"));
        close(fd);
    }

    // A USB driver's product string is fixed in its firmware and may name no
    // device: the loader then knows a device by its answer to "DN", and one
    // that is busy or silent has no ID it could go by.
    void findsTheDeviceByTheIdItAnswers_data()
    {
        QTest::addColumn<QString>("stateOfA");  // "", "busy" or "silent"
        QTest::addColumn<QString>("nameOfB");
        QTest::addColumn<QByteArray>("productOfB");  // empty: its name
        QTest::addColumn<QByteArray>("reason");      // empty: the download succeeds on a
        QTest::newRow("beside one its product string names") << "" << "CFG07" << QByteArray() << QByteArray();
        QTest::newRow("beside another that names none")
            << "" << "CFG07" << QByteArray("ZENTA CFG USB driver") << QByteArray();
        QTest::newRow("two answer the ID") << "" << "CFG05" << QByteArray("ZENTA CFG USB driver")
                                           << QByteArray("More than one device has the ID 05. Devices found: 2, IDs 05, 05.");
        QTest::newRow("the one with the ID is busy")
            << "busy" << "CFG07" << QByteArray("ZENTA CFG USB driver")
            << QByteArray("No device has the ID 05. Devices found: 2, IDs 07, 1 busy (held by another program).");
        QTest::newRow("the one with the ID is silent")
            << "silent" << "CFG07" << QByteArray("ZENTA CFG USB driver")
            << QByteArray("No device has the ID 05. Devices found: 2, IDs 07, 1 not answering.");
    }
    void findsTheDeviceByTheIdItAnswers()
    {
        QFETCH(QString, stateOfA);
        QFETCH(QString, nameOfB);
        QFETCH(QByteArray, productOfB);
        QFETCH(QByteArray, reason);
        SimProcess &a = startSim("a", "CFG05", {"--product", "ZENTA CFG USB driver"});
        SimProcess &b = startSim("b", nameOfB,
                                 productOfB.isEmpty() ? QStringList{} : QStringList{"--product", QString(productOfB)});
        int held = -1;
        auto release = qScopeGuard([&held] {
            if (held >= 0)
                close(held);
        });
        if (stateOfA == "busy") {
            int granted = 0;
            held = a.connectDevice(granted);
            QCOMPARE(granted, 1);
        }
        if (stateOfA == "silent")
            QCOMPARE(a.ctl("silent on"), std::string("OK"));
        QVERIFY(!compile("X5\r\n").isEmpty());
        if (!reason.isEmpty()) {
            expectFailure(download("05"), "DownloadOut.txt", reason);
            QCOMPARE(b.state("program"), std::string("none"));
        } else {
            QCOMPARE(download("05").exitCode, 0);
            QVERIFY2(lines("DownloadOut.txt").value(1).contains("device 05 (CFG05)"),
                     lines("DownloadOut.txt").join('|').constData());
            QCOMPARE(b.state("program"), std::string("none"));
            QCOMPARE(upload("05").exitCode, 0);
            QCOMPARE(lines("UploadOut.txt").mid(1), (QList<QByteArray>{"1 X5"}));
        }
        if (stateOfA == "silent")
            QCOMPARE(a.ctl("silent off"), std::string("OK"));
        QCOMPARE(a.state("program"), std::string(reason.isEmpty() ? "stored" : "none"));
    }

    void emptyIdTakesTheOnlyDevice()
    {
        SimProcess &sim = startSim("a", "CFG05");
        QVERIFY(!compile("X1\r\n").isEmpty());
        QCOMPARE(download("").exitCode, 0);
        QCOMPARE(sim.state("program"), std::string("stored"));
    }

    void busyDevice()
    {
        SimProcess &sim = startSim("a", "CFG05");
        QVERIFY(!compile("X1\r\n").isEmpty());
        int granted = 0;
        int fd = sim.connectDevice(granted);
        QCOMPARE(granted, 1);
        expectFailure(download("05"), "DownloadOut.txt", "busy");
        QCOMPARE(sim.state("program"), std::string("none"));

        // Let go while the loader is still retrying: it gets the device.
        QProcess p;
        put("merrow_setup.txt", setup("DOWNLOAD", "CompileOut.txt", "05"));
        start(p, "Merrow");
        QVERIFY(p.waitForStarted(kToolWaitMs));
        QThread::msleep(300);
        close(fd);
        QVERIFY(p.waitForFinished(kToolWaitMs));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(sim.state("program"), std::string("stored"));
    }

    void programRefusedWithoutTouchingTheDevice_data()
    {
        QTest::addColumn<QByteArray>("compileOut");
        QTest::addColumn<QString>("lin");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("failed compile") << QByteArray("COMPILE FAILED\r\nError in line 2: x\r\nLine: 2\r\n") << " 1275"
                                        << QByteArray("did not compile");
        QTest::newRow("empty program") << QByteArray("COMPILE OK 0 lines\r\n") << " 1275" << QByteArray("empty");
        QTest::newRow("more lines than LIN") << QByteArray("COMPILE OK 3 lines\r\n1 X1\r\n2 X2\r\n3 X3\r\n") << " 2"
                                             << QByteArray("holds at most 2");
        QTest::newRow("cut short") << QByteArray("COMPILE OK 3 lines\r\n1 X1\r\n2 X2\r\n") << " 1275"
                                   << QByteArray("announces 3 compiled lines but 2 follow it");
        QTest::newRow("result line without a count") << QByteArray("COMPILE OK\r\n1 X1\r\n") << " 1275"
                                                     << QByteArray("does not name the count");
        QTest::newRow("not a compiler result") << QByteArray("1 X1\r\n") << " 1275"
                                               << QByteArray("not a result of the compiler");
        QTest::newRow("a line the device would refuse") << QByteArray("COMPILE OK 2 lines\r\n1 X1\r\n2 GOTO @9\r\n")
                                                        << " 1275" << QByteArray("Compiled line 2 is not valid");
        QTest::newRow("a line too long for a frame")
            << QByteArray("COMPILE OK 1 lines\r\n1 V1=" + QByteArray(50, '1') + "\r\n") << " 1275"
            << QByteArray("too long");
        QTest::newRow("no file") << QByteArray() << " 1275" << QByteArray("missing");
    }

    void programRefusedWithoutTouchingTheDevice()
    {
        QFETCH(QByteArray, compileOut);
        QFETCH(QString, lin);
        QFETCH(QByteArray, reason);
        SimProcess &sim = startSim("a", "CFG05");
        // The device serves someone else all along: any attempt to reach it would fail as busy.
        int granted = 0;
        const int fd = sim.connectDevice(granted);
        QCOMPARE(granted, 1);
        if (compileOut.isEmpty())
            QFile::remove(exe("CompileOut.txt"));
        else
            put("CompileOut.txt", compileOut);
        expectFailure(download("05", lin), "DownloadOut.txt", reason);
        QVERIFY(!lines("DownloadOut.txt").join(' ').contains("busy"));
        close(fd);
        QCOMPARE(sim.state("program"), std::string("none"));
    }

    void badSetup_data()
    {
        QTest::addColumn<QByteArray>("setupText");  // empty: no setup file
        QTest::addColumn<QString>("resultFile");
        QTest::addColumn<QByteArray>("reason");
        const QByteArray good = setup("DOWNLOAD", "CompileOut.txt", "05");
        QTest::newRow("no setup file") << QByteArray() << "DownloadOut.txt" << QByteArray("missing");
        QTest::newRow("other model") << QByteArray(good).replace("ZENTA-KDR-V3", "ZENTA-QLX") << "DownloadOut.txt"
                                     << QByteArray("Unknown model in MOD: ZENTA-QLX");
        QTest::newRow("other model, uploading")
            << setup("UPLOAD", "UploadOut.txt", "05").replace("ZENTA-KDR-V3", "X") << "UploadOut.txt"
            << QByteArray("Unknown model");
        QTest::newRow("no model") << QByteArray(good).replace("MOD:ZENTA-KDR-V3\r\n", "") << "DownloadOut.txt"
                                  << QByteArray("no MOD");
        QTest::newRow("unknown operation") << QByteArray(good).replace("DOWNLOAD", "ERASE") << "DownloadOut.txt"
                                           << QByteArray("Unknown operation in OPE: ERASE");
        QTest::newRow("no FIL") << QByteArray(good).replace("FIL:CompileOut.txt\r\n", "") << "DownloadOut.txt"
                                << QByteArray("FIL");
        QTest::newRow("FIL with a path") << QByteArray(good).replace("FIL:", "FIL:../") << "DownloadOut.txt"
                                         << QByteArray("FIL must name a file");
        QTest::newRow("LIN not a number") << QByteArray(good).replace("LIN: 1275", "LIN:many") << "DownloadOut.txt"
                                          << QByteArray("LIN must be");
        QTest::newRow("no LIN") << QByteArray(good).replace("LIN: 1275\r\n", "") << "DownloadOut.txt"
                                << QByteArray("no LIN");
        QTest::newRow("serial port") << QByteArray(good).replace("COM:USB", "COM:COM1") << "DownloadOut.txt"
                                     << QByteArray("Unknown connection in COM: COM1");
        QTest::newRow("a line that is no entry") << QByteArray(good) + "garbage\r\n" << "DownloadOut.txt"
                                                 << QByteArray("not KEY:VALUE");
    }

    void badSetup()
    {
        QFETCH(QByteArray, setupText);
        QFETCH(QString, resultFile);
        QFETCH(QByteArray, reason);
        SimProcess &sim = startSim("a", "CFG05");
        QVERIFY(!compile("X1\r\n").isEmpty());
        if (setupText.isEmpty())
            QFile::remove(exe("merrow_setup.txt"));
        else
            put("merrow_setup.txt", setupText);
        expectFailure(run("Merrow"), resultFile, reason);
        QCOMPARE(sim.state("program"), std::string("none"));
        if (resultFile == "UploadOut.txt") {
            const QList<QByteArray> report = decompile();
            QVERIFY2(report.value(0).contains("FAILED") && report.join(' ').contains(reason),
                     report.join('|').constData());
        }
    }

    // Without its device library the loader still ends with its report.
    void missingLibrary_data()
    {
        QTest::addColumn<QString>("ope");
        QTest::addColumn<QString>("resultFile");
        QTest::newRow("download") << "DOWNLOAD" << "DownloadOut.txt";
        QTest::newRow("upload") << "UPLOAD" << "UploadOut.txt";
    }
    void missingLibrary()
    {
        QFETCH(QString, ope);
        QFETCH(QString, resultFile);
        QVERIFY(!compile("X1\r\n").isEmpty());
        put("merrow_setup.txt", setup(ope, ope == "UPLOAD" ? "UploadOut.txt" : "CompileOut.txt", "05"));
        const QString library = root_.filePath("libTollanCom.so");
        QVERIFY(QFile::rename(library, library + ".away"));
        const Outcome o = run("Merrow");
        QVERIFY(QFile::rename(library + ".away", library));
        expectFailure(o, resultFile, "libTollanCom.so could not be loaded");
    }

    // The loader does not stop programs; the panel does before it starts it.
    void refusedWhileAProgramRuns()
    {
        SimProcess &sim = startSim("a", "CFG05");
        const QList<QByteArray> looping = compile("loop: DELAY=100\r\nGOTO loop\r\n");
        QCOMPARE(download("05").exitCode, 0);
        {
            int granted = 0;
            const int fd = sim.connectDevice(granted);
            QCOMPARE(granted, 1);
            QCOMPARE(simtest::exchange(fd, "SR0=1"), std::string("OK"));
            close(fd);
        }
        QVERIFY(!compile("X1\r\n").isEmpty());
        expectFailure(download("05"), "DownloadOut.txt", "A program is running on the device");
        QVERIFY(lines("DownloadOut.txt").join(' ').contains("keeps its previous program"));
        QCOMPARE(upload("05").exitCode, 0);  // reading it back needs no stop
        QCOMPARE(lines("UploadOut.txt").mid(1), looping);
    }

    void corruptProgramOnTheDevice()
    {
        QTemporaryDir tmp;
        const QString flash = tmp.filePath("dev.flash");
        QFile f(flash);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray::fromStdString(zsim::encodeFlash({{"PGM", "2"}, {"PGM0001", "1 X1"}})));
        f.close();
        SimProcess &sim = startSim("a", "CFG05", {"--flash", flash});
        QCOMPARE(sim.state("program"), std::string("corrupt"));
        expectFailure(upload("05"), "UploadOut.txt", "is corrupt");
        QVERIFY(decompile().join(' ').contains("is corrupt"));
        // A download heals it.
        QVERIFY(!compile("X1\r\n").isEmpty());
        QCOMPARE(download("05").exitCode, 0);
        QCOMPARE(upload("05").exitCode, 0);
    }

    void linkLostDuringTransfer_data()
    {
        QTest::addColumn<QString>("ope");
        QTest::newRow("download") << "DOWNLOAD";
        QTest::newRow("upload") << "UPLOAD";
    }

    // Unplugged part way: the loader fails with a report, and a cut download
    // leaves the device with its old program.
    void linkLostDuringTransfer()
    {
        QFETCH(QString, ope);
        SimProcess &sim = startSim("a", "CFG05");
        const QList<QByteArray> small = compile("X1\r\nX2\r\n");
        QCOMPARE(download("05").exitCode, 0);
        QVERIFY(compile(QByteArray("V1=V1+1\r\n").repeated(zenta::lang::kMaxCompiledLines)).size() > 1000);
        if (ope == "UPLOAD")
            QCOMPARE(download("05").exitCode, 0);
        QCOMPARE(sim.ctl("latency 2000"), std::string("OK"));  // about 2.5 s for the whole transfer

        const QString result = ope == "DOWNLOAD" ? "DownloadOut.txt" : "UploadOut.txt";
        QProcess p;
        put("merrow_setup.txt", setup(ope, result == "DownloadOut.txt" ? "CompileOut.txt" : "UploadOut.txt", "05"));
        start(p, "Merrow");
        QVERIFY(p.waitForStarted(kToolWaitMs));
        // Unplug once the transfer is under way (the device took some frames).
        bool underWay = false;
        for (int k = 0; k < 500 && !underWay; ++k) {
            QThread::msleep(10);
            underWay = ope == "DOWNLOAD" ? sim.state("transfer") != "-" : sim.state("client") == "1";
        }
        QVERIFY(underWay);
        QThread::msleep(200);
        QCOMPARE(sim.ctl("unplug"), std::string("OK"));
        QVERIFY(p.waitForFinished(kToolWaitMs));
        expectFailure(Outcome{true, p.exitCode()}, result,
                      ope == "DOWNLOAD" ? "The link to the device was lost. The device keeps its previous program."
                                        : "The link to the device was lost.");
        QCOMPARE(sim.ctl("replug"), std::string("OK"));
        QCOMPARE(sim.ctl("latency 0"), std::string("OK"));
        if (ope == "DOWNLOAD") {
            QCOMPARE(sim.state("lines"), std::string("2"));
            QCOMPARE(upload("05").exitCode, 0);
            QCOMPARE(lines("UploadOut.txt").mid(1), small);
        } else {
            QVERIFY(decompile().value(0).contains("FAILED"));
        }
    }
};

QTEST_GUILESS_MAIN(TstMerrowTool)
#include "tst_merrow_tool.moc"

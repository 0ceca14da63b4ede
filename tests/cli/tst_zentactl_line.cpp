// zentactl over several devices at once (-d all, lists, -d again), against
// several real zenta-sim processes in a private device folder: which
// devices a -d form chooses, the shape of the merged output, the line's
// exit status, a device that is frozen, unplugged or busy failing on its
// own line while the others finish, --jobs, and a signal that stops every
// axis the line set moving.
#include "Zentactl.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace clitest;
using simtest::SimProcess;

namespace {

QList<QByteArray> linesOf(const QByteArray &out)
{
    QList<QByteArray> l = out.split('\n');
    if (!l.isEmpty() && l.back().isEmpty())
        l.removeLast();
    return l;
}

QList<QJsonObject> objectsOf(const QByteArray &out)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : linesOf(out)) {
        QJsonParseError e{};
        const QJsonDocument d = QJsonDocument::fromJson(line, &e);
        if (e.error != QJsonParseError::NoError || !d.isObject())
            qWarning("not a JSON object: %s", line.constData());
        objects.push_back(d.object());
    }
    return objects;
}

// Each device's exit status, by serial, from a --json run.
QMap<QString, int> exitsBySerial(const QByteArray &out)
{
    QMap<QString, int> exits;
    for (const QJsonObject &o : objectsOf(out))
        exits[o["serial"].toString()] = o["exit"].toInt(-1);
    return exits;
}

// Until `p` ends, moving every simulator's time on.
Result finishWhileAdvancing(QProcess &p, Bench &b)
{
    for (int i = 0; i < 600 && !p.waitForFinished(20); ++i)
        for (auto &s : b.sims)
            s->ctl("advance 100");
    return Bench::finish(p);
}

// A USB driver stood in for: a sysfs tree under `root` with one driver
// that presents `serial`, its node served by the simulator's model behind
// the report framing. The device library finds it through TOLLANCOM_SYSFS
// and TOLLANCOM_DEVROOT, set while it lives.
class UsbDriver {
public:
    UsbDriver(const QString &root, const QByteArray &serial, const QString &name,
              const QByteArray &product = "ZENTA CFG USB driver")
    {
        const QString usb = root + "/sys/devices/usb1/1-1", hid = usb + "/1-1:1.0/0003:1234:5678.0001";
        QDir().mkpath(hid);
        QDir().mkpath(root + "/sys/class/hidraw/hidraw0");
        QDir().mkpath(root + "/dev");
        writeFile(usb + "/product", product + "\n");
        writeFile(usb + "/serial", serial + "\n");
        if (::symlink("../../../devices/usb1/1-1/1-1:1.0/0003:1234:5678.0001",
                      QFile::encodeName(root + "/sys/class/hidraw/hidraw0/device").constData()) != 0)
            return;
        // The seams are believed only from folders that are ours alone.
        for (const QString &dir : {root + "/sys", root + "/dev"})
            if (::chmod(QFile::encodeName(dir).constData(), 0700) != 0)
                return;
        peer_.start(QCoreApplication::applicationDirPath() + "/tollancom_hid_peer",
                    {"--socket", root + "/dev/hidraw0", "--name", name});
        ready = peer_.waitForReadyRead(kRunMs) && peer_.readLine() == "ready\n";
        qputenv("TOLLANCOM_SYSFS", QFile::encodeName(root + "/sys"));
        qputenv("TOLLANCOM_DEVROOT", QFile::encodeName(root + "/dev"));
    }
    ~UsbDriver()
    {
        qunsetenv("TOLLANCOM_SYSFS");
        qunsetenv("TOLLANCOM_DEVROOT");
        peer_.closeWriteChannel();
        if (!peer_.waitForFinished(kRunMs))
            peer_.kill();
        peer_.waitForFinished(kRunMs);
    }
    bool ready = false;

private:
    QProcess peer_;
};

}  // namespace

class ZentactlLineTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Bench> bench;
    int serialCount = 0;
    QMap<QString, SimProcess *> simBySerial;

    SimProcess &startSim(const QString &serial, const QString &name, bool lockstep = true, const QString &product = {})
    {
        SimProcess &s = bench->startSim(serial, name, lockstep, product);
        simBySerial[serial] = &s;
        return s;
    }

    Result run(const QStringList &args, const QByteArray &input = {}) { return bench->run(args, input); }

    // Simulators with serials no other test uses.
    QStringList startLine(const QStringList &names, bool lockstep = true, const QString &product = {})
    {
        QStringList serials;
        for (const QString &n : names) {
            const QString serial = QString("line%1x%2").arg(::getpid()).arg(++serialCount);
            startSim(serial, n, lockstep, product);
            serials << serial;
        }
        return serials;
    }

    SimProcess &simOf(const QString &serial)
    {
        if (!simBySerial.contains(serial))
            qFatal("no simulator %s", qPrintable(serial));
        return *simBySerial[serial];
    }

    long framesOfAll()
    {
        long n = 0;
        for (auto &s : bench->sims)
            n += number(*s, "frames");
        return n;
    }

private slots:
    void init()
    {
        bench = std::make_unique<Bench>();
        QVERIFY(bench->devices.isValid() && bench->work.isValid());
    }

    void cleanup()
    {
        for (auto &s : bench->sims)
            if (s->process().state() != QProcess::NotRunning)
                ::kill(pid_t(s->process().processId()), SIGCONT);
        bench.reset();
        simBySerial.clear();
    }

    // Which devices a -d form chooses. The bench: twins p and q named CFG01,
    // r named CFG07 whose serial is "CFG09", and s named CFG09.
    void deviceForms_data()
    {
        QTest::addColumn<QStringList>("args");  // P, Q, S stand for the serials of p, q and s; #R for r's index
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("ran");  // the devices that ran: letters of p, q, r, s

        QTest::newRow("-d again") << QStringList{"-d", "P", "-d", "CFG07"} << 0 << "pr";
        QTest::newRow("a list") << QStringList{"-d", "P,S"} << 0 << "ps";
        QTest::newRow("all") << QStringList{"-d", "all"} << 0 << "pqrs";
        QTest::newRow("ALL, any case") << QStringList{"-d", "ALL"} << 0 << "pqrs";
        QTest::newRow("#N and a serial") << QStringList{"-d", "#R,Q"} << 0 << "qr";
        QTest::newRow("a name in any case") << QStringList{"-d", "cfg07", "-d", "S"} << 0 << "rs";
        QTest::newRow("a name that is another's serial") << QStringList{"-d", "P", "-d", "CFG09"} << 4 << "";
        QTest::newRow("one device twice runs once") << QStringList{"-d", "P,P", "-d", "P"} << 0 << "p";
        QTest::newRow("by name and by serial runs once") << QStringList{"-d", "CFG07,#R"} << 0 << "r";
        QTest::newRow("all and more runs each once") << QStringList{"-d", "all,P"} << 0 << "pqrs";
        // r's serial is s's name: "CFG09" names s alone (a name), yet r
        // chosen by name is opened by its serial "CFG09" and never taken for s.
        QTest::newRow("a serial never taken for a name") << QStringList{"-d", "CFG07,S"} << 0 << "rs";
        QTest::newRow("a name of two devices") << QStringList{"-d", "CFG01,S"} << 4 << "";
        QTest::newRow("a name of two devices, with all") << QStringList{"-d", "all,CFG01"} << 4 << "";
        QTest::newRow("no such device") << QStringList{"-d", "P,CFG42"} << 3 << "";
        QTest::newRow("an empty name in a list") << QStringList{"-d", "P,"} << 1 << "";
        QTest::newRow("#x in a list") << QStringList{"-d", "P,#x"} << 1 << "";
        QTest::newRow("--jobs 0") << QStringList{"-d", "all", "--jobs", "0"} << 1 << "";
        QTest::newRow("--jobs 65") << QStringList{"-d", "all", "--jobs", "65"} << 1 << "";
    }
    void deviceForms()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exit);
        QFETCH(QString, ran);
        const QStringList serials = startLine({"CFG01", "CFG01"});
        startSim("CFG09", "CFG07");
        const QString s = startLine({"CFG09"}).front();
        const QMap<QChar, QString> serialOf{{'p', serials[0]}, {'q', serials[1]}, {'r', "CFG09"}, {'s', s}};
        // r's index, as list gives it.
        QString indexOfR;
        for (const QByteArray &line : linesOf(run({"list"}).out))
            if (line.endsWith("\tCFG09"))
                indexOfR = QString::fromLatin1(line.left(line.indexOf('\t')));
        QVERIFY(!indexOfR.isEmpty());
        for (QString &a : args)
            a.replace("#R", "#" + indexOfR).replace("P", serialOf['p']).replace("Q", serialOf['q']).replace("S", s);

        const Result r = run(QStringList{"--json"} + args + QStringList{"status"});
        QVERIFY2(r.exit == exit, (QByteArray::number(r.exit) + " " + r.err).constData());
        if (exit != 0) {
            // Refused before anything was opened.
            QCOMPARE(framesOfAll(), 0L);
            QCOMPARE(objectsOf(r.out).size(), 1);
            QCOMPARE(objectsOf(r.out).front()["error"].toObject()["exit"].toInt(), exit);
            return;
        }
        const QList<QJsonObject> objects = objectsOf(r.out);
        QStringList got;
        for (const QJsonObject &o : objects) {
            got << o["serial"].toString();
            QCOMPARE(o["exit"].toInt(-1), 0);
            QCOMPARE(o["result"].toObject()["device"].toString(), o["device"].toString());
        }
        QStringList want;
        for (const QChar c : ran)
            want << serialOf[c];
        got.sort();
        want.sort();
        QCOMPARE(got, want);
        // The others were never spoken to.
        for (const QChar c : QString("pqrs"))
            if (!ran.contains(c))
                QCOMPARE(simOf(serialOf[c]).state("frames"), std::string("0"));
    }

    // Drivers whose product string names no ID, as a USB driver's fixed one
    // may, are asked "DN", which opens them. Each device's zentactl asks
    // only its own: one that asked the others would hold them while their
    // own zentactl opens them, which then finds them busy.
    void namelessDevicesAskedOnlyByTheirOwn_data()
    {
        QTest::addColumn<QString>("jobs");
        QTest::newRow("one at a time") << "1";
        QTest::newRow("all at once") << "8";
    }
    void namelessDevicesAskedOnlyByTheirOwn()
    {
        QFETCH(QString, jobs);
        const QStringList serials = startLine({"CFG01", "CFG02", "CFG03", "CFG04", "CFG05", "CFG06", "CFG07", "CFG08"},
                                              true, "ZENTA CFG USB driver");
        const Result r = run({"--json", "--jobs", jobs, "-d", "all", "var", "V1"});
        QVERIFY2(r.exit == 0, r.err.constData());
        const QMap<QString, int> exits = exitsBySerial(r.out);
        QCOMPARE(exits.size(), serials.size());
        for (const QString &s : serials) {
            QCOMPARE(exits.value(s, -1), 0);
            // "DN" from the line's listing and from its own zentactl, then "V1".
            QCOMPARE(number(simOf(s), "frames"), 3L);
        }
    }

    // A USB driver's serial is whatever its maker wrote into it: a line
    // reaches the driver by it all the same.
    void usbDriverSerials_data()
    {
        QTest::addColumn<QByteArray>("serial");
        QTest::newRow("plain") << QByteArray("U1");
        QTest::newRow("a Latin-1 byte") << QByteArray("S\xe9");
        // WORK: the bench's work folder, a sibling of the device folder.
        QTest::newRow("a path out of the device folder") << QByteArray("../WORK/kept");
        QTest::newRow("the longest a listing gives") << QByteArray(256, 'L');
    }
    void usbDriverSerials()
    {
        QFETCH(QByteArray, serial);
        serial.replace("WORK", QFile::encodeName(QFileInfo(bench->work.path()).fileName()));
        // What a file named by the serial would replace, outside the device folder.
        writeFile(bench->file("kept.hold"), "keep");
        UsbDriver driver(bench->file("usb"), serial, "CFG05");
        QVERIFY(driver.ready);
        const Result r = run({"--json", "-d", "all", "var", "V1=7"});
        QVERIFY2(r.exit == 0, r.err.constData());
        const QList<QJsonObject> objects = objectsOf(r.out);
        QCOMPARE(objects.size(), 1);
        QCOMPARE(objects.front()["serial"].toString(), QString::fromLatin1(serial));
        QCOMPARE(objects.front()["exit"].toInt(-1), 0);
        QCOMPARE(run({"-d", "CFG05", "var", "V1"}).out, QByteArray("V1=7\n"));
        // Its settings backed up in a file named by it.
        writeFile(bench->file("line.ini"), kSettingsFile);
        QVERIFY(QDir().mkpath(bench->file("backups")));
        const Result set = run({"-d", "all", "settings", "set", "line.ini", "--backup", "backups"});
        QVERIFY2(set.exit == 0, set.err.constData());
        QCOMPARE(QDir(bench->file("backups")).entryList(QDir::Files).size(), 1);
        QFile kept(bench->file("kept.hold"));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("keep"));
    }

    // A USB driver and a simulator (or two drivers of one batch) may present
    // one serial. A line finds its devices by serial, so those two fail, each
    // on its own line; neither is left out, and the others run.
    void devicesSharingASerial()
    {
        const QString shared = QString("dup%1").arg(::getpid());
        startSim(shared, "CFG01");
        const QString other = startLine({"CFG02"}).front();
        UsbDriver driver(bench->file("usb"), shared.toLatin1(), "CFG05");
        QVERIFY(driver.ready);
        const Result r = run({"--json", "-d", "all", "var", "V1"});
        QCOMPARE(r.exit, 8);
        const QList<QJsonObject> objects = objectsOf(r.out);
        QCOMPARE(objects.size(), 3);
        QMap<QString, QList<int>> exits;
        for (const QJsonObject &o : objects)
            exits[o["device"].toString()] << o["exit"].toInt(-1);
        QCOMPARE(exits, (QMap<QString, QList<int>>{{"CFG01", {4}}, {"CFG02", {0}}, {"CFG05", {4}}}));
        for (const QJsonObject &o : objects)
            if (o["exit"].toInt() == 4)
                QVERIFY2(o["error"].toObject()["message"].toString().contains("serial " + shared + " is shared by 2 devices"),
                         qPrintable(o["error"].toObject()["message"].toString()));
        QCOMPARE(simOf(other).state("frames"), std::string("1"));
    }

    // One device is chosen, and while it is busy --retry looks for it again
    // by serial: the other device of that serial is never taken for it.
    void aSharedSerialIsNeverTakenForTheOther()
    {
        const QString shared = QString("dup%1").arg(::getpid());
        startSim(shared, "CFG01");
        // Named by its product string: a busy device of a shared serial is not asked at a door.
        UsbDriver driver(bench->file("usb"), shared.toLatin1(), "CFG05", "ZENTA CFG05");
        QVERIFY(driver.ready);
        QProcess jog;
        bench->start(jog, {"-d", "CFG05", "jog", "+", "--for", "60"});
        auto end = qScopeGuard([&jog] {
            ::kill(pid_t(jog.processId()), SIGTERM);
            if (!jog.waitForFinished(kRunMs))
                jog.kill();
            jog.waitForFinished(kRunMs);
        });
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(bench->devices.filePath(shared + ".hold")), kRunMs);
        const Result r = run({"-d", "CFG05", "--retry", "0.5", "var", "V1=5"});
        QVERIFY2(r.exit == 5, (QByteArray::number(r.exit) + " " + r.err).constData());
        QVERIFY2(r.err.contains("its serial " + shared.toLatin1() + " is shared"), r.err.constData());
        QCOMPARE(run({"-d", "CFG01", "var", "V1"}).out, QByteArray("V1=0\n"));
    }

    // The door of a serial that two devices carry may be either's: a busy
    // driver is not named by what the other's holder answers there.
    void aSharedSerialsDoorNamesNeitherDevice()
    {
        const QString shared = QString("dup%1").arg(::getpid());
        startSim(shared, "CFG01");
        UsbDriver driver(bench->file("usb"), shared.toLatin1(), "CFG05");
        QVERIFY(driver.ready);
        // The driver held by a program of its own, which has no door.
        const int other = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        auto closeOther = qScopeGuard([other] { ::close(other); });
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray node = QFile::encodeName(bench->file("usb/dev/hidraw0"));
        QVERIFY(size_t(node.size()) < sizeof addr.sun_path);
        std::memcpy(addr.sun_path, node.constData(), size_t(node.size()));
        QCOMPARE(::connect(other, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        char grant = 0;
        QCOMPARE(::recv(other, &grant, 1, 0), ssize_t(1));
        // The simulator held by a zentactl, whose door the serial names.
        QProcess jog;
        bench->start(jog, {"-d", "CFG01", "jog", "+", "--for", "60"});
        auto end = qScopeGuard([&jog] {
            ::kill(pid_t(jog.processId()), SIGTERM);
            if (!jog.waitForFinished(kRunMs))
                jog.kill();
            jog.waitForFinished(kRunMs);
        });
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(bench->devices.filePath(shared + ".hold")), kRunMs);
        const Result r = run({"list"});
        QCOMPARE(r.exit, 0);
        const QList<QByteArray> lines = linesOf(r.out);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], "0\tCFG01\tCFG01\t" + shared.toLatin1());
        QVERIFY2(lines[1].startsWith("1\t?\tZENTA CFG USB driver\t" + shared.toLatin1()), lines[1].constData());
    }

    // jog, settings get, program upload and a watch take one device: with
    // several, exit 1 and nothing opened.
    void oneDeviceCommands_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::newRow("jog") << QStringList{"jog", "+"};
        QTest::newRow("settings get") << QStringList{"settings", "get", "-"};
        QTest::newRow("program upload") << QStringList{"program", "upload"};
        QTest::newRow("status --watch") << QStringList{"status", "--watch"};
    }
    void oneDeviceCommands()
    {
        QFETCH(QStringList, command);
        const QStringList serials = startLine({"CFG01", "CFG02"});
        for (const QStringList &d : {QStringList{"-d", "all"}, QStringList{"-d", serials[0], "-d", serials[1]}}) {
            const Result r = run(d + command);
            QVERIFY2(r.exit == 1, (QByteArray::number(r.exit) + " " + r.err).constData());
            QVERIFY2(r.err.contains("takes one device"), r.err.constData());
            QCOMPARE(r.out, QByteArray());
            QCOMPARE(framesOfAll(), 0L);
            QCOMPARE(number(*bench->sims[0], "connections"), 0L);
        }
        // One device still jogs.
        QCOMPARE(run({"-d", serials[0], "jog", "+", "--for", "0"}).exit, 0);
    }

    // Text: every line named by device and serial, then the summary; JSON:
    // one object per device, with result or error, and no summary. A
    // device that does not answer fails on its own line: exit 8.
    void outputShape_data()
    {
        QTest::addColumn<bool>("oneSilent");
        QTest::newRow("all answer") << false;
        QTest::newRow("one silent") << true;
    }
    void outputShape()
    {
        QFETCH(bool, oneSilent);
        const QStringList serials = startLine({"CFG01", "CFG02", "CFG03"});
        if (oneSilent)
            QCOMPARE(simOf(serials[1]).ctl("silent on"), std::string("OK"));
        const int exit = oneSilent ? 8 : 0;

        const Result text = run({"-d", "all", "mode", "inc"});
        QVERIFY2(text.exit == exit, (QByteArray::number(text.exit) + " " + text.err).constData());
        const QList<QByteArray> lines = linesOf(text.out);
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.back(), oneSilent ? QByteArray("3 devices: 2 done, 1 failed")
                                         : QByteArray("3 devices: 3 done, 0 failed"));
        QSet<QByteArray> want;
        for (int i = 0; i < 3; ++i) {
            const QByteArray prefix = "CFG0" + QByteArray::number(i + 1) + " " + serials[i].toLatin1() + ": ";
            want << (oneSilent && i == 1 ? prefix + "failed (exit 6): CFG02 stopped answering (no reply to \"INC\")"
                                         : prefix + "CFG0" + QByteArray::number(i + 1) + ": mode INC");
        }
        QCOMPARE(QSet<QByteArray>(lines.begin(), lines.end() - 1), want);
        for (const QByteArray &l : linesOf(text.err))
            QVERIFY2(l.startsWith("CFG02 " + serials[1].toLatin1() + ": "), l.constData());
        for (int i = 0; i < 3; ++i)
            QCOMPARE(simOf(serials[i]).state("mm"), std::string(oneSilent && i == 1 ? "0" : "1"));

        const Result js = run({"--json", "-d", "all", "mode", "abs"});
        QVERIFY2(js.exit == exit, (QByteArray::number(js.exit) + " " + js.err).constData());
        const QList<QJsonObject> objects = objectsOf(js.out);
        QCOMPARE(objects.size(), 3);
        for (const QJsonObject &o : objects) {
            const bool failed = oneSilent && o["serial"].toString() == serials[1];
            QCOMPARE(o.keys().size(), 4);
            QCOMPARE(o["exit"].toInt(-1), failed ? 6 : 0);
            QCOMPARE(o["device"].toString(), "CFG0" + QString::number(serials.indexOf(o["serial"].toString()) + 1));
            if (failed) {
                QCOMPARE(o["error"].toObject()["exit"].toInt(), 6);
                QVERIFY(o["error"].toObject()["message"].toString().contains("stopped answering"));
            } else {
                QCOMPARE(o["result"].toObject()["mode"].toString(), QString("ABS"));
            }
        }
        for (int i = 0; i < 3; ++i)
            if (!(oneSilent && i == 1))
                QCOMPARE(simOf(serials[i]).state("mm"), std::string("0"));
    }

    // A device frozen, unplugged halfway or held by another zentactl fails
    // on its own line; the others finish their moves.
    void oneDeviceFails_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("status");
        QTest::newRow("frozen") << "frozen" << 6;
        QTest::newRow("unplugged halfway") << "unplugged" << 6;
        QTest::newRow("busy") << "busy" << 5;
    }
    void oneDeviceFails()
    {
        QFETCH(QString, how);
        QFETCH(int, status);
        const QStringList serials = startLine({"CFG01", "CFG02", "CFG03"});
        SimProcess &victim = simOf(serials[1]);
        QProcess holder;
        if (how == "frozen")
            QCOMPARE(victim.ctl("silent on"), std::string("OK"));
        if (how == "busy") {
            bench->start(holder, {"-d", serials[1], "status", "--watch"});
            QVERIFY(holder.waitForStarted(kRunMs));
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(victim.file(".holder")), kRunMs);
        }
        QProcess line;
        bench->start(line, {"--json", "-d", "all", "move", "5000", "--wait"});
        QVERIFY(line.waitForStarted(kRunMs));
        if (how == "unplugged") {
            QTRY_VERIFY_WITH_TIMEOUT(moving(victim), kRunMs);
            QCOMPARE(victim.ctl("unplug"), std::string("OK"));
        }
        const Result r = finishWhileAdvancing(line, *bench);
        if (how == "busy") {
            ::kill(pid_t(holder.processId()), SIGTERM);
            QCOMPARE(Bench::finish(holder).exit, 0);
        }
        QVERIFY2(r.exit == 8, (QByteArray::number(r.exit) + " " + r.err).constData());
        const QList<QJsonObject> objects = objectsOf(r.out);
        QCOMPARE(objects.size(), 3);
        for (const QJsonObject &o : objects) {
            if (o["serial"].toString() == serials[1]) {
                QCOMPARE(o["exit"].toInt(), status);
                QCOMPARE(o["error"].toObject()["exit"].toInt(), status);
            } else {
                QCOMPARE(o["exit"].toInt(-1), 0);
                QCOMPARE(o["result"].toObject()["position"].toInt(), 5000);
            }
        }
        QCOMPARE(simOf(serials[0]).state("px"), std::string("5000"));
        QCOMPARE(simOf(serials[2]).state("px"), std::string("5000"));
    }

    // --jobs 1 runs one device after another, with the same results.
    void jobsGiveTheSameResults()
    {
        const QStringList serials = startLine({"CFG01", "CFG02", "CFG03", "CFG04"});
        QCOMPARE(simOf(serials[2]).ctl("silent on"), std::string("OK"));
        QMap<QString, QMap<QString, int>> exits;
        QMap<QString, QByteArray> texts;
        for (const QString &jobs : {QString(), QString("1"), QString("2")}) {
            const QStringList j = jobs.isEmpty() ? QStringList() : QStringList{"--jobs", jobs};
            const Result r = run(QStringList{"--json", "-d", "all"} + j + QStringList{"var", "V3=42", "V3"});
            QCOMPARE(r.exit, 8);
            exits[jobs] = exitsBySerial(r.out);
            const Result t = run(QStringList{"-d", "all"} + j + QStringList{"var", "V3"});
            QList<QByteArray> lines = linesOf(t.out);
            std::sort(lines.begin(), lines.end());
            texts[jobs] = lines.join('\n');
        }
        QCOMPARE(exits[""].size(), 4);
        QCOMPARE(exits[""][serials[2]], 6);
        QCOMPARE(exits[""][serials[0]], 0);
        QCOMPARE(exits["1"], exits[""]);
        QCOMPARE(exits["2"], exits[""]);
        QCOMPARE(texts["1"], texts[""]);
        QCOMPARE(texts["2"], texts[""]);
        QVERIFY2(texts[""].contains(serials[3].toLatin1() + ": V3=42"), texts[""].constData());
    }

    // A settings file or a program that fails its checks fails for every
    // device before anything is sent; one that passes reaches each device
    // whole, from a file or from standard input.
    void filesCheckedOnceForAll_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("message");
        const QByteArray bad = QByteArray(kSettingsFile).replace("Microstep=2", "Microstep=8");
        QTest::newRow("bad settings") << QStringList{"settings", "set", "f.ini"} << bad << QByteArray() << 2
                                      << "\"8\" is not one of";
        QTest::newRow("bad settings on standard input")
            << QStringList{"settings", "set", "-"} << QByteArray() << bad << 2 << "\"8\" is not one of";
        QTest::newRow("bad program") << QStringList{"program", "download", "f.prg"} << QByteArray("X1000\r\nFOO\r\n")
                                     << QByteArray() << 2 << "f.prg:2: unknown command FOO";
        QTest::newRow("settings") << QStringList{"settings", "set", "f.ini"} << kSettingsFile << QByteArray() << 0
                                  << "";
        QTest::newRow("settings on standard input")
            << QStringList{"settings", "set", "-", "--store"} << QByteArray() << kSettingsFile << 0 << "";
        QTest::newRow("program") << QStringList{"program", "download", "f.prg"}
                                 << QByteArray("PRG 0\r\nV1=7\r\nEND\r\n") << QByteArray() << 0 << "";
    }
    void filesCheckedOnceForAll()
    {
        QFETCH(QStringList, command);
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, input);
        QFETCH(int, exit);
        QFETCH(QString, message);
        const QStringList serials = startLine({"CFG01", "CFG02", "CFG03"});
        if (!file.isEmpty())
            writeFile(bench->file(command.back()), file);
        const Result r = run(QStringList{"--json", "-d", "all"} + command, input);
        QVERIFY2(r.exit == exit, (QByteArray::number(r.exit) + " " + r.err).constData());
        if (exit != 0) {
            QVERIFY2(r.err.contains(message.toUtf8()), r.err.constData());
            QCOMPARE(framesOfAll(), 0L);
            return;
        }
        const QMap<QString, int> exits = exitsBySerial(r.out);
        QCOMPARE(exits.size(), 3);
        for (const QString &s : serials)
            QCOMPARE(exits[s], 0);
        if (command.front() == "settings") {
            for (const QString &s : serials)
                QCOMPARE(simOf(s).state("pb"), std::string("250"));
        } else {
            // The program each device holds is the one checked.
            for (const QString &s : serials) {
                const Result up = run({"-d", s, "program", "upload"});
                QVERIFY2(up.out.contains("V1=7"), up.out.constData());
            }
        }
    }

    // A difference found on a device (diff, verify) is 9 for the line; a
    // device that failed wins with 8. Each device keeps its own status.
    void differencesAndFailures_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<bool>("oneDiffers");
        QTest::addColumn<bool>("oneSilent");
        QTest::addColumn<int>("exit");
        const QStringList verify{"program", "verify", "f.prg"}, diff{"settings", "diff", "f.ini"};
        QTest::newRow("verify, all the same") << verify << false << false << 0;
        QTest::newRow("verify, one differs") << verify << true << false << 9;
        QTest::newRow("verify, one differs, one silent") << verify << true << true << 8;
        QTest::newRow("diff, all the same") << diff << false << false << 0;
        QTest::newRow("diff, one differs") << diff << true << false << 9;
        QTest::newRow("diff, one differs, one silent") << diff << true << true << 8;
    }
    void differencesAndFailures()
    {
        QFETCH(QStringList, command);
        QFETCH(bool, oneDiffers);
        QFETCH(bool, oneSilent);
        QFETCH(int, exit);
        const QStringList serials = startLine({"CFG01", "CFG02", "CFG03"});
        writeFile(bench->file("f.prg"), "PRG 0\r\nV1=7\r\nEND\r\n");
        writeFile(bench->file("g.prg"), "PRG 0\r\nV1=8\r\nEND\r\n");
        writeFile(bench->file("f.ini"), kSettingsFile);
        writeFile(bench->file("g.ini"), QByteArray(kSettingsFile).replace("TimeOut=250", "TimeOut=300"));
        QCOMPARE(run({"-d", "all", "program", "download", "f.prg"}).exit, 0);
        QCOMPARE(run({"-d", "all", "settings", "set", "f.ini"}).exit, 0);
        if (oneDiffers) {
            QCOMPARE(run({"-d", serials[1], "program", "download", "g.prg"}).exit, 0);
            QCOMPARE(run({"-d", serials[1], "settings", "set", "g.ini"}).exit, 0);
        }
        if (oneSilent)
            QCOMPARE(simOf(serials[2]).ctl("silent on"), std::string("OK"));
        const Result r = run(QStringList{"--json", "-d", "all"} + command);
        QVERIFY2(r.exit == exit, (QByteArray::number(r.exit) + " " + r.err).constData());
        const QMap<QString, int> exits = exitsBySerial(r.out);
        QCOMPARE(exits.size(), 3);
        QCOMPARE(exits[serials[0]], 0);
        QCOMPARE(exits[serials[1]], oneDiffers ? 9 : 0);
        QCOMPARE(exits[serials[2]], oneSilent ? 6 : 0);
        // A difference is a result, with what differs in it.
        for (const QJsonObject &o : objectsOf(r.out))
            if (o["exit"].toInt() == 9)
                QVERIFY(o.contains("result") && !o.contains("error"));
        const Result text = run(QStringList{"-d", "all"} + command);
        QCOMPARE(text.exit, exit);
        QVERIFY2(linesOf(text.out).back().startsWith("3 devices: "), text.out.constData());
        QVERIFY2(linesOf(text.out).back().contains(oneDiffers ? "1 differ" : "0 failed"), text.out.constData());
    }

    // A signal to the line stops every axis it set moving, and the line
    // ends with 128+N, its own standard output blocked or not.
    void signalStopsEveryAxis_data()
    {
        QTest::addColumn<bool>("json");
        QTest::addColumn<bool>("blocked");
        QTest::addColumn<int>("sig");
        QTest::newRow("text, SIGTERM") << false << false << int(SIGTERM);
        QTest::newRow("JSON, output blocked, SIGTERM") << true << true << int(SIGTERM);
        QTest::newRow("text, output blocked, SIGINT") << false << true << int(SIGINT);
    }
    void signalStopsEveryAxis()
    {
        QFETCH(bool, json);
        QFETCH(bool, blocked);
        QFETCH(int, sig);
        startLine({"CFG01", "CFG02", "CFG03"});
        QProcess line;
        if (blocked)
            line.setChildProcessModifier(fullPipeAsStandardOutput);
        bench->start(line, QStringList(json ? QStringList{"--json"} : QStringList()) +
                               QStringList{"-d", "all", "move", "100000000", "--wait"});
        QVERIFY(line.waitForStarted(kRunMs));
        for (auto &s : bench->sims)
            QTRY_VERIFY_WITH_TIMEOUT(moving(*s), kRunMs);
        ::kill(pid_t(line.processId()), sig);
        const Result r = Bench::finish(line);
        QVERIFY2(r.exit == 128 + sig, (QByteArray::number(r.exit) + " " + r.err).constData());
        for (auto &s : bench->sims) {
            // STOP decelerates: once time moves on, the axis stands.
            s->ctl("advance 10000");
            QVERIFY(!moving(*s));
            const std::string px = s->state("px");
            s->ctl("advance 1000");
            QCOMPARE(s->state("px"), px);
        }
        QVERIFY2(r.err.contains("interrupted by"), r.err.constData());
    }
};

QTEST_GUILESS_MAIN(ZentactlLineTest)
#include "tst_zentactl_line.moc"

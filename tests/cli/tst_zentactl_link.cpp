// zentactl and its link to a device, against real zenta-sim processes
// (lockstep, so that motion moves only when a test advances time): devices
// told apart by serial, who holds a device and how another zentactl still
// reaches it, a link that hangs or drops while the axis moves, a device that
// does not answer, and signals while standard output is blocked.
#include "Zentactl.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace clitest;
using simtest::SimProcess;

namespace {

// The axis moves: its position changes while time moves on.
bool axisMoves(SimProcess &sim)
{
    const long before = number(sim, "px");
    sim.ctl("advance 200");
    return number(sim, "px") != before;
}

// A socket listening at `path` that nobody serves; -1 on failure.
int listenAt(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray p = path.toLocal8Bit();
    std::memcpy(addr.sun_path, p.constData(), size_t(p.size()) + 1);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One request at a door, as another zentactl sends it: the answer byte and
// the reply, or "<none>".
std::string throughDoor(int fd, const std::string &command)
{
    if (!simtest::sendAll(fd, simtest::frame(command)))
        return "<none>";
    const std::string r = simtest::readBytes(fd, 65);
    if (r.size() != 65)
        return "<none>";
    return std::to_string(int(r[0])) + " " + r.substr(1, r.find('\0', 1) - 1);
}

// The files the device folder holds, sorted.
QStringList folderFiles(const Bench &b)
{
    return QDir(b.devices.path()).entryList(QDir::Files | QDir::System | QDir::Hidden, QDir::Name);
}

}  // namespace

class ZentactlLinkTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Bench> bench;

    SimProcess &sim() { return *bench->sims.front(); }
    Result run(const QStringList &args, const QByteArray &input = {}) { return bench->run(args, input); }

    // A zentactl that holds the device while the test goes on.
    void startHolder(QProcess &p, const QStringList &args)
    {
        bench->start(p, args);
        QVERIFY(p.waitForStarted(kRunMs));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sim().file(".holder")), kRunMs);
    }

private slots:
    void init() { bench = Bench::withOneDevice(); }

    void cleanup()
    {
        for (auto &s : bench->sims)
            if (s->process().state() != QProcess::NotRunning)
                ::kill(pid_t(s->process().processId()), SIGCONT);
        bench.reset();
    }

    // 13: the serial is a fourth column, and a key in JSON.
    void listShowsTheSerial()
    {
        bench->startSim("sim0", "CFG01");
        const Result text = run({"list"});
        QVERIFY2(text.exit == 0, text.err.constData());
        QCOMPARE(text.out, QByteArray("0\tCFG01\tCFG01\tsim0\n1\tCFG01\tCFG01\tsim1\n"));
        const QJsonArray devices = jsonOf(run({"--json", "list"}).out)["devices"].toArray();
        QCOMPARE(devices.size(), 2);
        QCOMPARE(devices[0].toObject()["serial"].toString(), QString("sim0"));
        QCOMPARE(devices[1].toObject()["serial"].toString(), QString("sim1"));
        QCOMPARE(devices[1].toObject()["index"].toInt(), 1);
    }

    // 13: identical units are told apart by serial; a text that names two
    // devices, by name and by serial, is refused before anything is sent.
    void deviceChosenBySerial_data()
    {
        QTest::addColumn<QString>("choice");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("framesSim1");
        QTest::addColumn<QString>("framesTwin");
        QTest::newRow("the serial of one twin") << "twin" << 0 << "" << "0" << "1";
        QTest::newRow("the other twin") << "sim1" << 0 << "" << "1" << "0";
        QTest::newRow("the name they share") << "CFG01" << 4 << "CFG01 names 2 devices, choose one by its index"
                                             << "0" << "0";
        QTest::newRow("a serial is matched exactly") << "TWIN" << 3 << "no device TWIN is listed" << "0" << "0";
        QTest::newRow("a serial that is another's name") << "CFG02" << 4 << "CFG02 names 2 devices" << "0" << "0";
    }
    void deviceChosenBySerial()
    {
        QFETCH(QString, choice);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(QString, framesSim1);
        QFETCH(QString, framesTwin);
        SimProcess &twin = bench->startSim("twin", "CFG01");
        SimProcess &other = bench->startSim("CFG02", "CFG03");
        bench->startSim("zz", "CFG02");
        const Result r = run({"-d", choice, "var", "V1=5"});
        QVERIFY2(r.exit == status, r.err.constData());
        if (!message.isEmpty())
            QVERIFY2(QString::fromUtf8(r.err).contains(message), r.err.constData());
        QCOMPARE(sim().state("frames"), framesSim1.toStdString());
        QCOMPARE(twin.state("frames"), framesTwin.toStdString());
        QCOMPARE(other.state("frames"), std::string("0"));
    }

    // 13: a device chosen by serial is opened by serial, even when a new
    // device takes its index while zentactl waits for it.
    void openedBySerialWhenTheIndexShifts()
    {
        simtest::Fd held;
        int granted = -1;
        held.fd = sim().connectDevice(granted);
        QCOMPARE(granted, 1);
        QProcess p;
        bench->start(p, {"--retry", "20", "-d", "sim1", "var", "V1=4"});
        QVERIFY(p.waitForStarted(kRunMs));
        const long offered = number(sim(), "connections");
        QTRY_VERIFY_WITH_TIMEOUT(number(sim(), "connections") >= offered + 1, kRunMs);
        SimProcess &first = bench->startSim("sim0", "CFG01");  // now index 0
        // Let zentactl list again while it waits.
        QTRY_VERIFY_WITH_TIMEOUT(number(sim(), "connections") >= offered + 3, kRunMs);
        ::close(held.fd);
        held.fd = -1;
        const Result r = Bench::finish(p);
        QVERIFY2(r.exit == 0, r.err.constData());
        QCOMPARE(first.state("frames"), std::string("0"));
        QCOMPARE(run({"-d", "sim1", "var", "V1"}).out, QByteArray("V1=4\n"));
    }

    // 6: "in use" names the holder when it is known.
    void inUseNamesTheHolder()
    {
        // The axis moves, for the wait to go on.
        QCOMPARE(run({"send", "J+"}).exit, 0);
        QProcess holder;
        startHolder(holder, {"wait", "idle", "--timeout", "60"});
        const Result r = run({"move", "10"});
        QVERIFY2(r.exit == 5, r.err.constData());
        const QString pid = QString::number(holder.processId());
        QVERIFY2(QString::fromUtf8(r.err).contains("device CFG01 is in use by zentactl (pid " + pid + ")"),
                 r.err.constData());
        ::kill(pid_t(holder.processId()), SIGTERM);
        Bench::finish(holder);

        // A holder that left no note is another program.
        simtest::Fd held;
        int granted = -1;
        held.fd = sim().connectDevice(granted);
        QCOMPARE(granted, 1);
        const Result other = run({"move", "10"});
        QCOMPARE(other.exit, 5);
        QVERIFY2(other.err.contains("device CFG01 is in use by another program"), other.err.constData());
    }

    // 1: a signal is served while standard output is blocked, with the
    // status the command gives for a signal, and the device is let go.
    void signalWhileOutputIsBlocked_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("status");
        // What reaches the device before the first output, which cannot be written.
        QTest::addColumn<int>("frames");
        QTest::newRow("status --watch, SIGTERM") << QStringList{"status", "--watch"} << int(SIGTERM) << 0 << 13;
        QTest::newRow("status --watch --json, SIGINT")
            << QStringList{"--json", "status", "--watch"} << int(SIGINT) << 0 << 13;
        QTest::newRow("status, SIGTERM") << QStringList{"status"} << int(SIGTERM) << 128 + SIGTERM << 13;
        QTest::newRow("var, SIGINT") << QStringList{"var", "V1"} << int(SIGINT) << 128 + SIGINT << 1;
        // PA, ABORT, J+, STOP, PX: a jog of no time is stopped before it says so.
        QTest::newRow("jog, SIGTERM") << QStringList{"jog", "+", "--for", "0"} << int(SIGTERM) << 0 << 5;
    }
    void signalWhileOutputIsBlocked()
    {
        QFETCH(QStringList, args);
        QFETCH(int, signal);
        QFETCH(int, status);
        QFETCH(int, frames);
        QProcess p;
        p.setChildProcessModifier(fullPipeAsStandardOutput);
        bench->start(p, args);
        QVERIFY(p.waitForStarted(kRunMs));
        QTRY_VERIFY_WITH_TIMEOUT(number(sim(), "frames") >= frames, kRunMs);
        QCOMPARE(::kill(pid_t(p.processId()), signal), 0);
        // Unmended, it waits for the reader for good (and Bench::finish kills it: -1).
        const Result r = Bench::finish(p);
        QVERIFY2(r.exit == status, (QByteArray::number(r.exit) + " " + r.err).constData());
        QCOMPARE(number(sim(), "frames"), long(frames));
        // Nothing left moving, and the device free for the next.
        sim().ctl("advance 10000");
        QVERIFY(!axisMoves(sim()));
        QCOMPARE(run({"var", "V1"}).exit, 0);
    }

    // 4: the link drops while the axis moves; zentactl reaches the device
    // again and stops it, and says so; exit 6.
    void droppedLinkStillStopsTheAxis_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("jog") << QStringList{"jog", "+"};
        QTest::newRow("move --wait") << QStringList{"move", "100000000", "--wait"};
    }
    void droppedLinkStillStopsTheAxis()
    {
        QFETCH(QStringList, args);
        QProcess p;
        bench->start(p, args);
        QVERIFY(p.waitForStarted(kRunMs));
        QTRY_VERIFY_WITH_TIMEOUT(moving(sim()), kRunMs);
        // Its connection is gone for good; the device is back at once.
        QCOMPARE(sim().ctl("unplug"), std::string("OK"));
        QCOMPARE(sim().ctl("replug"), std::string("OK"));
        const Result r = Bench::finish(p);
        QVERIFY2(r.exit == 6, (QByteArray::number(r.exit) + " " + r.err).constData());
        QVERIFY2(r.err.contains("the link to CFG01 was lost") && r.err.contains("reached it again and sent STOP"),
                 r.err.constData());
        QVERIFY2(!r.err.contains("may still be moving"), r.err.constData());
        sim().ctl("advance 10000");
        QVERIFY(!moving(sim()));
        QVERIFY(!axisMoves(sim()));
    }

    // 4: a link that hangs for good: STOP cannot arrive, and zentactl says
    // that the axis may still be moving, within a bound.
    void hungLinkSaysTheAxisMayStillMove_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("silent") << "silent";
        QTest::newRow("frozen") << "frozen";
        QTest::newRow("unplugged for good") << "unplugged";
    }
    void hungLinkSaysTheAxisMayStillMove()
    {
        QFETCH(QString, how);
        QProcess p;
        bench->start(p, {"jog", "-"});
        QVERIFY(p.waitForStarted(kRunMs));
        QTRY_VERIFY_WITH_TIMEOUT(moving(sim()), kRunMs);
        const pid_t simPid = pid_t(sim().process().processId());
        if (how == "silent")
            QCOMPARE(sim().ctl("silent on"), std::string("OK"));
        else if (how == "frozen")
            QCOMPARE(::kill(simPid, SIGSTOP), 0);
        else
            QCOMPARE(sim().ctl("unplug"), std::string("OK"));
        const Result r = Bench::finish(p);
        if (how == "frozen")
            ::kill(simPid, SIGCONT);
        QVERIFY2(r.exit == 6, (QByteArray::number(r.exit) + " " + r.err).constData());
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.err.contains("STOP") && r.err.contains("the axis may still be moving"),
                 r.err.constData());
        QVERIFY(moving(sim()));
        QCOMPARE(sim().ctl("silent off"), std::string("OK"));
    }

    // 5: --retry against a device that takes no connection: it does not
    // answer (6), within the retry time and one open attempt's time-out.
    void retryAgainstADeviceThatDoesNotAnswer()
    {
        const pid_t simPid = pid_t(sim().process().processId());
        QCOMPARE(::kill(simPid, SIGSTOP), 0);
        const Result r = run({"--retry", "1", "status"});
        ::kill(simPid, SIGCONT);
        QVERIFY2(r.exit == 6, (QByteArray::number(r.exit) + " " + r.err).constData());
        QVERIFY2(r.err.contains("device CFG01 does not answer"), r.err.constData());
    }

    // 8: while one zentactl holds the device, stop, status and var reads
    // from another go through it, answered as if direct; it keeps the device.
    void aHolderServesStopStatusAndReads()
    {
        QCOMPARE(run({"var", "V3=42"}).exit, 0);
        QProcess holder;
        startHolder(holder, {"jog", "+"});
        QTRY_VERIFY_WITH_TIMEOUT(moving(sim()), kRunMs);

        const Result read = run({"var", "V3"});
        QVERIFY2(read.exit == 0, read.err.constData());
        QCOMPARE(read.out, QByteArray("V3=42\n"));
        const Result st = run({"--json", "status"});
        QVERIFY2(st.exit == 0, st.err.constData());
        QCOMPARE(jsonOf(st.out)["device"].toString(), QString("CFG01"));
        QVERIFY2(jsonOf(st.out)["state"].toString() != "IDLE", st.out.constData());
        // A set is not a read: refused, with the holder named.
        const Result set = run({"var", "V3=1"});
        QCOMPARE(set.exit, 5);
        QVERIFY2(set.err.contains("in use by zentactl (pid"), set.err.constData());
        QCOMPARE(run({"var", "V3"}).out, QByteArray("V3=42\n"));

        // What is not a stop or a read is refused at the door, and one at
        // the door that sends nothing keeps nobody else out.
        simtest::Fd idle(simtest::connectTo(sim().file(".hold")));
        QVERIFY(idle.fd >= 0);
        simtest::Fd raw(simtest::connectTo(sim().file(".hold")));
        QCOMPARE(throughDoor(raw.fd, "J-"), std::string("3 "));
        QCOMPARE(throughDoor(raw.fd, "V3=7"), std::string("3 "));
        QCOMPARE(throughDoor(raw.fd, "V3"), std::string("0 42"));

        const Result stopped = run({"stop"});
        QVERIFY2(stopped.exit == 0, stopped.err.constData());
        QCOMPARE(stopped.out, QByteArray("CFG01: STOP sent\n"));
        sim().ctl("advance 10000");
        QVERIFY(!moving(sim()));
        // The holder still holds it, and ends as it would.
        QCOMPARE(holder.state(), QProcess::Running);
        ::kill(pid_t(holder.processId()), SIGINT);
        const Result h = Bench::finish(holder);
        QVERIFY2(h.exit == 0, h.err.constData());
        // Nothing of the holder stays in the folder.
        QCOMPARE(folderFiles(*bench), (QStringList{"sim1.ctl", "sim1.lock", "sim1.product", "sim1.sock"}));
    }

    // 8: a door crowded by processes that ask nothing still lets a stop in.
    void aCrowdedDoorStillTakesAStop()
    {
        QProcess holder;
        startHolder(holder, {"jog", "+"});
        QTRY_VERIFY_WITH_TIMEOUT(moving(sim()), kRunMs);
        std::vector<std::unique_ptr<simtest::Fd>> idle;
        for (int i = 0; i < 12; ++i) {
            idle.push_back(std::make_unique<simtest::Fd>(simtest::connectTo(sim().file(".hold"))));
            QVERIFY(idle.back()->fd >= 0);
        }
        const Result stopped = run({"stop"});
        QVERIFY2(stopped.exit == 0, (QByteArray::number(stopped.exit) + " " + stopped.err).constData());
        sim().ctl("advance 10000");
        QVERIFY(!moving(sim()));
        ::kill(pid_t(holder.processId()), SIGINT);
        QCOMPARE(Bench::finish(holder).exit, 0);
    }

    // 8: a wait or a watch serves a stop too; the wait then sees the axis stand.
    void aWaitServesAStop()
    {
        QCOMPARE(run({"send", "J+"}).exit, 0);
        QProcess holder;
        startHolder(holder, {"wait", "idle", "--timeout", "60"});
        const Result stopped = run({"stop", "--abort"});
        QVERIFY2(stopped.exit == 0, stopped.err.constData());
        QCOMPARE(stopped.out, QByteArray("CFG01: ABORT sent\n"));
        const Result w = Bench::finish(holder);
        QVERIFY2(w.exit == 0, w.err.constData());
        QVERIFY2(w.out.contains("the axis stands"), w.out.constData());
    }

    // 8: a watch whose output is blocked still serves others.
    void aBlockedWatchServesAStop()
    {
        QCOMPARE(run({"send", "J+"}).exit, 0);
        QProcess holder;
        holder.setChildProcessModifier(fullPipeAsStandardOutput);
        startHolder(holder, {"status", "--watch"});
        // One reading, whose output cannot be written.
        QTRY_VERIFY_WITH_TIMEOUT(number(sim(), "frames") >= 13, kRunMs);
        const Result stopped = run({"stop"});
        QVERIFY2(stopped.exit == 0, stopped.err.constData());
        sim().ctl("advance 10000");
        QVERIFY(!moving(sim()));
        ::kill(pid_t(holder.processId()), SIGTERM);
        QCOMPARE(Bench::finish(holder).exit, 0);
    }

    // 8: a holder that does not serve its door (hung) keeps a stop from
    // another waiting only for a bounded time; then it does not answer.
    void aDoorNobodyServesIsBounded()
    {
        simtest::Fd held;
        int granted = -1;
        held.fd = sim().connectDevice(granted);
        QCOMPARE(granted, 1);
        simtest::Fd door(listenAt(sim().file(".hold")));
        QVERIFY(door.fd >= 0);
        const Result r = run({"stop"});
        QVERIFY2(r.exit == 6, (QByteArray::number(r.exit) + " " + r.err).constData());
        QVERIFY2(r.err.contains("did not pass \"STOP\" on within 10 s"), r.err.constData());
        ::unlink(sim().file(".hold").toLocal8Bit().constData());
    }

    // 8: a .hold socket nobody serves (its holder died) is no door: the
    // device is in use, said at once.
    void aStaleHoldSocketIsIgnored()
    {
        simtest::Fd held;
        int granted = -1;
        held.fd = sim().connectDevice(granted);
        QCOMPARE(granted, 1);
        const int fd = listenAt(sim().file(".hold"));
        QVERIFY(fd >= 0);
        ::close(fd);  // left behind, as by a holder that was killed
        const Result r = run({"stop"});
        QCOMPARE(r.exit, 5);
        QVERIFY2(r.err.contains("in use by another program"), r.err.constData());
        // A holder that comes later replaces it, and removes its own on leaving.
        ::close(held.fd);
        held.fd = -1;
        QTRY_VERIFY_WITH_TIMEOUT(run({"var", "V1"}).exit == 0, kRunMs);
        QCOMPARE(folderFiles(*bench), (QStringList{"sim1.ctl", "sim1.lock", "sim1.product", "sim1.sock"}));
    }
};

QTEST_GUILESS_MAIN(ZentactlLinkTest)
#include "tst_zentactl_link.moc"

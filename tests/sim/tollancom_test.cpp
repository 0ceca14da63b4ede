// The real device library against a real simulator process.
#include "SimProcess.h"
#include "TollanCom.h"

#include <QFileInfo>
#include <QtTest>

#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <thread>
#include <vector>

using namespace simtest;

namespace {

// Points the library at the simulator's folder and lists devices again.
int32_t listIn(const SimProcess &sim)
{
    qputenv("TOLLANCOM_DIR", sim.folder().toLocal8Bit());
    int32_t count = -1;
    return fnTollanComGetNumDevices(&count) == 1 ? count : -1;
}

QString product(int32_t index)
{
    char buf[TOLLANCOM_PRODUCT_BUFFER];
    std::memset(buf, 'x', sizeof buf);
    fnTollanComGetProductString(index, buf, 0);
    return QString::fromLatin1(buf);
}

struct Reply {
    int32_t status;
    std::string text;
    bool allZero;
};

Reply sendRecv(int32_t handle, const std::string &command)
{
    std::array<unsigned char, 64> out{}, in;
    in.fill(0xAA);  // the library must clear whatever the caller had
    std::copy(command.begin(), command.end(), out.begin());
    const int32_t status = fnTollanComSendRecv(handle, out.data(), 64, 64, in.data());
    const std::string text(reinterpret_cast<const char *>(in.data()),
                           std::find(in.begin(), in.end(), 0) - in.begin());
    return {status, text, std::all_of(in.begin(), in.end(), [](unsigned char c) { return c == 0; })};
}

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Where a jog at HSPD=1000 and ACC=1 (full speed after 1 ms, at a million
// pulses/s²) stands `t` seconds after it began.
double jogPosition(double t)
{
    constexpr double kSpeed = 1000, kRamp = 0.001;
    if (t <= 0)
        return 0;
    if (t < kRamp)
        return 0.5 * kSpeed / kRamp * t * t;
    return kSpeed * (t - kRamp / 2);
}

// One exchange and the host's clock on both sides of it.
struct Timed {
    Clock::time_point sent, replied;
    Reply reply;
};

Timed timedSendRecv(int32_t handle, const std::string &command)
{
    Timed t;
    t.sent = Clock::now();
    t.reply = sendRecv(handle, command);
    t.replied = Clock::now();
    return t;
}

// The device did what it was told somewhere between sending and reply: a
// position read at `read` of a jog started at `start` lies between where the
// axis stood at the earliest and at the latest moment that can be, give or
// take a step. `extra` is added to both ends (a stop's braking distance).
QString outsideTrueRange(const Timed &start, const Timed &read, double extra = 0)
{
    const double lo = std::floor(jogPosition(seconds(read.sent - start.replied)) + extra) - 1;
    const double hi = std::ceil(jogPosition(seconds(read.replied - start.sent)) + extra) + 1;
    bool ok = false;
    const double got = QString::fromStdString(read.reply.text).toDouble(&ok);
    if (ok && got >= lo && got <= hi)
        return {};
    return QString("PX read %1 %2 ms after the jog's send; it can only be %3 to %4")
        .arg(QString::fromStdString(read.reply.text))
        .arg(seconds(read.sent - start.sent) * 1000, 0, 'f', 1)
        .arg(lo)
        .arg(hi);
}

// A simulator in real time with a jog under way through the library.
struct Jog {
    SimProcess sim;
    int32_t handle = 0;
    Timed start;
    QString begin()
    {
        if (!sim.start({}) || listIn(sim) != 1 || !fnTollanComOpen(0, &handle))
            return "the simulator cannot be reached";
        for (const char *c : {"EO=1", "PX=0", "HSPD=1000", "ACC=1"})
            if (const Reply r = sendRecv(handle, c); r.text != "OK")
                return QString("%1 -> %2").arg(c, QString::fromStdString(r.text));
        start = timedSendRecv(handle, "J+");
        return start.reply.text == "OK" ? QString() : "J+ -> " + QString::fromStdString(start.reply.text);
    }
    ~Jog()
    {
        sendRecv(handle, "ABORT");
        fnTollanComClose(handle);
    }
};

}  // namespace

class TollanComTest : public QObject {
    Q_OBJECT
private slots:
    void init() { fnTollanComSetTimeouts(5000, 5000); }
    void openExchangeAndMove();
    void secondOpenIsBusy();
    void reopenRightAfterClose();
    void devicesInSerialOrder();
    void killedSimulatorIsNotListed();
    void unplugAndReplug();
    void silence();
    void lateReplyAnswersNothingLater();
    void powerCycleRenames();
    void stoppedSimulatorEndsEveryCall();
    void pollingHostReadsThePresent_data();
    void pollingHostReadsThePresent();
    void stopLandsWhereItWasSent();
};

void TollanComTest::openExchangeAndMove()
{
    SimProcess sim;
    QVERIFY(sim.start());
    QCOMPARE(listIn(sim), 1);
    QCOMPARE(product(0), QString("CFG01"));
    int32_t h = 1;
    QVERIFY(fnTollanComOpen(0, &h) != 0);

    Reply r = sendRecv(h, "ID");
    QCOMPARE(r.status, 1);
    QCOMPARE(r.text, std::string("KVL-CFG-UV-USB"));
    for (const char *c : {"HSPD=2000", "ACC=500", "X3000"})
        QCOMPARE(sendRecv(h, c).text, std::string("OK"));
    QCOMPARE(sim.ctl("advance 250"), std::string("OK"));
    QCOMPARE(sendRecv(h, "PX").text, std::string("125"));
    QCOMPARE(sendRecv(h, "MST").text, std::string("82"));  // accelerating, run current 10
    QCOMPARE(sim.ctl("advance 2000"), std::string("OK"));
    QCOMPARE(sendRecv(h, "PX").text, std::string("3000"));

    // A 64-character command without terminator arrives whole.
    const std::string longest = "V9=" + std::string(60, '0') + "8";
    QCOMPARE(sendRecv(h, longest).text, std::string("OK"));
    QCOMPARE(sendRecv(h, "V9").text, std::string("8"));
    QCOMPARE(fnTollanComClose(h), 1);
}

void TollanComTest::secondOpenIsBusy()
{
    SimProcess sim;
    QVERIFY(sim.start());
    QCOMPARE(listIn(sim), 1);
    int32_t first = 1, second = 1;
    QVERIFY(fnTollanComOpen(0, &first) != 0);
    QCOMPARE(fnTollanComOpen(0, &second), 0);
    QCOMPARE(sendRecv(first, "DN").text, std::string("CFG01"));  // the holder is unaffected
    fnTollanComClose(first);
    QVERIFY(fnTollanComOpen(0, &second) != 0);
    QCOMPARE(sendRecv(second, "DN").text, std::string("CFG01"));
    fnTollanComClose(second);
}

void TollanComTest::reopenRightAfterClose()
{
    // Every hand-over of the device (panel to loader and back) is a close
    // followed at once by an open; none of them may be refused as busy.
    SimProcess sim;
    QVERIFY(sim.start());
    QCOMPARE(listIn(sim), 1);
    int refused = 0, wrong = 0;
    for (int i = 0; i < 2000; ++i) {
        int32_t h = 0;
        if (fnTollanComOpen(0, &h) == 0) {
            ++refused;
            continue;
        }
        if (i % 2 && sendRecv(h, "DN").text != "CFG01")  // with and without an exchange
            ++wrong;
        QCOMPARE(fnTollanComClose(h), 1);
    }
    QCOMPARE(refused, 0);
    QCOMPARE(wrong, 0);
}

void TollanComTest::devicesInSerialOrder()
{
    QTemporaryDir tmp;
    SimProcess b(tmp.path(), "b2"), a(tmp.path(), "a1");
    QVERIFY(b.start({"--lockstep", "--name", "CFG22"}));
    QVERIFY(a.start({"--lockstep", "--name", "CFG11"}));
    QCOMPARE(listIn(a), 2);
    QCOMPARE(product(0), QString("CFG11"));
    QCOMPARE(product(1), QString("CFG22"));
    int32_t h = 1;
    QVERIFY(fnTollanComOpen(1, &h) != 0);
    QCOMPARE(sendRecv(h, "DN").text, std::string("CFG22"));
    fnTollanComClose(h);
}

void TollanComTest::killedSimulatorIsNotListed()
{
    QTemporaryDir tmp;
    SimProcess a(tmp.path(), "a1"), b(tmp.path(), "b2");
    QVERIFY(a.start({"--lockstep", "--name", "CFG11"}));
    QVERIFY(b.start({"--lockstep", "--name", "CFG22"}));
    QCOMPARE(listIn(a), 2);
    a.kill();
    QVERIFY(QFileInfo::exists(a.file(".sock")));  // left behind
    QCOMPARE(listIn(a), 1);
    QCOMPARE(product(0), QString("CFG22"));
    for (const char *suffix : {".sock", ".product", ".ctl", ".lock"})
        QVERIFY2(!QFileInfo::exists(a.file(suffix)), suffix);
    int32_t h = 1;
    QVERIFY(fnTollanComOpen(0, &h) != 0);
    QCOMPARE(sendRecv(h, "DN").text, std::string("CFG22"));
    fnTollanComClose(h);

    SimProcess again(tmp.path(), "a1");  // the serial is free for a new device
    QVERIFY(again.start({"--lockstep", "--name", "CFG33"}));
    QCOMPARE(listIn(again), 2);
    QCOMPARE(product(0), QString("CFG33"));
}

void TollanComTest::unplugAndReplug()
{
    SimProcess sim;
    QVERIFY(sim.start());
    QCOMPARE(listIn(sim), 1);
    int32_t h = 1;
    QVERIFY(fnTollanComOpen(0, &h) != 0);
    QCOMPARE(sendRecv(h, "V1=3").text, std::string("OK"));

    QCOMPARE(sim.ctl("unplug"), std::string("OK"));
    const Reply gone = sendRecv(h, "V1");
    QVERIFY(gone.status != 1);
    QVERIFY(gone.allZero);
    fnTollanComClose(h);
    QCOMPARE(listIn(sim), 0);

    QCOMPARE(sim.ctl("replug"), std::string("OK"));
    QCOMPARE(listIn(sim), 1);
    QVERIFY(fnTollanComOpen(0, &h) != 0);
    QCOMPARE(sendRecv(h, "V1").text, std::string("3"));
    fnTollanComClose(h);
}

void TollanComTest::silence()
{
    SimProcess sim;
    QVERIFY(sim.start());
    QCOMPARE(listIn(sim), 1);
    int32_t h = 1;
    QVERIFY(fnTollanComOpen(0, &h) != 0);
    QCOMPARE(fnTollanComSetTimeouts(50, 1000), 1);  // keep the unanswered wait short

    QCOMPARE(sim.ctl("silent on"), std::string("OK"));
    const Reply lost = sendRecv(h, "ID");
    QCOMPARE(lost.status, 0);
    QVERIFY(lost.allZero);
    QCOMPARE(sim.ctl("silent off"), std::string("OK"));
    const Reply back = sendRecv(h, "ID");
    QCOMPARE(back.status, 1);
    QCOMPARE(back.text, std::string("KVL-CFG-UV-USB"));
    fnTollanComClose(h);
}

void TollanComTest::lateReplyAnswersNothingLater()
{
    SimProcess sim;
    QVERIFY(sim.start());
    QCOMPARE(listIn(sim), 1);
    int32_t h = 1;
    QVERIFY(fnTollanComOpen(0, &h) != 0);
    QCOMPARE(sim.ctl("latency 400000"), std::string("OK"));
    QCOMPARE(fnTollanComSetTimeouts(150, 1000), 1);
    const Reply late = sendRecv(h, "VER");
    QCOMPARE(late.status, 0);
    QVERIFY(late.allZero);
    // The version is still owed when the next command goes out.
    QCOMPARE(sim.ctl("latency 0"), std::string("OK"));
    QCOMPARE(fnTollanComSetTimeouts(5000, 5000), 1);
    QCOMPARE(sendRecv(h, "ID").text, std::string("KVL-CFG-UV-USB"));
    QCOMPARE(sendRecv(h, "DN").text, std::string("CFG01"));
    fnTollanComClose(h);
}

void TollanComTest::powerCycleRenames()
{
    SimProcess sim;
    QVERIFY(sim.start());
    QCOMPARE(listIn(sim), 1);
    int32_t h = 1;
    QVERIFY(fnTollanComOpen(0, &h) != 0);
    QCOMPARE(sendRecv(h, "DN=CFG09").text, std::string("OK"));
    QCOMPARE(sendRecv(h, "STORE").text, std::string("OK"));
    QCOMPARE(product(0), QString("CFG01"));  // only at the next power-up
    QCOMPARE(sim.ctl("power-cycle"), std::string("OK"));
    QVERIFY(sendRecv(h, "DN").status != 1);  // the old connection died with the power
    fnTollanComClose(h);
    QCOMPARE(listIn(sim), 1);
    QCOMPARE(product(0), QString("CFG09"));
    QVERIFY(fnTollanComOpen(0, &h) != 0);
    QCOMPARE(sendRecv(h, "DN").text, std::string("CFG09"));
    fnTollanComClose(h);
}

// A device process that is stopped takes no connection, and soon its queue of
// waiting ones is full; the library still answers every call within its
// time-outs.
namespace {

volatile sig_atomic_t stoppedPid = 0;
volatile sig_atomic_t watchdogFired = 0;

// Runs when a call has waited far beyond every time-out: the stopped
// simulator goes on, so the waiting call ends and the test fails instead of
// hanging. (A watchdog thread would not do: under the thread sanitizer no
// thread may start once a process has been started.)
void releaseStopped(int)
{
    watchdogFired = 1;
    if (stoppedPid > 0)
        ::kill(stoppedPid, SIGCONT);
}

}  // namespace

void TollanComTest::stoppedSimulatorEndsEveryCall()
{
    SimProcess sim;
    QVERIFY(sim.start());
    QCOMPARE(listIn(sim), 1);
    int32_t h = 1;
    QVERIFY(fnTollanComOpen(0, &h) != 0);
    QCOMPARE(sendRecv(h, "DN").text, std::string("CFG01"));
    QCOMPARE(fnTollanComSetTimeouts(200, 200), 1);

    const pid_t pid = static_cast<pid_t>(sim.process().processId());
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    auto resume = qScopeGuard([pid] { ::kill(pid, SIGCONT); });
    std::vector<Fd> waiting;
    bool full = false;
    const QByteArray sock = sim.file(".sock").toLocal8Bit();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, sock.constData(), sizeof addr.sun_path - 1);
    while (!full && waiting.size() < 256) {
        Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (::connect(fd.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
            waiting.push_back(std::move(fd));
        else
            full = errno == EAGAIN;
    }
    QVERIFY(full);

    // The bound only keeps a fault from hanging the test; the time-outs are far shorter.
    stoppedPid = pid;
    watchdogFired = 0;
    struct sigaction watchdog {}, before {};
    watchdog.sa_handler = releaseStopped;
    QCOMPARE(::sigaction(SIGALRM, &watchdog, &before), 0);
    ::alarm(20);
    int32_t other = 1, count = -1;
    std::vector<int32_t> status;
    status.push_back(sendRecv(h, "PX").status);  // no answer; the connection is given up
    status.push_back(sendRecv(h, "PX").status);  // and cannot be made again
    status.push_back(fnTollanComOpen(0, &other));
    status.push_back(fnTollanComGetNumDevices(&count));
    status.push_back(count);  // stopped is not dead: still listed
    ::alarm(0);
    ::sigaction(SIGALRM, &before, nullptr);
    stoppedPid = 0;
    QVERIFY2(!watchdogFired, "a library call was still waiting for the stopped simulator");
    QCOMPARE(status, (std::vector<int32_t>{0, -2, 0, 1, 1}));
    fnTollanComClose(h);
}

// However long a host waits between exchanges, each is handled at the moment
// it arrives: a script or zentactl polls far more slowly than the panel.
void TollanComTest::pollingHostReadsThePresent_data()
{
    QTest::addColumn<int>("everyMs");
    QTest::addColumn<int>("reads");
    QTest::newRow("every 10 ms") << 10 << 20;
    QTest::newRow("every 50 ms") << 50 << 6;
    QTest::newRow("every 100 ms") << 100 << 5;
    QTest::newRow("every 300 ms") << 300 << 4;
}

void TollanComTest::pollingHostReadsThePresent()
{
    QFETCH(int, everyMs);
    QFETCH(int, reads);
    Jog jog;
    QCOMPARE(jog.begin(), QString());
    for (int k = 1; k <= reads; ++k) {
        std::this_thread::sleep_until(jog.start.sent + std::chrono::milliseconds(everyMs * k));
        const Timed read = timedSendRecv(jog.handle, "PX");
        QCOMPARE(read.reply.status, 1);
        QVERIFY2(outsideTrueRange(jog.start, read).isEmpty(), qPrintable(outsideTrueRange(jog.start, read)));
    }
}

void TollanComTest::stopLandsWhereItWasSent()
{
    Jog jog;
    QCOMPARE(jog.begin(), QString());
    std::this_thread::sleep_until(jog.start.sent + std::chrono::milliseconds(200));
    const Timed stop = timedSendRecv(jog.handle, "STOP");
    QCOMPARE(stop.reply.text, std::string("OK"));
    // Braking from 1000 pulses/s at a million pulses/s² takes half a pulse.
    // MST's motion bits are the low three.
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(sendRecv(jog.handle, "MST").text).toInt() & 7, 0, kWaitMs);
    Timed landed = stop;
    landed.reply = sendRecv(jog.handle, "PX");
    QVERIFY2(outsideTrueRange(jog.start, landed, 0.5).isEmpty(), qPrintable(outsideTrueRange(jog.start, landed, 0.5)));
}

QTEST_GUILESS_MAIN(TollanComTest)
#include "tollancom_test.moc"

// Stored programs running in the real zenta-sim process: over the wire, in
// lockstep and against the wall clock.
#include "SimProcess.h"

#include "zenta/lang/compiler.hpp"
#include "zenta/lang/transfer.hpp"

#include <QDeadlineTimer>
#include <QtTest>

using namespace simtest;

namespace {

// Bounds an advance of many millions of statements, for slow builds; no test
// relies on it expiring.
constexpr int kAdvanceWaitMs = 300'000;
// An advance that outlasts many slices of real time (20 ms each): twenty
// million statements at 1 us, a tenth of it where sanitizers slow every one.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long long kLongAdvanceMs = 2000;
#else
constexpr long long kLongAdvanceMs = 20000;
#endif

// A simulator with a program on it and the host's connection to it.
struct Device {
    SimProcess sim;
    int fd = -1;
    ~Device()
    {
        if (fd >= 0)
            close(fd);
    }

    // Starts the simulator, connects and downloads; empty on success.
    QString start(const QStringList &args, const QStringList &source)
    {
        int granted = 0;
        if (!sim.start(args) || (fd = sim.connectDevice(granted)) < 0 || granted != 1)
            return "the simulator cannot be reached";
        const auto compiled = zenta::lang::compile(source.join('\n').toStdString());
        if (!compiled.ok)
            return QString::fromStdString(compiled.message);
        for (const std::string &c :
             zenta::lang::transfer::downloadCommands(zenta::lang::formatCompiled(compiled.program.code)))
            if (const std::string r = exchange(fd, c); r != "OK")
                return QString::fromStdString(c + " -> " + r);
        return {};
    }
};

// Asks `command` until its answer is (or, with `differ`, is not) `want` or the
// bound runs out; returns the last answer.
std::string waitFor(int fd, const std::string &command, const std::string &want, bool differ = false)
{
    QDeadlineTimer deadline(kWaitMs);
    std::string got;
    while (!deadline.hasExpired()) {
        got = exchange(fd, command);
        if ((got == want) != differ)
            break;
        QTest::qSleep(5);
    }
    return got;
}

}  // namespace

class RunProcessTest : public QObject {
    Q_OBJECT
private slots:
    void lockstepRun();
    void lockstepAdvanceIsExact();
    void lockstepAdvanceServesMeanwhile();
    void realTimeRun();
    void answersWhileALoopRuns();
    void autoRunAfterRestart();
    void storingInALoop_data();
    void storingInALoop();
    void storingOnASlowDisk_data() { storingInALoop_data(); }
    void storingOnASlowDisk();
    void statementTimeOption_data();
    void statementTimeOption();
};

void RunProcessTest::lockstepRun()
{
    Device d;
    QCOMPARE(d.start({"--lockstep", "--statement-us", "1000"}, {"loop: V1=V1+1", "GOTO loop"}), QString());
    QCOMPARE(exchange(d.fd, "SR=1"), std::string("OK"));
    QCOMPARE(exchange(d.fd, "V1"), std::string("0"));  // time stands still
    QCOMPARE(d.sim.ctl("advance 10"), std::string("OK"));
    QCOMPARE(exchange(d.fd, "V1"), std::string("6"));  // statements at 0, 1, ... 10 ms
    QCOMPARE(exchange(d.fd, "SPC0"), std::string("2"));
    const std::string state = d.sim.ctl("state");
    for (const char *part : {" sastat=1 ", " sastat0=1 ", " spc0=2 ", " sastat1=0 ", " spc1=0 ", " statement_us=1000 "})
        QVERIFY2(state.find(part) != std::string::npos, state.c_str());
    QCOMPARE(exchange(d.fd, "SR=0"), std::string("OK"));
    QCOMPARE(d.sim.ctl("advance 10"), std::string("OK"));
    QCOMPARE(exchange(d.fd, "V1"), std::string("6"));
}

// In lockstep the outcome depends on device time alone: an advance whose
// work outlasts many slices of real time runs every statement due, on any
// machine and every time.
void RunProcessTest::lockstepAdvanceIsExact()
{
    for (int run = 0; run < 3; ++run) {
        Device d;
        QCOMPARE(d.start({"--lockstep", "--statement-us", "1"}, {"loop: V1=V1+1", "GOTO loop"}), QString());
        QCOMPARE(exchange(d.fd, "SR=1"), std::string("OK"));
        QCOMPARE(d.sim.ctl("advance " + std::to_string(kLongAdvanceMs), kAdvanceWaitMs), std::string("OK"));
        // Statements at 0, 1, ... us, the last at the end; every other one counts.
        QCOMPARE(exchange(d.fd, "V1"), std::to_string(kLongAdvanceMs * 500 + 1));
        QCOMPARE(exchange(d.fd, "SPC0"), std::string("2"));
        QCOMPARE(d.sim.state("t_us"), std::to_string(kLongAdvanceMs * 1000));
    }
}

// While an advance runs, the device answers at the time it has reached, the
// control socket serves, and advances asked meanwhile add up, each answered
// once its time is reached.
void RunProcessTest::lockstepAdvanceServesMeanwhile()
{
    Device d;
    QCOMPARE(d.start({"--lockstep", "--statement-us", "1"}, {"loop: V1=V1+1", "GOTO loop"}), QString());
    QCOMPARE(exchange(d.fd, "SR=1"), std::string("OK"));
    Fd first{connectTo(d.sim.file(".ctl"))}, second{connectTo(d.sim.file(".ctl"))};
    QVERIFY(sendAll(first.fd, "advance " + std::to_string(kLongAdvanceMs) + "\n"));
    QVERIFY(sendAll(second.fd, "advance 1\n"));
    // Asked meanwhile: the counter never goes back and never passes the end.
    const long long end = (kLongAdvanceMs + 1) * 500 + 1;
    long long last = 0;
    for (int i = 0; i < 20; ++i) {
        const std::string v = exchange(d.fd, "V1");
        QVERIFY2(v != "<none>", "no answer during an advance");
        QVERIFY(std::stoll(v) >= last && std::stoll(v) <= end);
        last = std::stoll(v);
        QVERIFY(d.sim.ctl("state").starts_with("name="));
    }
    QCOMPARE(readBytes(first.fd, 3, kAdvanceWaitMs), std::string("OK\n"));
    QCOMPARE(readBytes(second.fd, 3, kAdvanceWaitMs), std::string("OK\n"));
    QCOMPARE(exchange(d.fd, "SR=0"), std::string("OK"));
    QCOMPARE(exchange(d.fd, "V1"), std::to_string(end));
}

// With nobody asking, the program still runs to its end on device time.
void RunProcessTest::realTimeRun()
{
    Device d;
    QCOMPARE(d.start({}, {"WHILE V1<100", "V1=V1+1", "ENDWHILE", "DELAY=50", "X200", "WAITX", "V2=PX"}), QString());
    QCOMPARE(exchange(d.fd, "SR0=1"), std::string("OK"));
    QCOMPARE(waitFor(d.fd, "SASTAT0", "0"), std::string("0"));
    QCOMPARE(exchange(d.fd, "V1"), std::string("100"));
    QCOMPARE(exchange(d.fd, "V2"), std::string("200"));
    QCOMPARE(exchange(d.fd, "SPC0"), std::string("0"));
}

void RunProcessTest::answersWhileALoopRuns()
{
    Device d;
    QCOMPARE(d.start({}, {"PRG 0", "loop: V1=V1+1", "GOTO loop", "PRG 1", "loop1: DO1=1", "DO1=0", "GOTO loop1"}),
             QString());
    QCOMPARE(exchange(d.fd, "SR=1"), std::string("OK"));
    long long last = 0;
    for (int i = 0; i < 200; ++i) {
        const std::string v = exchange(d.fd, "V1");
        QVERIFY2(v != "<none>", "no answer while the program runs");
        QVERIFY(std::stoll(v) >= last);
        last = std::stoll(v);
        QCOMPARE(exchange(d.fd, "SASTAT"), std::string("1"));
    }
    QVERIFY(waitFor(d.fd, "V1", "0", true) != "0");  // it counts
    QCOMPARE(exchange(d.fd, "SR=2"), std::string("OK"));
    const std::string paused = exchange(d.fd, "V1");
    QTest::qSleep(20);
    QCOMPARE(exchange(d.fd, "V1"), paused);
    QCOMPARE(exchange(d.fd, "SASTAT"), std::string("2"));
}

// SLOAD stored with the program starts it when the simulator comes up again.
void RunProcessTest::autoRunAfterRestart()
{
    QTemporaryDir tmp;
    const QStringList args{"--lockstep", "--flash", tmp.filePath("flash.txt")};
    {
        Device d;
        QCOMPARE(d.start(args, {"PRG 1", "DO1=1"}), QString());
        QCOMPARE(exchange(d.fd, "SLOAD=2"), std::string("OK"));
        QCOMPARE(exchange(d.fd, "STORE"), std::string("OK"));
        QCOMPARE(exchange(d.fd, "SASTAT"), std::string("0"));
    }
    SimProcess sim;
    QVERIFY(sim.start(args));
    int granted = 0;
    const int fd = sim.connectDevice(granted);
    QCOMPARE(exchange(fd, "SASTAT1"), std::string("1"));
    QCOMPARE(exchange(fd, "SPC1"), std::string("2"));
    QCOMPARE(exchange(fd, "DO1"), std::string("0"));
    QCOMPARE(sim.ctl("advance 1"), std::string("OK"));
    QCOMPARE(exchange(fd, "DO1"), std::string("1"));
    QCOMPARE(exchange(fd, "SASTAT"), std::string("0"));
    close(fd);
}

// Each store costs real time on the disk; a program that stores in a loop
// must leave the device answering its sockets and its SIGTERM.
void RunProcessTest::storingInALoop_data()
{
    QTest::addColumn<bool>("lockstep");
    QTest::newRow("lockstep") << true;
    QTest::newRow("real time") << false;
}

void RunProcessTest::storingInALoop()
{
    QFETCH(bool, lockstep);
    QTemporaryDir tmp;
    const QString flash = tmp.filePath("flash.txt");
    QStringList args{"--flash", flash, "--statement-us", "1"};
    if (lockstep)
        args << "--lockstep";
    Device d;
    QCOMPARE(d.start(args, {"loop: V30=V30+1", "STORE", "GOTO loop"}), QString());
    QCOMPARE(exchange(d.fd, "SR=1"), std::string("OK"));
    // A day of device time asks for far more stores than a disk can take in
    // the test's time: the advance is still under way when it ends.
    Fd advance{lockstep ? connectTo(d.sim.file(".ctl")) : -1};
    if (lockstep)
        QVERIFY(sendAll(advance.fd, "advance 86400000\n"));
    QDeadlineTimer spell(1500);
    while (!spell.hasExpired()) {
        QVERIFY(exchange(d.fd, "V30") != "<none>");
        QVERIFY(d.sim.ctl("state").starts_with("name="));
    }
    const std::string count = exchange(d.fd, "V30");
    QVERIFY2(count != "<none>" && std::stoll(count) > 0, count.c_str());
    QCOMPARE(exchange(d.fd, "SASTAT0"), std::string("1"));
    QCOMPARE(d.sim.stop(), 0);
    if (lockstep)  // it ended with the advance unanswered
        QCOMPARE(readBytes(advance.fd, 3), std::string());
    QVERIFY(QFile(flash).exists());
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), QStringList{"flash.txt"});
}

// On a disk where every flush takes 0.3 s, a program of stores in a row
// costs far more real time than device time: the device still answers
// within the library's time-out, and ends on SIGTERM.
void RunProcessTest::storingOnASlowDisk()
{
#if defined(__SANITIZE_THREAD__)
    QSKIP("the thread sanitizer's runtime must stay the first library loaded");
#endif
    QFETCH(bool, lockstep);
    QTemporaryDir tmp;
    Device d;
    d.sim.setEnv("LD_PRELOAD", SLOW_FSYNC);
    d.sim.setEnv("ZENTA_TEST_FSYNC_US", "300000");
    // A preloaded library cannot come before the address sanitizer's runtime.
    d.sim.setEnv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0");
    QStringList program{"loop:"};
    for (int i = 0; i < 16; ++i)
        program << "STORE";
    program << "GOTO loop";
    QStringList args{"--flash", tmp.filePath("flash.txt")};
    if (lockstep)
        args << "--lockstep";
    QCOMPARE(d.start(args, program), QString());
    QCOMPARE(exchange(d.fd, "SR=1"), std::string("OK"));
    Fd advance{lockstep ? connectTo(d.sim.file(".ctl")) : -1};
    if (lockstep)
        QVERIFY(sendAll(advance.fd, "advance 60000\n"));
    constexpr int kLibraryTimeoutMs = 5000;
    QDeadlineTimer spell(3000);
    int answered = 0;
    while (!spell.hasExpired()) {
        QVERIFY(sendAll(d.fd, frame("SASTAT0")));
        const std::string reply = readBytes(d.fd, 64, kLibraryTimeoutMs);
        QVERIFY2(reply.size() == 64, "the device did not answer within the library's time-out");
        QCOMPARE(reply.substr(0, reply.find('\0')), std::string("1"));
        ++answered;
    }
    QVERIFY(answered > 0);
    QCOMPARE(d.sim.stop(), 0);
}

void RunProcessTest::statementTimeOption_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("zero") << "0";
    QTest::newRow("above one second") << "1000001";
    QTest::newRow("not a number") << "10us";
    QTest::newRow("missing") << "";
}

void RunProcessTest::statementTimeOption()
{
    QFETCH(QString, value);
    SimProcess sim;
    QStringList args{"--lockstep", "--statement-us"};
    if (!value.isEmpty())
        args << value;
    QVERIFY(!sim.start(args));
    QCOMPARE(sim.stop(), 2);
}

QTEST_GUILESS_MAIN(RunProcessTest)
#include "run_process_test.moc"

// The driver model on its own: replies, motion over exact time, flash, power.
#include "Model.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace zsim;

namespace {

struct Rig {
    MemoryFlash flash;
    Model m{flash, "CFG01"};

    std::string cmd(const std::string &c) { return m.handle(c); }
    long long num(const std::string &c) { return std::stoll(m.handle(c)); }
    void ok(const std::string &c)
    {
        const std::string r = m.handle(c);
        QVERIFY2(r == "OK", (c + " -> " + r).c_str());
    }
    void atUs(Micros t) { m.advanceTo(t); }
    void atMs(double ms) { m.advanceTo(static_cast<Micros>(std::llround(ms * 1000))); }
    int bits() { return static_cast<int>(num("MST") & 7); }
    int current() { return static_cast<int>(num("MST") >> 3); }
};

// Duration of a move from rest over `dist` pulses, in seconds.
long double profileSeconds(long double dist, long double speed, long double accMs)
{
    const long double a = speed * 1000 / accMs;
    return dist >= speed * speed / a ? dist / speed + speed / a : 2 * std::sqrt(dist / a);
}

// Walks the clock in `stepUs` steps until the axis rests, checking that no step
// moves farther than `speed` allows; `fault` tells the first step that did.
struct Track {
    std::vector<long long> seen;
    QString fault;
};

Track follow(Rig &r, Micros stepUs, double speed, Micros limitUs = 600'000'000)
{
    Track tr{{r.num("PX")}, {}};
    Micros t = r.m.now();
    while (r.bits() != 0 && t < limitUs) {
        t += stepUs;
        r.atUs(t);
        const long long p = r.num("PX"), last = tr.seen.back();
        tr.seen.push_back(p);
        if (tr.fault.isEmpty() && std::abs(p - last) > speed * static_cast<double>(stepUs) / 1e6 + 1)
            tr.fault = QString("position jumped from %1 to %2 at %3 us").arg(last).arg(p).arg(t);
    }
    return tr;
}

// Follows to standstill (or `limit`) and fails the test on a jump.
#define FOLLOW(var, ...)                                                                           \
    Track var = follow(__VA_ARGS__);                                                               \
    QVERIFY2(var.fault.isEmpty(), qPrintable(var.fault))

int directionChanges(const std::vector<long long> &p)
{
    int changes = 0, dir = 0;
    for (std::size_t i = 1; i < p.size(); ++i) {
        const int d = (p[i] > p[i - 1]) - (p[i] < p[i - 1]);
        if (d != 0 && dir != 0 && d != dir)
            ++changes;
        if (d != 0)
            dir = d;
    }
    return changes;
}

}  // namespace

class ModelTest : public QObject {
    Q_OBJECT
private slots:
    void replies_data();
    void replies();
    void identity();
    void frames();
    void hostileInputNeverBreaksTheDevice();
    void inputsFollowPolarity();
    void outputsAndPolarity();

    void randomMovesFollowTheProfile();
    void stopDuringAcceleration();
    void newTargetWhileMoving_data();
    void newTargetWhileMoving();
    void jogReversal();
    void incrementalMoves();
    void nearThe32BitLimits();
    void refusedMotion();
    void currentAndIdleTimeout();
    void standstillAtIsWhenTheAxisStops();

    void flashRoundTrip();
    void flashFileIsReplacedAtomically();
    void flashFileKinds_data();
    void flashFileKinds();
    void corruptFlashLoadsDefaults_data();
    void corruptFlashLoadsDefaults();
    void powerCycle();
};

void ModelTest::replies_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("reply");

    const QStringList none;
    QTest::newRow("name") << none << "DN" << "CFG01";
    QTest::newRow("empty command") << none << "" << "?EMPTY";
    QTest::newRow("unknown") << none << "FOO" << "?UNKNOWN";
    QTest::newRow("lower case is unknown") << none << "hspd" << "?UNKNOWN";
    QTest::newRow("read-only id") << none << "ID=1" << "?READONLY";
    QTest::newRow("read-only mst") << none << "MST=0" << "?READONLY";
    QTest::newRow("read-only mode") << none << "MM=1" << "?READONLY";
    QTest::newRow("action with value") << none << "STOP=1" << "?SYNTAX";

    QTest::newRow("run current default") << none << "P6" << "10";
    QTest::newRow("run current set") << QStringList{"P6=20"} << "P6" << "20";
    QTest::newRow("run current below") << none << "P6=0" << "?RANGE";
    QTest::newRow("run current above") << none << "P6=21" << "?RANGE";
    QTest::newRow("run current empty") << none << "P6=" << "?SYNTAX";
    QTest::newRow("idle current zero") << QStringList{"P8=21"} << "P8" << "21";
    QTest::newRow("idle current above") << none << "P8=22" << "?RANGE";
    QTest::newRow("microstep above") << none << "P9=5" << "?RANGE";
    QTest::newRow("microstep text") << none << "P9=abc" << "?SYNTAX";
    QTest::newRow("empty P1 keeps") << QStringList{"P1=7", "P1="} << "P1" << "7";
    QTest::newRow("empty P2") << none << "P2=" << "OK";
    QTest::newRow("empty P7") << none << "P7=" << "OK";
    QTest::newRow("control mode") << QStringList{"PA=2"} << "PA" << "2";
    QTest::newRow("control mode range") << none << "PA=3" << "?RANGE";
    QTest::newRow("time-out") << QStringList{"PB=250"} << "PB" << "250";
    QTest::newRow("time-out overlong") << none << "PB=99999999999999999999999999" << "?RANGE";
    QTest::newRow("polarity after blank") << QStringList{"POL= 3"} << "POL" << "3";
    QTest::newRow("polarity range") << none << "POL=4" << "?RANGE";
    QTest::newRow("autorun after blank") << QStringList{"SLOAD= 2"} << "SLOAD" << "2";
    QTest::newRow("boot outputs") << QStringList{"DOBOOT=3"} << "DOBOOT" << "3";
    QTest::newRow("signed blank value") << QStringList{"PB= +12 "} << "PB" << "12";

    QTest::newRow("speed") << QStringList{"HSPD=2500"} << "HSPD" << "2500";
    QTest::newRow("speed zero") << none << "HSPD=0" << "?RANGE";
    QTest::newRow("speed negative") << none << "HSPD=-5" << "?RANGE";
    QTest::newRow("speed fraction") << none << "HSPD=1000.5" << "?SYNTAX";
    QTest::newRow("accel default") << none << "ACC" << "300";
    QTest::newRow("accel range") << none << "ACC=65536" << "?RANGE";

    QTest::newRow("name pending until power-up") << QStringList{"DN=CFG05"} << "DN" << "CFG01";
    QTest::newRow("name too short") << none << "DN=CFG5" << "?SYNTAX";
    QTest::newRow("name lower case") << none << "DN=cfg05" << "?SYNTAX";

    QTest::newRow("variable max") << QStringList{"V50=2147483647"} << "V50" << "2147483647";
    QTest::newRow("variable min") << QStringList{"V1=-2147483648"} << "V1" << "-2147483648";
    QTest::newRow("variable overflow") << none << "V50=2147483648" << "?RANGE";
    QTest::newRow("variable zero index") << none << "V0" << "?UNKNOWN";
    QTest::newRow("variable past end") << none << "V51" << "?UNKNOWN";
    QTest::newRow("variable leading zero") << none << "V01" << "?UNKNOWN";

    QTest::newRow("run without program") << none << "SR=1" << "?NOPROGRAM";
    QTest::newRow("continue without program") << none << "SR1=3" << "?NOPROGRAM";
    QTest::newRow("stop without program") << none << "SR0=0" << "OK";
    QTest::newRow("run action range") << none << "SR=4" << "?RANGE";
    QTest::newRow("no third thread") << none << "SR2=0" << "?UNKNOWN";
    QTest::newRow("run needs value") << none << "SR" << "?SYNTAX";
    QTest::newRow("program state") << QStringList{"SR=0"} << "SASTAT" << "0";
    QTest::newRow("thread 1 state") << none << "SASTAT1" << "0";
    QTest::newRow("thread 0 counter") << none << "SPC0" << "0";
    QTest::newRow("program counter") << none << "SPC" << "0";

    QTest::newRow("output 1") << QStringList{"DO1=1"} << "DO" << "1";
    QTest::newRow("output 2") << QStringList{"DO2=1"} << "DO" << "2";
    QTest::newRow("outputs at once") << QStringList{"DO=3", "DO1=0"} << "DO2" << "1";
    QTest::newRow("output value range") << none << "DO1=2" << "?RANGE";
    QTest::newRow("enable off") << QStringList{"EO=0"} << "EO" << "0";
    QTest::newRow("zero current when disabled") << QStringList{"EO=0"} << "MST" << "168";
    QTest::newRow("analog input") << none << "AI" << "0";

    QTest::newRow("incremental") << QStringList{"INC"} << "MM" << "1";
    QTest::newRow("absolute again") << QStringList{"INC", "ABS"} << "MM" << "0";
    QTest::newRow("target alone") << none << "X" << "?SYNTAX";
    QTest::newRow("target garbage") << none << "X12a" << "?SYNTAX";
    QTest::newRow("target above int32") << none << "X2147483648" << "?RANGE";
    QTest::newRow("target below int32") << none << "X-2147483649" << "?RANGE";
    QTest::newRow("relative overflow") << QStringList{"PX=2147483000", "INC"} << "X1000" << "?RANGE";
    QTest::newRow("set position") << QStringList{"PX=-5"} << "PX" << "-5";
    QTest::newRow("motion while disabled") << QStringList{"EO=0"} << "X100" << "?DISABLED";
    QTest::newRow("jog in analog mode") << QStringList{"PA=2"} << "J+" << "?ANALOG";
    QTest::newRow("stop always allowed") << QStringList{"PA=2"} << "STOP" << "OK";
    QTest::newRow("position while moving") << QStringList{"X1000"} << "PX=5" << "?MOVING";
    QTest::newRow("store") << none << "STORE" << "OK";
}

void ModelTest::replies()
{
    QFETCH(QStringList, setup);
    QFETCH(QString, command);
    QFETCH(QString, reply);
    Rig r;
    for (const QString &s : setup)
        r.ok(s.toStdString());
    QCOMPARE(QString::fromStdString(r.cmd(command.toStdString())), reply);
}

void ModelTest::identity()
{
    Rig r;
    QCOMPARE(r.cmd("ID"), std::string("KVL-CFG-UV-USB"));
    const std::string ver = r.cmd("VER");
    QVERIFY(ver.size() >= 8);
    QCOMPARE(ver.substr(4, 4), std::string("BLSA"));
}

void ModelTest::frames()
{
    Rig r;
    // A 64-character command has no terminator and still counts whole.
    Frame in{};
    const std::string full = "V1=" + std::string(60, '0') + "7";
    std::copy(full.begin(), full.end(), in.begin());
    QCOMPARE(full.size(), kFrame);
    Frame out = r.m.handleFrame(in);
    QCOMPARE(std::string(reinterpret_cast<const char *>(out.data()), 2), std::string("OK"));
    QVERIFY(std::all_of(out.begin() + 2, out.end(), [](unsigned char c) { return c == 0; }));
    QCOMPARE(r.cmd("V1"), std::string("7"));

    // Bytes after the first zero are not part of the command.
    in.fill(0);
    const char withTail[] = "ID\0P6=1";
    std::copy(std::begin(withTail), std::end(withTail), in.begin());
    out = r.m.handleFrame(in);
    QCOMPARE(std::string(reinterpret_cast<const char *>(out.data())), std::string("KVL-CFG-UV-USB"));
    QCOMPARE(r.cmd("P6"), std::string("10"));
}

void ModelTest::hostileInputNeverBreaksTheDevice()
{
    Rig r;
    std::mt19937 rng(7);
    std::vector<Frame> frames(20000);
    for (auto &f : frames)
        for (auto &b : f)
            b = static_cast<unsigned char>(rng());
    // Printable noise reaches the parsers further than random bytes do.
    const std::string alphabet = "XVPSDNJ+-=0123456789 ABCEHILMORTX";
    for (int i = 0; i < 20000; ++i) {
        Frame f{};
        const int len = static_cast<int>(rng() % 65);
        for (int k = 0; k < len; ++k)
            f[k] = static_cast<unsigned char>(alphabet[rng() % alphabet.size()]);
        frames.push_back(f);
    }
    for (const std::string &s : {std::string(64, '9'), "X" + std::string(63, '9'), "V1=" + std::string(61, '9'),
                                std::string("="), std::string("=="), "DN=" + std::string(61, 'C'),
                                "X-" + std::string(62, '0') + "", std::string(64, '\xff')}) {
        Frame f{};
        std::copy(s.begin(), s.end(), f.begin());
        frames.push_back(f);
    }
    Micros t = 0;
    for (const Frame &f : frames) {
        t += 997;
        r.m.advanceTo(t);
        const Frame out = r.m.handleFrame(f);
        QVERIFY(out[0] != 0);  // every command gets an answer
    }
    r.ok("ABORT");
    r.ok("EO=1");
    r.ok("PA=1");
    QCOMPARE(r.cmd("ID"), std::string("KVL-CFG-UV-USB"));
    const long long px = r.num("PX");
    QVERIFY(px >= INT32_MIN && px <= INT32_MAX);
}

void ModelTest::inputsFollowPolarity()
{
    Rig r;
    r.m.setInputs(0b000101);
    QCOMPARE(r.cmd("DI"), std::string("5"));
    r.ok("POL= 2");
    QCOMPARE(r.cmd("DI"), std::string("58"));
    r.m.setInputs(0xFF);  // only six inputs are wired
    QCOMPARE(r.cmd("DI"), std::string("0"));
    r.m.setAnalog(512);
    QCOMPARE(r.cmd("AI"), std::string("512"));
}

void ModelTest::outputsAndPolarity()
{
    Rig r;
    r.ok("DO1=1");
    QCOMPARE(r.m.outputLevels(), 1u);
    r.ok("POL= 1");
    // What the host set reads back unchanged; the terminals carry the inverse.
    QCOMPARE(r.cmd("DO"), std::string("1"));
    QCOMPARE(r.m.outputLevels(), 2u);
}

void ModelTest::randomMovesFollowTheProfile()
{
    std::mt19937 rng(20240611);
    Rig r;
    for (int move = 0; move < 300; ++move) {
        const long long speed = std::llround(std::pow(10.0, 2 + 3.5 * std::uniform_real_distribution<>()(rng)));
        const long long acc = 1 + rng() % 1500;
        long long target = static_cast<long long>(rng() % 2'000'001) - 1'000'000;
        if (move % 10 == 0)
            target = r.num("PX") + static_cast<long long>(rng() % 7) - 3;  // a few pulses only
        r.ok("HSPD=" + std::to_string(speed));
        r.ok("ACC=" + std::to_string(acc));
        const long long from = r.num("PX");
        const Micros start = r.m.now();
        r.ok("X" + std::to_string(target));

        const long double secs = profileSeconds(std::fabs(static_cast<long double>(target - from)), speed, acc);
        const Micros end = start + static_cast<Micros>(std::llround(secs * 1e6L));
        const int dir = (target > from) - (target < from);
        const bool reachesSpeed = std::abs(target - from) >= speed * speed / (speed * 1000.0 / acc);
        bool sawConstant = false;
        long long last = from;
        std::uniform_int_distribution<Micros> step(1, std::max<Micros>(2, (end - start) / 40));
        for (Micros t = start + step(rng); t < end - 2; t += step(rng)) {
            const Micros dt = t - r.m.now();
            r.atUs(t);
            const long long p = r.num("PX");
            QVERIFY2(std::abs(p - last) <= speed * dt / 1e6 + 1, qPrintable(QString("move %1 jumped").arg(move)));
            QVERIFY2((p - last) * dir >= 0, "moved backwards");
            QVERIFY2((target - p) * dir >= 0, "passed the target");
            sawConstant |= (r.bits() & kConstant) != 0;
            last = p;
        }
        if (end - 2 > r.m.now()) {
            r.atUs(end - 2);
            QVERIFY2(r.bits() != 0 || target == from, qPrintable(QString("move %1 ended early").arg(move)));
        }
        r.atUs(std::max(end + 1, r.m.now()));
        QCOMPARE(r.bits(), 0);
        QCOMPARE(r.num("PX"), target);
        if (!reachesSpeed)
            QVERIFY2(!sawConstant, "a short move never cruises");
        r.atUs(r.m.now() + 1 + rng() % 5000);
    }
}

void ModelTest::stopDuringAcceleration()
{
    Rig r;
    r.ok("HSPD=10000");
    r.ok("ACC=1000");  // 10000 pulses/s^2
    r.ok("X1000000");
    r.atMs(300);  // 3000 pulses/s after 450 pulses
    QCOMPARE(r.bits(), int(kAccelerating));
    QCOMPARE(r.num("PX"), 450LL);
    r.ok("STOP");
    QCOMPARE(r.num("PX"), 450LL);
    QCOMPARE(r.bits(), int(kDecelerating));
    FOLLOW(tr, r, 1000, 3000);
    QCOMPARE(directionChanges(tr.seen), 0);
    QCOMPARE(tr.seen.back(), 900LL);  // v^2 / 2a further on
    QCOMPARE(r.m.now(), Micros(600'000));
}

void ModelTest::newTargetWhileMoving_data()
{
    QTest::addColumn<long long>("first");
    QTest::addColumn<int>("switchMs");
    QTest::addColumn<long long>("second");
    QTest::addColumn<int>("secondSpeed");
    QTest::addColumn<int>("turns");

    // HSPD 5000, ACC 500: full speed after 1250 pulses and 0.5 s, 1250 pulses to stop.
    QTest::newRow("farther on") << 20000LL << 1000 << 40000LL << 5000 << 0;
    QTest::newRow("nearer, still reachable") << 20000LL << 1000 << 8000LL << 5000 << 0;
    QTest::newRow("nearer than stopping distance") << 20000LL << 1500 << 7000LL << 5000 << 1;
    QTest::newRow("behind") << 20000LL << 1000 << -3000LL << 5000 << 1;
    QTest::newRow("while decelerating") << 3000LL << 900 << 3500LL << 5000 << 0;
    QTest::newRow("same target") << 20000LL << 1000 << 20000LL << 5000 << 0;
    QTest::newRow("slower") << 20000LL << 1000 << 30000LL << 2000 << 0;
    QTest::newRow("faster") << 20000LL << 1000 << 60000LL << 9000 << 0;
    QTest::newRow("slower and behind") << 20000LL << 1500 << 1000LL << 1000 << 1;
}

void ModelTest::newTargetWhileMoving()
{
    QFETCH(long long, first);
    QFETCH(int, switchMs);
    QFETCH(long long, second);
    QFETCH(int, secondSpeed);
    QFETCH(int, turns);
    Rig r;
    r.ok("HSPD=5000");
    r.ok("ACC=500");
    r.ok("X" + std::to_string(first));
    FOLLOW(before_, r, 1000, 5000, switchMs * 1000);
    auto seen = before_.seen;
    QVERIFY(r.bits() != 0);
    const long long before = r.num("PX");
    r.ok("HSPD=" + std::to_string(secondSpeed));
    r.ok("X" + std::to_string(second));
    QCOMPARE(r.num("PX"), before);
    if (secondSpeed < 5000 && turns == 0) {
        r.atUs(r.m.now() + 1000);
        QCOMPARE(r.bits(), int(kDecelerating));  // down to the new speed first
    }
    FOLLOW(after, r, 1000, std::max(5000, secondSpeed));
    seen.insert(seen.end(), after.seen.begin(), after.seen.end());
    QCOMPARE(seen.back(), second);
    QCOMPARE(directionChanges(seen), turns);
}

void ModelTest::jogReversal()
{
    Rig r;
    r.ok("HSPD=2000");
    r.ok("ACC=200");
    r.ok("J+");
    r.atMs(100);
    QCOMPARE(r.bits(), int(kAccelerating));
    r.atMs(1000);
    QCOMPARE(r.bits(), int(kConstant));
    const long long at = r.num("PX");
    QCOMPARE(at, 200LL + 1600LL);  // 0.2 s ramp, then 0.8 s at full speed
    r.ok("J-");
    // Braking first: still heading up, slowing down.
    r.atMs(1100);
    QCOMPARE(r.bits(), int(kDecelerating));
    QVERIFY(r.num("PX") > at);
    r.atMs(1200);  // at rest for an instant, 200 pulses past the turn
    QCOMPARE(r.num("PX"), at + 200);
    r.atMs(1300);
    QCOMPARE(r.bits(), int(kAccelerating));
    QVERIFY(r.num("PX") < at + 200);
    r.atMs(2000);
    QCOMPARE(r.bits(), int(kConstant));
    QCOMPARE(r.num("PX"), at + 200 - 200 - 1200);
    r.ok("STOP");
    FOLLOW(stopping, r, 1000, 2000);
    QCOMPARE(r.num("PX"), at + 200 - 200 - 1200 - 200);
}

void ModelTest::incrementalMoves()
{
    Rig r;
    r.ok("HSPD=1000");
    r.ok("ACC=100");
    r.ok("INC");
    r.ok("X500");
    FOLLOW(out, r, 5000, 1000);
    r.ok("X-200");
    FOLLOW(back, r, 5000, 1000);
    QCOMPARE(r.num("PX"), 300LL);
    r.ok("ABS");
    r.ok("X0");
    FOLLOW(home, r, 5000, 1000);
    QCOMPARE(r.num("PX"), 0LL);
}

void ModelTest::nearThe32BitLimits()
{
    Rig r;
    r.ok("HSPD=6000000");
    r.ok("ACC=1");
    r.ok("PX=2147400000");
    r.ok("X2147483647");
    FOLLOW(up, r, 100, 6e6);
    QCOMPARE(up.seen.back(), 2147483647LL);
    QVERIFY(*std::max_element(up.seen.begin(), up.seen.end()) <= INT32_MAX);

    r.ok("J+");  // already at the end: nothing to do
    QCOMPARE(r.bits(), 0);

    // Jogs stop at the end of the range, exactly.
    r.ok("HSPD=100000");
    r.ok("ACC=100");
    r.ok("PX=-2147000000");
    r.ok("J-");
    FOLLOW(down, r, 10'000, 1e5);
    QCOMPARE(down.seen.back(), -2147483648LL);
    QVERIFY(*std::min_element(down.seen.begin(), down.seen.end()) >= INT32_MIN);

    // A gentle stop that would run past the end brakes harder instead.
    r.ok("HSPD=6000000");
    r.ok("ACC=10");
    r.ok("PX=2147000000");
    r.ok("J+");
    r.atUs(r.m.now() + 50'000);
    r.ok("ACC=65535");
    r.ok("STOP");
    const Micros stopAt = r.m.now();
    FOLLOW(braked, r, 1000, 6e6);
    QCOMPARE(braked.seen.back(), 2147483647LL);
    // Less than 250000 pulses were left at 6e6 pulses/s: that takes well under 0.1 s.
    QVERIFY(r.m.now() - stopAt < 100'000);

    // Turning round far out must not leave the range either.
    r.ok("PX=2147483000");
    r.ok("HSPD=1000");
    r.ok("J-");
    r.atUs(r.m.now() + 500'000);
    r.ok("J+");
    FOLLOW(turned, r, 1000, 1000);
    QCOMPARE(turned.seen.back(), 2147483647LL);
}

void ModelTest::refusedMotion()
{
    Rig r;
    r.ok("HSPD=1000");
    r.ok("ACC=100");
    r.ok("X100000");
    r.atMs(500);
    QVERIFY(r.bits() != 0);
    const long long p = r.num("PX");
    r.ok("EO=0");  // the plan is gone with the holding torque
    QCOMPARE(r.bits(), 0);
    QCOMPARE(r.num("PX"), p);
    QCOMPARE(r.cmd("J+"), std::string("?DISABLED"));
    r.ok("EO=1");
    r.ok("X100000");
    r.atMs(1000);
    r.ok("PA=2");  // analog control takes the axis away from commands
    QCOMPARE(r.bits(), 0);
    QCOMPARE(r.cmd("X5"), std::string("?ANALOG"));
    r.ok("ABORT");
}

void ModelTest::currentAndIdleTimeout()
{
    Rig r;
    r.ok("P6=15");
    r.ok("P8=3");
    r.ok("PB=50");  // half a second
    QCOMPARE(r.current(), 15);
    r.atMs(499.999);
    QCOMPARE(r.current(), 15);
    r.atMs(500);
    QCOMPARE(r.current(), 3);

    r.ok("HSPD=1000");
    r.ok("ACC=100");
    r.ok("X1100");  // 1.2 s
    QCOMPARE(r.current(), 15);
    r.atMs(1699.999);
    QVERIFY(r.bits() != 0);
    QCOMPARE(r.current(), 15);
    r.atMs(1700 + 499.999);
    QCOMPARE(r.bits(), 0);
    QCOMPARE(r.current(), 15);  // standstill, not yet timed out
    r.atMs(2200);
    QCOMPARE(r.current(), 3);

    r.ok("P8=21");
    QCOMPARE(r.current(), 21);
    r.ok("P8=3");
    r.ok("EO=0");
    QCOMPARE(r.current(), 21);
    r.ok("EO=1");
    QCOMPARE(r.current(), 3);
}

// What a host that follows a move (the panel's dry run after a program's
// end) reads: the instant the axis stands, as WAITX waits for it.
void ModelTest::standstillAtIsWhenTheAxisStops()
{
    Rig r;
    r.atMs(5);
    QCOMPARE(r.m.standstillAt(), Micros(5'000));  // standing: now
    r.ok("HSPD=1000");
    r.ok("ACC=100");
    r.ok("X1000");
    const Micros stands = r.m.standstillAt();
    QVERIFY2(std::abs(stands - 1'105'000) <= 1, qPrintable(QString::number(stands)));
    r.atUs(stands - 1);
    QVERIFY(r.bits() != 0);
    QCOMPARE(r.m.standstillAt(), stands);
    r.atUs(stands);
    QCOMPARE(r.bits(), 0);
    QCOMPARE(r.num("PX"), 1000LL);
    QCOMPARE(r.m.standstillAt(), stands);
    // A jog stands only at the end of the range; a STOP brings it nearer.
    r.ok("J+");
    QVERIFY(r.m.standstillAt() > r.m.now() + 600'000'000);
    r.atUs(stands + 500'000);
    r.ok("STOP");
    QVERIFY2(std::abs(r.m.standstillAt() - (stands + 600'000)) <= 1, qPrintable(QString::number(r.m.standstillAt())));
}

void ModelTest::flashRoundTrip()
{
    MemoryFlash flash;
    {
        Model m(flash, "CFG01");
        QCOMPARE(m.flashState(), FlashState::Blank);
        for (const char *c : {"P3=33", "P6=12", "P8=21", "P9=2", "PA=2", "PB=7", "POL= 3", "DOBOOT=2",
                              "SLOAD= 1", "DN=CFG42", "V1=11", "V25=25", "V26=-26", "V50=50", "STORE"})
            QCOMPARE(m.handle(c), std::string("OK"));
    }
    Model m(flash, "CFG01");
    QCOMPARE(m.flashState(), FlashState::Loaded);
    for (auto [c, want] : std::initializer_list<std::pair<const char *, const char *>>{
             {"P3", "33"}, {"P6", "12"}, {"P8", "21"}, {"P9", "2"}, {"PA", "2"}, {"PB", "7"}, {"POL", "3"},
             {"DOBOOT", "2"}, {"SLOAD", "1"}, {"DN", "CFG42"}, {"V1", "0"}, {"V25", "0"}, {"V26", "-26"},
             {"V50", "50"}})
        QCOMPARE(m.handle(c), std::string(want));
    QCOMPARE(m.deviceName(), std::string("CFG42"));
}

namespace {

std::string slurp(int fd)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, static_cast<off_t>(out.size()))) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

}  // namespace

void ModelTest::flashFileIsReplacedAtomically()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("dev.flash");
    FileFlash flash(file.toStdString());
    Model m(flash, "CFG03");
    QCOMPARE(m.handle("V30=123"), std::string("OK"));
    QCOMPARE(m.handle("STORE"), std::string("OK"));
    QVERIFY(chmod(file.toLocal8Bit().constData(), 0640) == 0);

    // Whoever still reads the old image must see it whole: a store that
    // rewrote the file in place would change it under them.
    const int old = open(file.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(old >= 0);
    const std::string before = slurp(old);
    QVERIFY(before.find("V30=123\n") != std::string::npos);
    struct stat was {}, now {};
    QCOMPARE(fstat(old, &was), 0);

    QCOMPARE(m.handle("V30=456"), std::string("OK"));
    QCOMPARE(m.handle("STORE"), std::string("OK"));
    QCOMPARE(slurp(old), before);
    close(old);
    QCOMPARE(stat(file.toLocal8Bit().constData(), &now), 0);
    QVERIFY(now.st_ino != was.st_ino);
    QCOMPARE(now.st_mode & 07777, mode_t(0640));  // the new image keeps the old permissions
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"dev.flash"});  // no temp left over
    FileFlash again(file.toStdString());
    Model reloaded(again, "CFG03");
    QCOMPARE(reloaded.handle("V30"), std::string("456"));

    // A temporary file left by a store that died half-way does not block the next.
    QFile stale(file + ".tmp");
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write("half");
    stale.close();
    QCOMPARE(m.handle("STORE"), std::string("OK"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"dev.flash"});

    // A flash that cannot be written says so instead of pretending.
    FileFlash nowhere(dir.filePath("missing/dev.flash").toStdString());
    Model lost(nowhere, "CFG03");
    QCOMPARE(lost.handle("STORE"), std::string("?FLASH"));
    // The reason goes to the simulator's log once, naming the folder it could not write in.
    const std::string why = nowhere.takeWriteFault();
    QVERIFY2(why.find("missing") != std::string::npos, why.c_str());
    QCOMPARE(nowhere.takeWriteFault(), std::string());
}

// What lies at the flash path decides between blank, loaded and a fault; a
// fault keeps the defaults and refuses STORE, so nothing is overwritten.
void ModelTest::flashFileKinds_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("store");
    for (auto [kind, state, store] : std::initializer_list<std::tuple<const char *, FlashState, const char *>>{
             {"missing", FlashState::Blank, "OK"},
             {"image", FlashState::Loaded, "OK"},
             {"link to image", FlashState::Loaded, "OK"},
             {"relative link to image", FlashState::Loaded, "OK"},
             {"dangling link", FlashState::Blank, "OK"},
             {"link loop", FlashState::Unreadable, "?FLASH"},
             {"fifo", FlashState::Unreadable, "?FLASH"},
             {"folder", FlashState::Unreadable, "?FLASH"},
             {"link to fifo", FlashState::Unreadable, "?FLASH"},
         })
        QTest::newRow(kind) << QString(kind) << int(state) << QString(store);
}

void ModelTest::flashFileKinds()
{
    QFETCH(QString, kind);
    QFETCH(int, state);
    QFETCH(QString, store);
    QTemporaryDir dir;
    const QString path = dir.filePath("dev.flash"), real = dir.filePath("real.flash");
    const QByteArray p = path.toLocal8Bit(), r = real.toLocal8Bit();
    MemoryFlash source;
    {
        Model writer(source, "CFG01");
        QCOMPARE(writer.handle("V40=40"), std::string("OK"));
        QCOMPARE(writer.handle("STORE"), std::string("OK"));
    }
    auto writeImage = [&](const QByteArray &to) {
        std::ofstream(to.toStdString(), std::ios::binary) << *source.image_;
    };
    if (kind == "image")
        writeImage(p);
    else if (kind == "link to image") {
        writeImage(r);
        QCOMPARE(symlink(r.constData(), p.constData()), 0);
    } else if (kind == "relative link to image") {
        writeImage(r);
        QCOMPARE(symlink("real.flash", p.constData()), 0);
    } else if (kind == "dangling link")
        QCOMPARE(symlink(r.constData(), p.constData()), 0);
    else if (kind == "link loop") {
        QCOMPARE(symlink(p.constData(), r.constData()), 0);
        QCOMPARE(symlink(r.constData(), p.constData()), 0);
    } else if (kind == "fifo")
        QCOMPARE(mkfifo(p.constData(), 0600), 0);
    else if (kind == "folder")
        QVERIFY(QDir().mkdir(path));
    else if (kind == "link to fifo") {
        QCOMPARE(mkfifo(r.constData(), 0600), 0);
        QCOMPARE(symlink(r.constData(), p.constData()), 0);
    }
    struct stat before {};
    const bool existed = lstat(p.constData(), &before) == 0;

    FileFlash flash(path.toStdString());  // a FIFO must not block here
    Model m(flash, "CFG01");
    QCOMPARE(int(m.flashState()), state);
    QCOMPARE(QString::fromStdString(flash.fault()).isEmpty(), state != int(FlashState::Unreadable));
    QCOMPARE(m.handle("V40"), std::string(state == int(FlashState::Loaded) ? "40" : "0"));
    QCOMPARE(m.handle("V41=41"), std::string("OK"));
    QCOMPARE(QString::fromStdString(m.handle("STORE")), store);

    struct stat after {};
    if (existed) {  // still the same kind of thing: a link stays a link
        QCOMPARE(lstat(p.constData(), &after), 0);
        QCOMPARE(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
    }
    const QStringList names = QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    QVERIFY2(names.filter(".tmp").isEmpty(), qPrintable(names.join(' ')));
    QVERIFY2(names.filter(".part").isEmpty(), qPrintable(names.join(' ')));  // where a store now writes its new image
    if (store == "OK") {
        FileFlash again(path.toStdString());
        Model reloaded(again, "CFG01");
        QCOMPARE(reloaded.flashState(), FlashState::Loaded);
        QCOMPARE(reloaded.handle("V41"), std::string("41"));
    }
}

void ModelTest::corruptFlashLoadsDefaults_data()
{
    QTest::addColumn<QByteArray>("image");
    MemoryFlash good;
    {
        Model m(good, "CFG01");
        m.handle("P6=17");
        m.handle("DN=CFG09");
        m.handle("V40=4");
        m.handle("STORE");
    }
    const QByteArray image = QByteArray::fromStdString(*good.image_);
    QByteArray flipped = image;
    flipped[flipped.indexOf("P6=17") + 4] = '8';
    QTest::newRow("value changed") << flipped;
    QTest::newRow("truncated") << image.left(image.size() / 2);
    QTest::newRow("checksum cut") << image.left(image.size() - 3);
    QTest::newRow("empty") << QByteArray();
    QByteArray noise(600, '\0');
    std::mt19937 rng(3);
    for (auto &c : noise)
        c = static_cast<char>(rng());
    QTest::newRow("noise") << noise;
    QTest::newRow("noise with a checksum line") << noise + "\nCRC=00000000\n";
    // A checksum that fits but content no driver would hold.
    QTest::newRow("value out of range")
        << QByteArray::fromStdString(encodeFlash({{"P6", "99"}, {"DN", "CFG09"}}));
    QTest::newRow("bad name") << QByteArray::fromStdString(encodeFlash({{"DN", "XYZ"}}));
    QTest::newRow("unknown key") << QByteArray::fromStdString(encodeFlash({{"Q9", "1"}}));
    QTest::newRow("volatile variable") << QByteArray::fromStdString(encodeFlash({{"V3", "1"}}));
}

void ModelTest::corruptFlashLoadsDefaults()
{
    QFETCH(QByteArray, image);
    MemoryFlash flash;
    flash.image_ = image.toStdString();
    Model m(flash, "CFG01");
    QCOMPARE(m.flashState(), FlashState::Corrupt);
    QCOMPARE(m.handle("P6"), std::string("10"));
    QCOMPARE(m.handle("DN"), std::string("CFG01"));
    QCOMPARE(m.handle("V40"), std::string("0"));
    QCOMPARE(m.handle("ID"), std::string("KVL-CFG-UV-USB"));
    // Storing again heals it.
    QCOMPARE(m.handle("STORE"), std::string("OK"));
    Model healed(flash, "CFG01");
    QCOMPARE(healed.flashState(), FlashState::Loaded);
}

void ModelTest::powerCycle()
{
    Rig r;
    r.ok("DN=CFG42");
    r.m.powerUp(1000);
    QCOMPARE(r.cmd("DN"), std::string("CFG01"));  // never stored: forgotten

    r.ok("DN=CFG42");
    r.ok("DOBOOT=2");
    r.ok("POL= 1");
    r.ok("V30=30");
    r.ok("STORE");
    r.ok("DN=CFG43");  // pending, not stored
    r.ok("DO=1");
    r.ok("V1=1");
    r.ok("V31=31");  // changed after the store
    r.ok("HSPD=3000");
    r.ok("INC");
    r.ok("EO=0");
    r.ok("EO=1");
    r.ok("X5000");
    r.atMs(500);
    QVERIFY(r.bits() != 0);

    r.m.powerUp(2000);
    QCOMPARE(r.m.deviceName(), std::string("CFG42"));
    QCOMPARE(r.cmd("DN"), std::string("CFG42"));
    QCOMPARE(r.cmd("DO"), std::string("2"));
    QCOMPARE(r.m.outputLevels(), 1u);  // boot pattern through the stored polarity
    QCOMPARE(r.cmd("PX"), std::string("0"));
    QCOMPARE(r.bits(), 0);
    QCOMPARE(r.cmd("V1"), std::string("0"));
    QCOMPARE(r.cmd("V30"), std::string("30"));
    QCOMPARE(r.cmd("V31"), std::string("0"));
    QCOMPARE(r.cmd("HSPD"), std::string("1000"));
    QCOMPARE(r.cmd("MM"), std::string("0"));
    QCOMPARE(r.cmd("EO"), std::string("1"));
    QCOMPARE(r.cmd("SASTAT"), std::string("0"));
}

QTEST_APPLESS_MAIN(ModelTest)
#include "model_test.moc"

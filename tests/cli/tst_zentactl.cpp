// zentactl as a process against real zenta-sim processes (lockstep, so that
// motion moves only when a test advances time): every command, its output,
// its exit statuses, bad input that must reach no device, and signals that
// must leave no axis running.
#include "Zentactl.h"

#include "zenta/lang/compiler.hpp"
#include "zenta/lang/program.hpp"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <signal.h>
#include <unistd.h>

using namespace clitest;
using simtest::SimProcess;

namespace {

// Both counters the simulator keeps of what reached it.
std::string reached(SimProcess &sim)
{
    return "connections=" + sim.state("connections") + " frames=" + sim.state("frames");
}

// Time moves on in small steps until zentactl has ended, so that a wait in
// it sees the axis stand; bounded by the count of steps.
Result finishWhileAdvancing(QProcess &p, SimProcess &sim, int stepMs = 100, int steps = 600)
{
    for (int i = 0; i < steps && !p.waitForFinished(20); ++i)
        sim.ctl("advance " + std::to_string(stepMs));
    return Bench::finish(p);
}

// The axis moves: its position changes while time moves on.
bool axisMoves(SimProcess &sim)
{
    const long before = number(sim, "px");
    sim.ctl("advance 200");
    return number(sim, "px") != before;
}

}  // namespace

class ZentactlTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Bench> bench;

    SimProcess &sim() { return *bench->sims.front(); }
    Result run(const QStringList &args, const QByteArray &input = {}) { return bench->run(args, input); }

    // The device state a row of the refusal tables names; `held` keeps a
    // connection that holds the device for as long as the row runs.
    void arrange(const QString &situation, simtest::Fd &held)
    {
        if (situation == "output disabled")
            QCOMPARE(run({"output", "EO", "off"}).exit, 0);
        else if (situation == "analog")
            QCOMPARE(run({"send", "PA=2"}).out, QByteArray("OK\n"));
        else if (situation == "no simulator")
            bench->sims.clear();
        else if (situation == "second simulator")
            bench->startSim("sim2", "CFG02");
        else if (situation == "held") {
            int granted = -1;
            held.fd = sim().connectDevice(granted);
            QCOMPARE(granted, 1);
        } else if (situation == "silent")
            QCOMPARE(sim().ctl("silent on"), std::string("OK"));
        else if (situation == "jogging")
            QCOMPARE(run({"send", "J+"}).exit, 0);
    }

private slots:
    void init() { bench = Bench::withOneDevice(); }

    void cleanup() { bench.reset(); }

    void versionAndHelp()
    {
        const Result v = run({"--version"});
        QCOMPARE(v.exit, 0);
        QVERIFY2(v.out.startsWith("zentactl ") && v.out.trimmed().count(' ') == 1, v.out.constData());
        const Result h = run({"--help"});
        QCOMPARE(h.exit, 0);
        for (const char *command : {"list", "status", "move", "datum", "jog", "stop", "mode", "output", "var", "send",
                                    "settings", "store", "program", "wait"})
            QVERIFY2(h.out.contains(QByteArray("\n  ") + command + " "), command);
        QCOMPARE(reached(sim()), std::string("connections=0 frames=0"));
    }

    // Every kind of bad input: one line on standard error naming it, its
    // status, nothing on standard output, and nothing reaches the device.
    void badInputReachesNoDevice_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        // The parser's errors, in the house style: one sentence naming the
        // argument and what it takes.
        QTest::newRow("no command") << QStringList{} << 1
                                    << "a command is missing: list, status, move, datum, jog, stop, mode, output, var, "
                                       "send, settings, store, program or wait";
        QTest::newRow("unknown command") << QStringList{"bogus"} << 1 << "\"bogus\" is not a command: list, status,";
        QTest::newRow("unknown option") << QStringList{"status", "--bogus"} << 1
                                        << "\"--bogus\" is not an option of status: it takes --watch or --count";
        QTest::newRow("unknown option of a command without options")
            << QStringList{"var", "V1", "--count", "3"} << 1 << "\"--count\" is not an option of var: it takes none";
        QTest::newRow("unknown subcommand") << QStringList{"program", "bogus"} << 1
                                            << "program: \"bogus\" is not a command: check, download, verify, upload, run, stop, "
                                               "pause, cont or status";
        QTest::newRow("missing subcommand") << QStringList{"settings"} << 1 << "settings: a command is missing: get, set or diff";
        QTest::newRow("missing argument") << QStringList{"move"} << 1
                                          << "move: TARGET is missing: a whole number, the position";
        QTest::newRow("missing file") << QStringList{"settings", "set"} << 1
                                      << "settings set: FILE is missing: a settings file, or - for standard input";
        QTest::newRow("extra argument") << QStringList{"move", "10", "20"} << 1
                                        << "move: \"20\" is not expected: move takes TARGET";
        QTest::newRow("argument to a command that takes none") << QStringList{"list", "all"} << 1
                                                               << "list: \"all\" is not expected: list takes no argument";
        QTest::newRow("option without its value") << QStringList{"move", "10", "--speed"} << 1
                                                  << "move: --speed is given no value: it takes a speed from 1 to "
                                                     "6000000 pulses per second";
        QTest::newRow("-d without its value") << QStringList{"status", "-d"} << 1 << "-d is given no value: it takes a name";
        QTest::newRow("-d twice for a one-device command") << QStringList{"-d", "CFG01", "-d", "CFG01", "jog", "+"}
                                                           << 1 << "jog takes one device";
        QTest::newRow("--retry twice") << QStringList{"--retry", "1", "--retry", "2", "status"} << 1
                                       << "--retry is given more than once";
        QTest::newRow("a switch given a value") << QStringList{"stop", "--abort=x"} << 1
                                                << "stop: --abort is a switch: it takes no value";
        // An empty -d (a script's empty variable) or a # without an index
        // names no device: it must not pick the only one listed.
        QTest::newRow("-d empty") << QStringList{"-d", "", "move", "100"} << 1 << "-d: \"\" names no device";
        QTest::newRow("-d # without a number") << QStringList{"-d", "#x", "status"} << 1
                                               << "-d: \"#x\" is not #N with N an index from list";
        QTest::newRow("-d # alone") << QStringList{"--device", "#", "stop"} << 1 << "-d: \"#\" is not #N";
        QTest::newRow("-d # negative") << QStringList{"-d", "#-1", "stop"} << 1 << "-d: \"#-1\" is not #N";
        QTest::newRow("-o empty") << QStringList{"program", "upload", "-o", ""} << 1 << "-o: \"\" is not a file name";
        QTest::newRow("fraction") << QStringList{"move", "1.5"} << 1 << "\"1.5\" is not a whole number";
        QTest::newRow("beyond 32 bits") << QStringList{"move", "2147483648"} << 1 << "\"2147483648\" is not a whole";
        QTest::newRow("below 32 bits") << QStringList{"move", "-2147483649"} << 1 << "\"-2147483649\" is not a whole";
        QTest::newRow("hexadecimal") << QStringList{"move", "0x10"} << 1 << "\"0x10\" is not a whole number";
        QTest::newRow("speed not a number, before any speed is sent")
            << QStringList{"move", "100", "--speed", "fast"} << 1 << "--speed: \"fast\"";
        QTest::newRow("acceleration beyond 32 bits")
            << QStringList{"datum", "--accel", "99999999999"} << 1 << "--accel: \"99999999999\"";
        QTest::newRow("variable V0") << QStringList{"var", "V0"} << 1 << "\"V0\" is not a variable V1 to V50";
        QTest::newRow("variable V51") << QStringList{"var", "V1", "V51=3"} << 1 << "\"V51=3\" is not a variable";
        QTest::newRow("variable value") << QStringList{"var", "V3=x"} << 1 << "V3: \"x\" is not a whole number";
        QTest::newRow("output word") << QStringList{"output", "DO3", "on"} << 1 << "\"DO3\" is not an output";
        QTest::newRow("output state") << QStringList{"output", "EO", "2"} << 1
                                      << "output: \"2\" is not a state: on or off (1 or 0)";
        QTest::newRow("mode word") << QStringList{"mode", "absolute"} << 1 << "\"absolute\" is not a move mode";
        QTest::newRow("jog direction") << QStringList{"jog", "up"} << 1 << "\"up\" is not a direction";
        QTest::newRow("jog longer than an hour")
            << QStringList{"jog", "+", "--for", "100000"} << 1 << "--for: \"100000\" is not a number of seconds from 0 to 3600";
        QTest::newRow("thread") << QStringList{"program", "run", "2"} << 1 << "\"2\" is not a program thread";
        QTest::newRow("wait word") << QStringList{"wait", "moving"} << 1 << "\"moving\" is not idle or stopped";
        QTest::newRow("negative timeout") << QStringList{"wait", "idle", "--timeout", "-1"} << 1 << "--timeout";
        QTest::newRow("count without watch") << QStringList{"status", "--count", "2"} << 1
                                             << "status: --count is taken only with --watch";
        QTest::newRow("timeout without wait") << QStringList{"move", "5", "--timeout", "3"} << 1
                                              << "move: --timeout is taken only with --wait";
        // Speed and acceleration within the device's ranges, or nothing is sent.
        QTest::newRow("negative speed") << QStringList{"move", "100", "--speed", "-5"} << 1
                                        << "--speed: \"-5\" is not a speed from 1 to 6000000 pulses per second";
        QTest::newRow("speed 0") << QStringList{"datum", "--speed", "0"} << 1 << "--speed: \"0\" is not a speed";
        QTest::newRow("speed beyond the device's") << QStringList{"jog", "+", "--speed", "6000001"} << 1
                                                   << "--speed: \"6000001\" is not a speed from 1 to 6000000";
        QTest::newRow("acceleration beyond the device's")
            << QStringList{"move", "100", "--accel", "70000"} << 1
            << "--accel: \"70000\" is not an acceleration time from 1 to 65535 milliseconds";
        QTest::newRow("acceleration 0") << QStringList{"datum", "--accel", "0", "--wait"} << 1
                                        << "--accel: \"0\" is not an acceleration time";
        QTest::newRow("retry") << QStringList{"--retry", "soon", "status"} << 1 << "--retry: \"soon\"";
        QTest::newRow("command longer than a frame")
            << QStringList{"send", QString(65, 'A')} << 1 << "65 characters, more than the 64 of a frame";
        QTest::newRow("text Latin-1 cannot hold")
            << QStringList{"send", QString::fromUtf8("DN=CFG\u20ac1")} << 1 << "U+20AC";
        QTest::newRow("settings file missing") << QStringList{"settings", "set", "missing.ini"} << 2 << "missing.ini";
        QTest::newRow("settings file invalid")
            << QStringList{"settings", "set", "bad.ini"} << 2 << "line 5, key \"Microstep\": \"8\" is not one of";
        QTest::newRow("program missing") << QStringList{"program", "download", "none.prg"} << 2 << "none.prg";
        QTest::newRow("program that does not compile")
            << QStringList{"program", "download", "bad.prg"} << 2 << "bad.prg:2: unknown command FOO";
        QTest::newRow("compiled file cut short")
            << QStringList{"program", "download", "cut.txt"} << 2 << "announces 3 compiled lines";
        QTest::newRow("a device that is not there") << QStringList{"-d", "CFG09", "status"} << 3 << "no device CFG09";
    }
    void badInputReachesNoDevice()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, message);
        writeFile(bench->file("bad.ini"), QByteArray(kSettingsFile).replace("Microstep=2", "Microstep=8"));
        writeFile(bench->file("bad.prg"), "X1000\r\nFOO\r\n");
        writeFile(bench->file("cut.txt"), "COMPILE OK 3 lines\r\n1 X1\r\n2 X2\r\n");
        const Result r = run(args);
        QCOMPARE(r.exit, status);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(QString::fromUtf8(r.err).contains(message), r.err.constData());
        QCOMPARE(r.out, QByteArray());
        QCOMPARE(reached(sim()), std::string("connections=0 frames=0"));
    }

    void statusReadsEverythingTheMainWindowShows()
    {
        sim().ctl("di 37");  // DI1, DI3, DI6
        sim().ctl("ai 700");
        QCOMPARE(run({"output", "DO2", "on"}).exit, 0);
        QCOMPARE(run({"mode", "inc"}).exit, 0);
        QCOMPARE(run({"move", "250", "--speed", "100000"}).exit, 0);
        sim().ctl("advance 5000");
        const Result r = run({"--json", "status"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out.count('\n'), 1);
        const QJsonObject s = jsonOf(r.out);
        QCOMPARE(s["device"].toString(), QString("CFG01"));
        QVERIFY(s["position"].isDouble());
        QCOMPARE(s["position"].toInteger(), 250);
        QCOMPARE(s["state"].toString(), QString("IDLE"));
        // Standing still the idle current flows: P8 = 5, half an ampere.
        QCOMPARE(s["current"].toDouble(), 0.5);
        QCOMPARE(s["ai"].toInteger(), 700);
        QCOMPARE(s["mode"].toString(), QString("INC"));
        QCOMPARE(s["di"].toArray(), (QJsonArray{true, false, true, false, false, true}));
        QCOMPARE(s["do"].toArray(), (QJsonArray{false, true}));
        QCOMPARE(s["eo"].toBool(), true);
        QCOMPARE(s["program"].toObject()["status"].toString(), QString("idle"));
        QVERIFY(s["program"].toObject()["index"].isDouble());
        const QJsonArray threads = s["threads"].toArray();
        QCOMPARE(threads.size(), 2);
        for (const auto &t : threads) {
            QCOMPARE(t.toObject()["status"].toString(), QString("idle"));
            QVERIFY(t.toObject()["index"].isDouble());
        }

        // While it moves: the state and the run current (P6 = 10, one ampere).
        QCOMPARE(run({"send", "J+"}).exit, 0);
        sim().ctl("advance 1000");
        const QJsonObject moving = jsonOf(run({"--json", "status"}).out);
        QCOMPARE(moving["state"].toString(), QString("CONST"));
        QCOMPARE(moving["current"].toDouble(), 1.0);
        const Result text = run({"status"});
        QCOMPARE(text.exit, 0);
        QVERIFY2(text.out.startsWith("CFG01 position=") && text.out.contains(" state=CONST current=1 ai=700 mode=INC "
                                                                              "di=101001 do=01 eo=1 program=idle/"),
                 text.out.constData());
        QCOMPARE(run({"stop", "--abort"}).exit, 0);
    }

    void watchGivesOneObjectPerReading()
    {
        const Result r = run({"status", "--watch", "--count", "3", "--json"});
        QCOMPARE(r.exit, 0);
        const QList<QByteArray> lines = r.out.trimmed().split('\n');
        QCOMPARE(lines.size(), 3);
        for (const QByteArray &l : lines)
            QCOMPARE(jsonOf(l)["device"].toString(), QString("CFG01"));
        // 13 exchanges a reading, nothing else.
        QCOMPARE(sim().state("frames"), std::to_string(3 * 13));
    }

    // Each command against the device: what it answers, and what it did.
    void everyCommand_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("output");  // a part of standard output
        QTest::addColumn<QString>("key");     // a key of the simulator's state afterwards
        QTest::addColumn<QString>("value");
        QTest::newRow("list") << QStringList{"list"} << "0\tCFG01\tCFG01\tsim1\n" << "frames" << "0";
        QTest::newRow("move") << QStringList{"move", "-250"} << "CFG01: X-250 sent" << "target" << "-250";
        QTest::newRow("move with speed") << QStringList{"move", "7", "--speed", "2000", "--accel", "50"}
                                         << "X7 sent" << "hspd" << "2000";
        QTest::newRow("datum") << QStringList{"datum", "--wait"} << "X0 done, position 0" << "px" << "0";
        QTest::newRow("mode inc") << QStringList{"mode", "INC"} << "mode INC" << "mm" << "1";
        QTest::newRow("output EO off") << QStringList{"output", "eo", "off"} << "EO off" << "eo" << "0";
        QTest::newRow("output DO1 on") << QStringList{"output", "DO1", "on"} << "DO1 on" << "do" << "1";
        QTest::newRow("output DO2 1") << QStringList{"output", "DO2", "1"} << "DO2 on" << "do" << "2";
        QTest::newRow("output EO 0") << QStringList{"output", "EO", "0"} << "EO off" << "eo" << "0";
        QTest::newRow("output EO OFF") << QStringList{"output", "EO", "OFF"} << "EO off" << "eo" << "0";
        QTest::newRow("var set and read") << QStringList{"var", "V7=-12", "V7"} << "V7=-12\n" << "frames" << "2";
        QTest::newRow("send") << QStringList{"send", "VER"} << "V113BLSA\n" << "frames" << "1";
        QTest::newRow("send a set") << QStringList{"send", "HSPD=1234"} << "OK\n" << "hspd" << "1234";
        QTest::newRow("stop") << QStringList{"stop"} << "STOP sent" << "frames" << "1";
        QTest::newRow("program status") << QStringList{"program", "status"}
                                        << "program=idle/0 thread0=idle/0 thread1=idle/0" << "frames" << "6";
        QTest::newRow("wait idle") << QStringList{"wait", "idle"} << "the axis stands" << "frames" << "1";
        QTest::newRow("wait stopped") << QStringList{"wait", "stopped"} << "no thread runs or is paused" << "frames"
                                      << "4";
        QTest::newRow("store") << QStringList{"store"} << "CFG01: Store to Flash done!\n" << "frames" << "1";
    }
    void everyCommand()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, output);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QProcess p;
        bench->start(p, args);
        const Result r = finishWhileAdvancing(p, sim());
        QVERIFY2(r.exit == 0, r.err.constData());
        QVERIFY2(QString::fromUtf8(r.out).contains(output), r.out.constData());
        QCOMPARE(sim().state(key.toStdString()), value.toStdString());
    }

    void variablesAllAndJson()
    {
        QCOMPARE(run({"var", "V2=5", "V50=-7"}).exit, 0);
        const Result all = run({"var"});
        QCOMPARE(all.exit, 0);
        const QList<QByteArray> lines = all.out.trimmed().split('\n');
        QCOMPARE(lines.size(), 50);
        QCOMPARE(lines[0], QByteArray("V1=0"));
        QCOMPARE(lines[1], QByteArray("V2=5"));
        QCOMPARE(lines[49], QByteArray("V50=-7"));
        const QJsonObject o = jsonOf(run({"--json", "var", "V2", "V3=9"}).out);
        QCOMPARE(o["read"].toObject()["v2"].toInteger(), 5);
        QCOMPARE(o["set"].toObject()["v3"].toInteger(), 9);
    }

    void exitStatuses_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("0 success") << "" << QStringList{"status"} << 0 << "";
        QTest::newRow("2 refused") << "output disabled" << QStringList{"move", "100"} << 2
                                   << "CFG01 refused \"X100\": ?DISABLED";
        QTest::newRow("2 analog control") << "analog" << QStringList{"jog", "+"} << 2
                                          << "Turn on USB Control to move. (CFG01 answers \"PA\" with \"2\")";
        QTest::newRow("3 no device at all") << "no simulator" << QStringList{"status"} << 3 << "no device is listed";
        QTest::newRow("4 two devices, none chosen") << "second simulator" << QStringList{"status"} << 4
                                                    << "several devices are listed, choose one with -d: CFG01 (#0), "
                                                       "CFG02 (#1)";
        QTest::newRow("5 in use") << "held" << QStringList{"status"} << 5
                                  << "device CFG01 is in use by another program";
        QTest::newRow("5 in use after --retry") << "held" << QStringList{"--retry", "0.3", "status"} << 5
                                                << "stayed busy for the 0.3 s of --retry";
        QTest::newRow("6 silent") << "silent" << QStringList{"status"} << 6
                                  << "CFG01 stopped answering (no reply to \"PX\")";
        QTest::newRow("7 wait timed out") << "jogging" << QStringList{"wait", "idle", "--timeout", "0.2"} << 7
                                          << "the axis still moves after 0.2 s";
    }
    void exitStatuses()
    {
        QFETCH(QString, situation);
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, message);
        simtest::Fd held;
        arrange(situation, held);
        QVERIFY(!QTest::currentTestFailed());
        const Result r = run(args);
        QVERIFY2(r.exit == status, r.err.constData());
        if (message.isEmpty())
            QCOMPARE(r.err, QByteArray());
        else {
            QCOMPARE(r.errLines().size(), 1);
            QVERIFY2(QString::fromUtf8(r.err).contains(message), r.err.constData());
        }
    }

    void retryWaitsForTheDeviceToBeFree()
    {
        int granted = -1;
        auto held = std::make_unique<simtest::Fd>(sim().connectDevice(granted));
        QCOMPARE(granted, 1);
        const long offered = number(sim(), "connections");
        QProcess p;
        bench->start(p, {"--retry", "20", "var", "V1=4"});
        // Let go once zentactl has been turned away at least twice.
        QTRY_VERIFY_WITH_TIMEOUT(number(sim(), "connections") >= offered + 2, kRunMs);
        held.reset();
        const Result r = Bench::finish(p);
        QVERIFY2(r.exit == 0, r.err.constData());
        QCOMPARE(run({"var", "V1"}).out, QByteArray("V1=4\n"));
    }

    void twoDevicesChosenByNameOrIndex()
    {
        SimProcess &second = bench->startSim("sim2", "CFG02");
        const QJsonObject listed = jsonOf(run({"--json", "list"}).out);
        const QJsonArray devices = listed["devices"].toArray();
        QCOMPARE(devices.size(), 2);
        QCOMPARE(devices[1].toObject()["index"].toInt(), 1);
        QCOMPARE(devices[1].toObject()["name"].toString(), QString("CFG02"));
        QCOMPARE(devices[1].toObject()["product"].toString(), QString("CFG02"));

        QCOMPARE(run({"-d", "CFG02", "var", "V1=22"}).exit, 0);
        QCOMPARE(run({"var", "V1=11", "--device", "#0"}).exit, 0);
        QCOMPARE(run({"-d", "#1", "var", "V1"}).out, QByteArray("V1=22\n"));
        QCOMPARE(run({"-d", "cfg01", "var", "V1"}).out, QByteArray("V1=11\n"));
        QCOMPARE(jsonOf(run({"--json", "-d", "CFG02", "status"}).out)["device"].toString(), QString("CFG02"));
        // Only what was meant for it: a set, a read and one status reading of 13 exchanges.
        QCOMPARE(second.state("frames"), std::string("15"));
    }

    // A signal ends jog and move --wait, and the axis gets its STOP first.
    void signalStopsTheAxis_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("status");
        QTest::newRow("jog, SIGINT") << QStringList{"jog", "+", "--speed", "2000"} << int(SIGINT) << 0;
        QTest::newRow("jog, SIGTERM") << QStringList{"jog", "-"} << int(SIGTERM) << 0;
        QTest::newRow("move --wait, SIGINT") << QStringList{"move", "100000000", "--wait", "--speed", "1000"}
                                             << int(SIGINT) << 128 + SIGINT;
        QTest::newRow("move --wait, SIGTERM") << QStringList{"move", "-100000000", "--wait"} << int(SIGTERM)
                                              << 128 + SIGTERM;
        QTest::newRow("datum --wait, SIGINT") << QStringList{"datum", "--wait"} << int(SIGINT) << 128 + SIGINT;
    }
    void signalStopsTheAxis()
    {
        QFETCH(QStringList, args);
        QFETCH(int, signal);
        QFETCH(int, status);
        if (args.first() == "datum") {
            // Somewhere far from 0, for the datum to have a way to go.
            QCOMPARE(run({"send", "PX=5000000"}).exit, 0);
        }
        QProcess p;
        bench->start(p, args);
        QVERIFY(p.waitForStarted(kRunMs));
        // Moving, as far as the device is concerned.
        QTRY_VERIFY_WITH_TIMEOUT(number(sim(), "mst") % 8 != 0, kRunMs);
        QVERIFY(axisMoves(sim()));
        QCOMPARE(::kill(pid_t(p.processId()), signal), 0);
        const Result r = Bench::finish(p);
        QVERIFY2(r.exit == status, r.err.constData());
        // STOP decelerates: after a while the axis stands for good.
        sim().ctl("advance 10000");
        QCOMPARE(number(sim(), "mst") % 8, 0L);
        QVERIFY(!axisMoves(sim()));
    }

    // Ended by its time, a jog stops the axis just the same.
    void jogForSecondsStops()
    {
        QProcess p;
        bench->start(p, {"jog", "+", "--for", "0.3"});
        QVERIFY(p.waitForStarted(kRunMs));
        const Result r = Bench::finish(p);
        QVERIFY2(r.exit == 0, r.err.constData());
        QVERIFY2(r.out.contains("J+ ended, STOP sent"), r.out.constData());
        sim().ctl("advance 10000");
        QVERIFY(!axisMoves(sim()));
    }

    void moveWaitReturnsWhenTheAxisStands()
    {
        QProcess p;
        bench->start(p, {"--json", "move", "3000", "--wait", "--speed", "1000", "--accel", "100"});
        const Result r = finishWhileAdvancing(p, sim());
        QVERIFY2(r.exit == 0, r.err.constData());
        const QJsonObject o = jsonOf(r.out);
        QCOMPARE(o["command"].toString(), QString("X3000"));
        QCOMPARE(o["position"].toInteger(), 3000);
        QCOMPARE(sim().state("px"), std::string("3000"));
    }

    // A wait that runs out stops the move it was waiting for.
    void moveWaitTimeoutStops()
    {
        const Result r = run({"move", "100000000", "--wait", "--timeout", "0.2"});
        QCOMPARE(r.exit, 7);
        QVERIFY2(r.err.contains("STOP sent after 0.2 s"), r.err.constData());
        sim().ctl("advance 10000");
        QVERIFY(!axisMoves(sim()));
    }

    void programDownloadRunWaitUpload()
    {
        const QByteArray source = "PRG 0\r\nV1=0\r\nWHILE V1<5\r\n  V1=V1+1\r\n  DELAY=100\r\nENDWHILE\r\nEND\r\n"
                                  "PRG 1\r\nV2=7\r\nX500\r\nWAITX\r\nEND\r\n";
        writeFile(bench->file("count.prg"), source);
        const Result check = run({"program", "check", "count.prg"});
        QVERIFY2(check.exit == 0, check.err.constData());
        QVERIFY2(check.out.contains("count.prg: 12 compiled lines"), check.out.constData());
        QCOMPARE(sim().state("frames"), std::string("0"));  // checking needs no device

        const Result down = run({"--json", "program", "download", "count.prg"});
        QVERIFY2(down.exit == 0, down.err.constData());
        QCOMPARE(jsonOf(down.out)["lines"].toInt(), 12);
        QCOMPARE(sim().state("lines"), std::string("12"));

        QCOMPARE(run({"program", "run", "all"}).exit, 0);
        QCOMPARE(sim().state("sastat"), std::string("1"));
        // Refused, with the device's reason, while a thread runs.
        const Result refused = run({"program", "download", "count.prg"});
        QCOMPARE(refused.exit, 2);
        QVERIFY2(refused.err.contains("A program runs or is paused on the device"), refused.err.constData());

        QProcess wait;
        bench->start(wait, {"wait", "stopped"});
        const Result waited = finishWhileAdvancing(wait, sim());
        QVERIFY2(waited.exit == 0, waited.err.constData());
        QCOMPARE(run({"var", "V1", "V2"}).out, QByteArray("V1=5\nV2=7\n"));
        QCOMPARE(sim().state("px"), std::string("500"));

        // Back as program text, which compiles to the very same program.
        const Result up = run({"program", "upload"});
        QVERIFY2(up.exit == 0, up.err.constData());
        QCOMPARE(zenta::lang::formatCompiled(zenta::lang::compile(up.out.toStdString()).program.code),
                 zenta::lang::formatCompiled(zenta::lang::compile(source.toStdString()).program.code));
        QCOMPARE(run({"program", "upload", "-o", "back.prg"}).exit, 0);
        QCOMPARE(readFile(bench->file("back.prg")), up.out);

        // A compiled file goes as it is: the upload's own, for one.
        writeFile(bench->file("compiled.txt"),
                  "1 V1=1\r\n2 X-40\r\n");
        QCOMPARE(run({"program", "download", "compiled.txt"}).exit, 0);
        QCOMPARE(sim().state("lines"), std::string("2"));
    }

    void programRunControl_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("sent");  // the commands, as zentactl reports them
        QTest::addColumn<QString>("sastat0");
        QTest::addColumn<QString>("sastat1");
        QTest::newRow("run 0") << QStringList{"run", "0"} << "SR0=1" << "1" << "0";
        QTest::newRow("run all, pause 1") << QStringList{"pause", "1"} << "SR1=2, ABORT" << "1" << "2";
        QTest::newRow("run all, pause all") << QStringList{"pause"} << "SR=2" << "2" << "2";
        QTest::newRow("run all, stop 0") << QStringList{"stop", "0"} << "SR0=0, ABORT" << "0" << "1";
        QTest::newRow("run all, stop") << QStringList{"stop", "all"} << "SR=0, ABORT" << "0" << "0";
        QTest::newRow("run all, pause, cont 0") << QStringList{"cont", "0"} << "SR0=3" << "1" << "2";
    }
    void programRunControl()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, sent);
        QFETCH(QString, sastat0);
        QFETCH(QString, sastat1);
        writeFile(bench->file("loop.prg"), "PRG 0\r\nl:\r\nV1=V1+1\r\nGOTO l\r\nEND\r\n"
                                           "PRG 1\r\nm:\r\nV2=V2+1\r\nGOTO m\r\nEND\r\n");
        QCOMPARE(run({"program", "download", "loop.prg"}).exit, 0);
        const QString name = QTest::currentDataTag();
        if (name.startsWith("run all"))
            QCOMPARE(run({"program", "run", "all"}).exit, 0);
        if (name.contains("pause, cont"))
            QCOMPARE(run({"program", "pause"}).exit, 0);
        const Result r = run(QStringList{"program"} + args);
        QVERIFY2(r.exit == 0, r.err.constData());
        QCOMPARE(QString::fromUtf8(r.out), "CFG01: " + sent + " sent\n");
        QCOMPARE(sim().state("sastat0"), sastat0.toStdString());
        QCOMPARE(sim().state("sastat1"), sastat1.toStdString());
        QCOMPARE(run({"program", "stop"}).exit, 0);
    }

    void settingsSetReadsBackAndStores()
    {
        writeFile(bench->file("s.ini"), kSettingsFile);
        const Result r = run({"settings", "set", "s.ini", "--store"});
        QVERIFY2(r.exit == 0, r.err.constData());
        QVERIFY2(r.out.contains("every value reads back as sent") && r.out.contains("Store to Flash done!"),
                 r.out.constData());
        // Stored: the values outlive a power cycle.
        QCOMPARE(sim().ctl("power-cycle"), std::string("OK"));
        for (const auto &[key, value] : {std::pair{"p6", "15"}, {"p8", "21"}, {"p9", "2"}, {"pa", "1"}, {"pb", "250"},
                                         {"pol", "1"}, {"doboot", "2"}, {"sload", "2"}})
            QCOMPARE(sim().state(key), std::string(value));

        // Back out: the same file, byte for byte, on standard output.
        const Result got = run({"settings", "get", "-"});
        QCOMPARE(got.exit, 0);
        QCOMPARE(got.out, kSettingsFile);
        // And in from standard input, with another device ID: kept, as the
        // panel keeps it on a No; set, for the next power-up, with --rename.
        const QByteArray other = QByteArray(kSettingsFile).replace("DeviceName=01", "DeviceName=07");
        const Result kept = run({"settings", "set", "-"}, other);
        QVERIFY2(kept.exit == 0, kept.err.constData());
        QVERIFY2(kept.out.contains("CFG01 keeps its device ID 01 (the file has 07; --rename sets it)"),
                 kept.out.constData());
        QCOMPARE(sim().state("pending"), std::string("CFG01"));
        const Result renamed = run({"settings", "set", "-", "--rename"}, other);
        QVERIFY2(renamed.exit == 0, renamed.err.constData());
        QVERIFY(renamed.out.contains("CFG01: Device ID Set.  Perform store to flash and reset power"));
        QCOMPARE(sim().state("pending"), std::string("CFG07"));
        // Stored as well: no advice to store, only what is so, each line
        // named for its device.
        const Result stored = run({"settings", "set", "-", "--rename", "--store"}, other);
        QVERIFY2(stored.exit == 0, stored.err.constData());
        QCOMPARE(stored.out, QByteArray("CFG01: settings set, every value reads back as sent\n"
                                        "CFG01: Store to Flash done!\n"
                                        "CFG01: Device ID Set and stored: the device is CFG07 from its next power-up.\n"));
        QCOMPARE(sim().ctl("power-cycle"), std::string("OK"));
        QCOMPARE(run({"send", "DN"}).out, QByteArray("CFG07\n"));
    }

    void settingsThatDoNotReadBackAreReported()
    {
        // The device takes no such time-out: refused, reported, and not stored.
        writeFile(bench->file("s.ini"), QByteArray(kSettingsFile).replace("TimeOut=250", "TimeOut=soon"));
        const Result r = run({"settings", "set", "s.ini", "--store"});
        QCOMPARE(r.exit, 2);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.err.contains("\"PB=soon\" refused: ?SYNTAX") && r.err.contains("TimeOut (PB) reads back \"100\", "
                                                                                 "not \"soon\"")
                     && r.err.contains("nothing stored"),
                 r.err.constData());
        QCOMPARE(sim().ctl("power-cycle"), std::string("OK"));
        QCOMPARE(sim().state("p6"), std::string("10"));
    }

    void storeKeepsWhatTheDeviceHolds()
    {
        QCOMPARE(run({"send", "P6=3"}).exit, 0);
        const Result r = run({"store"});
        QVERIFY2(r.exit == 0, r.err.constData());
        QCOMPARE(r.out, QByteArray("CFG01: Store to Flash done!\n"));
        QCOMPARE(run({"send", "P6=7"}).exit, 0);
        QCOMPARE(sim().ctl("power-cycle"), std::string("OK"));
        QCOMPARE(sim().state("p6"), std::string("3"));
    }

    // A file is replaced whole; nothing is left beside it.
    void settingsGetReplacesAFile()
    {
        QCOMPARE(run({"send", "PA=2"}).exit, 0);
        QCOMPARE(run({"send", "P6=20"}).exit, 0);
        writeFile(bench->file("s.ini"), "old");
        const Result r = run({"--json", "settings", "get", "s.ini"});
        QVERIFY2(r.exit == 0, r.err.constData());
        const QByteArray saved = readFile(bench->file("s.ini"));
        QVERIFY2(saved.contains("\r\nRunCurrent=2.0\r\n") && saved.contains("\r\nControlMode=Analog\r\n"),
                 saved.constData());
        const QJsonObject o = jsonOf(r.out);
        QCOMPARE(o["settings"].toObject()["runcurrent"].toString(), QString("2.0"));
        QCOMPARE(o["file"].toString(), QString("s.ini"));
        QCOMPARE(QDir(bench->work.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"s.ini"});
        // Where no file can be made, it says so and leaves nothing.
        const Result nowhere = run({"settings", "get", "no/such/folder/s.ini"});
        QCOMPARE(nowhere.exit, 2);
        QVERIFY2(nowhere.err.contains("the settings were not saved"), nowhere.err.constData());
    }

    // A file whose every line passes the file's own rules but which the
    // device refuses in part must not leave the driver half set: the run
    // current, polarity and auto-run it holds must not reach the live
    // driver while zentactl reports failure.
    void aRefusedFileLeavesTheLiveDriverAsItWas_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::newRow("a letter O in the time-out") << QByteArray("TimeOut=250") << QByteArray("TimeOut=25O");
        QTest::newRow("a time-out with a fraction") << QByteArray("TimeOut=250") << QByteArray("TimeOut=2.5");
        QTest::newRow("a boot output the device has not") << QByteArray("DOBoot=2") << QByteArray("DOBoot=9");
    }
    void aRefusedFileLeavesTheLiveDriverAsItWas()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        writeFile(bench->file("s.ini"), QByteArray(kSettingsFile).replace(from, to));
        const auto live = [this] {
            return QString::fromStdString("p6=" + sim().state("p6") + " pol=" + sim().state("pol") +
                                          " sload=" + sim().state("sload") + " p9=" + sim().state("p9"));
        };
        const QString before = live();
        const Result r = run({"settings", "set", "s.ini"});
        QCOMPARE(r.exit, 2);
        QVERIFY2(r.err.contains("the settings it held before were put back"), r.err.constData());
        QCOMPARE(live(), before);
    }

    // A device ID set earlier and waiting for a store (the panel's "Down"
    // or an earlier --rename) is part of what the driver holds: a refused
    // file put back with --rename must leave it waiting, not replace it by
    // the name in use.
    void aRefusedRenameKeepsTheDeviceIdThatWaits()
    {
        QCOMPARE(run({"send", "DN=CFG07"}).exit, 0);
        QCOMPARE(sim().state("pending"), std::string("CFG07"));
        writeFile(bench->file("s.ini"),
                  QByteArray(kSettingsFile).replace("DeviceName=01", "DeviceName=09").replace("TimeOut=250", "TimeOut=99999"));
        const Result r = run({"settings", "set", "s.ini", "--rename"});
        QCOMPARE(r.exit, 2);
        QVERIFY2(r.err.contains("the settings it held before were put back"), r.err.constData());
        QCOMPARE(sim().state("pending"), std::string("CFG07"));
    }

    // A device that goes silent while it takes a file: nothing can be put
    // back, and the message says what may have been sent.
    void aDeviceSilentDuringSetIsNamedAsHalfSet()
    {
        writeFile(bench->file("s.ini"), kSettingsFile);
        QCOMPARE(sim().ctl("latency 300000"), std::string("OK"));
        QProcess p;
        bench->start(p, {"settings", "set", "s.ini"});
        QVERIFY(p.waitForStarted(kRunMs));
        QTRY_VERIFY_WITH_TIMEOUT(number(sim(), "frames") >= 25, kRunMs);
        QCOMPARE(sim().ctl("silent on"), std::string("OK"));
        const Result r = Bench::finish(p);
        QCOMPARE(sim().ctl("silent off"), std::string("OK"));
        QCOMPARE(sim().ctl("latency 0"), std::string("OK"));
        QVERIFY2(r.exit == 6, (QByteArray::number(r.exit) + " " + r.err).constData());
        QVERIFY2(r.err.contains("it may hold part of the file") && r.err.contains("nothing could be put back"),
                 r.err.constData());
    }

    // SIGTERM while a slow device takes a settings file: served then, not
    // after every remaining exchange, and the driver is left as it was.
    void signalDuringSetIsServedAndPutsBack()
    {
        writeFile(bench->file("s.ini"), kSettingsFile);
        const std::string p6 = sim().state("p6"), pb = sim().state("pb");
        QCOMPARE(sim().ctl("latency 500000"), std::string("OK"));
        QProcess p;
        bench->start(p, {"settings", "set", "s.ini"});
        QVERIFY(p.waitForStarted(kRunMs));
        // Past the reads of what the driver holds: the file's values go out.
        QTRY_VERIFY_WITH_TIMEOUT(number(sim(), "frames") >= 25, kRunMs);
        QCOMPARE(::kill(pid_t(p.processId()), SIGTERM), 0);
        const Result r = Bench::finish(p);
        QVERIFY2(r.exit == 128 + SIGTERM, (QByteArray::number(r.exit) + " " + r.out + r.err).constData());
        QCOMPARE(sim().ctl("latency 0"), std::string("OK"));
        QCOMPARE(sim().state("p6"), p6);
        QCOMPARE(sim().state("pb"), pb);
    }

    // Every failing line, one a line, as the editor's check marks them all,
    // in line order (a label the compiler finds missing only at the end included).
    void checkNamesEveryFailingLine()
    {
        writeFile(bench->file("bad.prg"), "GOTO nowhere\r\nFOO\r\nV1=1\r\nBAR 3\r\nEND\r\n");
        const Result r = run({"program", "check", "bad.prg"});
        QCOMPARE(r.exit, 2);
        QCOMPARE(r.errLines(), (QList<QByteArray>{"bad.prg:1: label NOWHERE is not defined",
                                                  "bad.prg:2: unknown command FOO", "bad.prg:4: unknown command BAR"}));
        QCOMPARE(r.out, QByteArray());
        // With --json the lines are in the one object, and standard error
        // has one line for people rather than the list again.
        const Result j = run({"--json", "program", "check", "bad.prg"});
        QCOMPARE(j.exit, 2);
        QCOMPARE(j.errLines(), QList<QByteArray>{"zentactl: bad.prg: 3 failing lines"});
        QCOMPARE(j.out.count('\n'), 1);
        const QJsonObject o = jsonOf(j.out);
        QVERIFY(o["device"].isNull());
        QCOMPARE(o["ok"].toBool(true), false);
        QCOMPARE(o["count"].toInt(), 3);
        const QJsonArray errors = o["errors"].toArray();
        QCOMPARE(errors.size(), 3);
        QCOMPARE(errors[0].toObject()["line"].toInt(), 1);
        QCOMPARE(errors[2].toObject()["message"].toString(), QString("unknown command BAR"));
        QCOMPARE(o["error"].toObject()["exit"].toInt(), 2);
        QCOMPARE(o["error"].toObject()["message"].toString(), QString("bad.prg: 3 failing lines"));
        QCOMPARE(reached(sim()), std::string("connections=0 frames=0"));
    }

    // Ctrl+C while a slow device still answers the exchanges before the
    // move: the move must not go out after it, nor the program end as if
    // all went well.
    void signalBeforeTheMoveSendsNoMove_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("move") << QStringList{"move", "100000", "--speed", "2000"};
        QTest::newRow("move --wait") << QStringList{"move", "100000", "--wait"};
    }
    void signalBeforeTheMoveSendsNoMove()
    {
        QFETCH(QStringList, args);
        // Each reply comes 1.5 s late: the signal lands while "PA" waits for
        // its reply, seconds before a move could go out.
        QCOMPARE(sim().ctl("latency 1500000"), std::string("OK"));
        QProcess p;
        bench->start(p, args);
        QVERIFY(p.waitForStarted(kRunMs));
        QTRY_VERIFY_WITH_TIMEOUT(number(sim(), "frames") >= 1, kRunMs);
        QCOMPARE(::kill(pid_t(p.processId()), SIGINT), 0);
        const Result r = Bench::finish(p);
        QCOMPARE(QString::fromStdString(sim().state("target")), QString("0"));
        QVERIFY(!axisMoves(sim()));
        QVERIFY2(r.exit == 128 + SIGINT, (r.out + r.err).constData());
    }

    // A reader that is gone before it has the result: a file or a program
    // that never arrived is no success; a watch simply ends, and a move that
    // was made is not reported as failed for its lost confirmation.
    void closedReader_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit");
        QTest::newRow("settings get -") << QStringList{"settings", "get", "-"} << 2;
        QTest::newRow("program upload") << QStringList{"program", "upload"} << 2;
        QTest::newRow("program upload --json") << QStringList{"--json", "program", "upload"} << 2;
        QTest::newRow("status") << QStringList{"status"} << 2;
        QTest::newRow("var") << QStringList{"var", "V1"} << 2;
        QTest::newRow("status --watch") << QStringList{"status", "--watch", "--count", "3"} << 0;
        QTest::newRow("a move's confirmation") << QStringList{"move", "10"} << 0;
    }
    void closedReader()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exit);
        writeFile(bench->file("p.prg"), "V1=1\r\nEND\r\n");
        QCOMPARE(run({"program", "download", "p.prg"}).exit, 0);
        QProcess p;
        // Standard output: a pipe whose reading end is closed before it starts.
        p.setChildProcessModifier([] {
            int ends[2];
            if (::pipe(ends) == 0) {
                ::close(ends[0]);
                ::dup2(ends[1], STDOUT_FILENO);
                ::close(ends[1]);
            }
        });
        bench->start(p, args);
        QVERIFY(p.waitForStarted(kRunMs));
        const Result r = Bench::finish(p);
        QVERIFY2(r.exit == exit, r.err.constData());
        if (exit != 0)
            QVERIFY2(r.err.contains("standard output was closed"), r.err.constData());
    }

    // --json settings set says what the device holds, its own device ID
    // included, and what became of the file's.
    void settingsSetJsonSaysWhatTheDeviceHolds_data()
    {
        QTest::addColumn<QByteArray>("fileId");
        QTest::addColumn<bool>("rename");
        QTest::addColumn<QString>("id");     // "same", "kept" or "set"
        QTest::addColumn<QString>("newId");  // empty: no "newid"
        QTest::newRow("the same ID") << QByteArray("01") << false << "same" << "";
        QTest::newRow("another ID, kept") << QByteArray("07") << false << "kept" << "";
        QTest::newRow("another ID, --rename") << QByteArray("07") << true << "set" << "07";
    }
    void settingsSetJsonSaysWhatTheDeviceHolds()
    {
        QFETCH(QByteArray, fileId);
        QFETCH(bool, rename);
        QFETCH(QString, id);
        QFETCH(QString, newId);
        writeFile(bench->file("s.ini"), QByteArray(kSettingsFile).replace("DeviceName=01", "DeviceName=" + fileId));
        QStringList args{"--json", "settings", "set", "s.ini"};
        if (rename)
            args << "--rename";
        const Result r = run(args);
        QVERIFY2(r.exit == 0, r.err.constData());
        QCOMPARE(r.out.count('\n'), 1);
        const QJsonObject o = jsonOf(r.out);
        // Until a store and a power-up the device answers to its own ID.
        QCOMPARE(o["settings"].toObject()["devicename"].toString(), QString("01"));
        QCOMPARE(o["settings"].toObject()["runcurrent"].toString(), QString("1.5"));
        QCOMPARE(o["id"].toString(), id);
        QCOMPARE(o.contains("newid"), !newId.isEmpty());
        if (!newId.isEmpty())
            QCOMPARE(o["newid"].toString(), newId);
        QCOMPARE(o["stored"].toBool(true), false);
        QCOMPARE(sim().state("pending"), std::string(rename ? "CFG07" : "CFG01"));
    }

    // check judges a file exactly as download does: the same reader, the
    // same rules, the same status, and a refused file reaches no device.
    void checkJudgesAsDownloadDoes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");  // part of standard error, or of standard output on success
        QTest::newRow("an empty program") << "empty.prg" << QByteArray() << 2 << "empty.prg: The program is empty";
        QTest::newRow("a program of blank lines") << "blank.prg" << QByteArray("\r\n\r\n") << 2 << "The program is empty";
        QTest::newRow("program text not named .prg, read as compiled")
            << "source.txt" << QByteArray("V1=1\r\nEND\r\n") << 2 << "source.txt: Compiled line 1 is not valid";
        QTest::newRow("a compiled file cut short")
            << "cut.txt" << QByteArray("COMPILE OK 3 lines\r\n1 X1\r\n2 X2\r\n") << 2 << "announces 3 compiled lines";
        QTest::newRow("a program that does not compile") << "bad.prg" << QByteArray("X1\r\nFOO\r\n") << 2
                                                         << "bad.prg:2: unknown command FOO";
        QTest::newRow("a compiled file") << "ok.txt" << QByteArray("1 V1=1\r\n2 X-40\r\n") << 0 << "ok.txt: 2 compiled lines";
        QTest::newRow("a program text") << "ok.PRG" << QByteArray("V1=1\r\nEND\r\n") << 0 << "ok.PRG: 2 compiled lines";
    }
    void checkJudgesAsDownloadDoes()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(int, status);
        QFETCH(QString, message);
        writeFile(bench->file(name), bytes);
        const Result check = run({"program", "check", name});
        QVERIFY2(check.exit == status, (QByteArray::number(check.exit) + " " + check.out + check.err).constData());
        QVERIFY2(QString::fromUtf8(status ? check.err : check.out).contains(message), (check.out + check.err).constData());
        QCOMPARE(reached(sim()), std::string("connections=0 frames=0"));
        const Result download = run({"program", "download", name});
        QVERIFY2(download.exit == status, (QByteArray::number(download.exit) + " " + download.err).constData());
        if (status) {
            QCOMPARE(download.err, check.err);
            QCOMPARE(reached(sim()), std::string("connections=0 frames=0"));
        }
    }

    // wait stopped: a program that ended with an error is a failure that
    // names its thread, line and code; a paused thread has not ended.
    void waitStoppedJudgesTheEnd_data()
    {
        QTest::addColumn<QByteArray>("program");
        QTest::addColumn<QStringList>("before");  // a program command before the wait
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("ended with an error") << QByteArray("PRG 0\r\nV1=0\r\nEO=V1\r\nX100\r\nEND\r\n") << QStringList{}
                                             << 2 << "CFG01: thread 0 ended with an error at line 4 (code 4, errored)";
        QTest::newRow("thread 1 ended with an error")
            << QByteArray("PRG 0\r\nEND\r\nPRG 1\r\nV1=0\r\nV2=5/V1\r\nEND\r\n") << QStringList{} << 2
            << "CFG01: thread 1 ended with an error at line 5 (code 4, errored)";
        QTest::newRow("paused") << QByteArray("PRG 0\r\nl:\r\nDELAY=100\r\nGOTO l\r\nEND\r\n")
                                << QStringList{"pause", "0"} << 7 << "CFG01: thread 0 is paused after 0.5 s";
        QTest::newRow("ended well") << QByteArray("PRG 0\r\nV1=3\r\nEND\r\n") << QStringList{} << 0 << "";
    }
    void waitStoppedJudgesTheEnd()
    {
        QFETCH(QByteArray, program);
        QFETCH(QStringList, before);
        QFETCH(int, status);
        QFETCH(QString, message);
        writeFile(bench->file("p.prg"), program);
        QCOMPARE(run({"program", "download", "p.prg"}).exit, 0);
        QCOMPARE(run({"program", "run", "all"}).exit, 0);
        if (!before.isEmpty())
            QCOMPARE(run(QStringList{"program"} + before).exit, 0);
        QProcess p;
        bench->start(p, {"wait", "stopped", "--timeout", "0.5"});
        const Result r = finishWhileAdvancing(p, sim());
        QVERIFY2(r.exit == status, (QByteArray::number(r.exit) + " " + r.out + r.err).constData());
        if (status == 0) {
            QCOMPARE(r.err, QByteArray());
            return;
        }
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(QString::fromUtf8(r.err).contains(message), r.err.constData());
        QCOMPARE(r.out, QByteArray());
    }

    // "-o -" is standard output, as "settings get -" is: no file named "-".
    void uploadDashIsStandardOutput()
    {
        writeFile(bench->file("p.prg"), "PRG 0\r\nV1=2\r\nX10\r\nEND\r\n");
        QCOMPARE(run({"program", "download", "p.prg"}).exit, 0);
        const Result plain = run({"program", "upload"});
        QVERIFY2(plain.exit == 0 && plain.out.contains("X10"), plain.err.constData());
        const Result dash = run({"program", "upload", "-o", "-"});
        QVERIFY2(dash.exit == 0, dash.err.constData());
        QCOMPARE(dash.out, plain.out);
        QVERIFY(!QFile::exists(bench->file("-")));
    }

    // A paused program is called paused: the device refuses a download then
    // as it does while a program runs.
    void aPausedProgramIsNotCalledRunning()
    {
        writeFile(bench->file("loop.prg"), "PRG 0\r\nl:\r\nDELAY=100\r\nGOTO l\r\nEND\r\n");
        QCOMPARE(run({"program", "download", "loop.prg"}).exit, 0);
        QCOMPARE(run({"program", "run", "0"}).exit, 0);
        QCOMPARE(run({"program", "pause", "0"}).exit, 0);
        const Result r = run({"program", "download", "loop.prg"});
        QCOMPARE(r.exit, 2);
        QVERIFY2(r.err.contains("CFG01: A program runs or is paused on the device") && !r.err.contains("running"),
                 r.err.constData());
        QVERIFY(run({"program", "status"}).out.contains("thread0=paused/"));
    }

    // An error reply to send is a failure: the reply is printed, status 2;
    // with --json one object holds the reply and the error.
    void sendErrorReply_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("reply");
        QTest::newRow("?RANGE") << "HSPD=0" << "?RANGE";
        QTest::newRow("?UNKNOWN") << "BOGUS" << "?UNKNOWN";
        QTest::newRow("?EMPTY") << "" << "?EMPTY";
        QTest::newRow("?READONLY") << "VER=1" << "?READONLY";
    }
    void sendErrorReply()
    {
        QFETCH(QString, command);
        QFETCH(QString, reply);
        const Result r = run({"send", command});
        QCOMPARE(r.exit, 2);
        QCOMPARE(QString::fromUtf8(r.out), reply + "\n");
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(QString::fromUtf8(r.err).contains("CFG01 refused \"" + command + "\": " + reply), r.err.constData());

        const Result j = run({"--json", "send", command});
        QCOMPARE(j.exit, 2);
        QCOMPARE(j.out.count('\n'), 1);
        const QJsonObject o = jsonOf(j.out);
        QCOMPARE(o["device"].toString(), QString("CFG01"));
        QCOMPARE(o["command"].toString(), command);
        QCOMPARE(o["reply"].toString(), reply);
        QCOMPARE(o["error"].toObject()["exit"].toInt(), 2);
        QVERIFY(o["error"].toObject()["message"].toString().contains(reply));
        QCOMPARE(j.errLines().size(), 1);
    }

    // With --json a failure is also one object on standard output, whatever
    // failed; standard error keeps its one line.
    void jsonFailures_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("device");  // empty: null
        QTest::addColumn<QString>("message");
        QTest::newRow("1 a bad number") << "" << QStringList{"--json", "move", "1.5"} << 1 << ""
                                        << "TARGET: \"1.5\" is not a whole number";
        QTest::newRow("1 the parser's") << "" << QStringList{"move", "--json"} << 1 << ""
                                        << "move: TARGET is missing";
        QTest::newRow("1 an unknown command") << "" << QStringList{"--json", "bogus"} << 1 << ""
                                              << "\"bogus\" is not a command";
        QTest::newRow("1 a speed out of range") << "" << QStringList{"--json", "jog", "+", "--speed", "0"} << 1 << ""
                                                << "--speed: \"0\" is not a speed";
        QTest::newRow("2 a file that cannot be read") << "" << QStringList{"--json", "settings", "set", "none.ini"} << 2 << ""
                                                  << "none.ini: cannot be read";
        QTest::newRow("2 refused") << "output disabled" << QStringList{"--json", "move", "100"} << 2 << "CFG01"
                                   << "CFG01 refused \"X100\": ?DISABLED";
        QTest::newRow("3 no such device") << "" << QStringList{"--json", "-d", "CFG09", "status"} << 3 << ""
                                          << "no device CFG09 is listed";
        QTest::newRow("4 none chosen") << "second simulator" << QStringList{"--json", "var", "V1"} << 4 << ""
                                       << "several devices are listed";
        QTest::newRow("5 in use") << "held" << QStringList{"--json", "status"} << 5 << "CFG01"
                                  << "device CFG01 is in use by another program";
        QTest::newRow("6 silent") << "silent" << QStringList{"--json", "stop"} << 6 << "CFG01"
                                  << "CFG01 stopped answering";
        QTest::newRow("7 a wait timed out") << "jogging" << QStringList{"--json", "wait", "idle", "--timeout", "0.2"}
                                            << 7 << "CFG01" << "the axis still moves after 0.2 s";
    }
    void jsonFailures()
    {
        QFETCH(QString, situation);
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, device);
        QFETCH(QString, message);
        simtest::Fd held;
        arrange(situation, held);
        QVERIFY(!QTest::currentTestFailed());
        const std::string before = reached(sim());
        const Result r = run(args);
        QVERIFY2(r.exit == status, (QByteArray::number(r.exit) + " " + r.err).constData());
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(QString::fromUtf8(r.err).contains(message), r.err.constData());
        QCOMPARE(r.out.count('\n'), 1);
        const QJsonObject o = jsonOf(r.out);
        QCOMPARE(o.keys(), (QStringList{"device", "error"}));
        if (device.isEmpty())
            QVERIFY2(o["device"].isNull(), r.out.constData());
        else
            QCOMPARE(o["device"].toString(), device);
        const QJsonObject e = o["error"].toObject();
        QCOMPARE(e.keys(), (QStringList{"exit", "message"}));
        QCOMPARE(e["exit"].toInt(), status);
        QVERIFY2(e["message"].toString().contains(message), r.out.constData());
        // The one line on standard error is the same message.
        QCOMPARE(r.err.trimmed(), "zentactl: " + e["message"].toString().toUtf8());
        if (status == 1)
            QCOMPARE(reached(sim()), before);
    }
};

QTEST_GUILESS_MAIN(ZentactlTest)
#include "tst_zentactl.moc"

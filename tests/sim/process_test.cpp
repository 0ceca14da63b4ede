// The zenta-sim process over its raw sockets: the device wire, the control
// socket, files it publishes and removes, flash across restarts.
#include "SimProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace simtest;

namespace {

QString readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()) : QString("<missing>");
}

// Runs `zenta-sim ctl ...` as the operator would; returns exit code and output.
std::pair<int, QString> ctlCommand(const QString &folder, const QStringList &args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TOLLANCOM_DIR", folder);
    p.setProcessEnvironment(env);
    p.start(simBinary(), QStringList{"ctl"} + args);
    p.waitForFinished(kWaitMs);
    return {p.exitCode(), QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed()};
}

}  // namespace

class ProcessTest : public QObject {
    Q_OBJECT
private slots:
    void publishesAndCleansUp();
    void serialsSideBySide();
    void refusesAFolderOthersControl_data();
    void refusesAFolderOthersControl();
    void oneClientAtATime();
    void framesInAndOut();
    void lockstepTime();
    void unplugAndReplug();
    void silence();
    void latencyKeepsOrderAndControl();
    void powerCycleRepublishes();
    void fixedProductString_data();
    void fixedProductString();
    void flashAcrossRestarts();
    void flashFileTooLarge();
    void unreadableFlashIsKept();
    void ctlClient();
    void idleControlClientsAreCappedAndDropped();
    void deviceReachableAtTheDescriptorLimit();
    void quitEndsCleanly();
    void garbageOverTheWire();
    void floodWithoutReadingStaysSmall();
};

void ProcessTest::publishesAndCleansUp()
{
    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/a/devices";  // created on demand
    SimProcess sim(folder);
    QVERIFY(sim.start());
    struct stat st {};
    QCOMPARE(stat(folder.toLocal8Bit().constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);
    QVERIFY(QFileInfo::exists(sim.file(".sock")));
    QVERIFY(QFileInfo::exists(sim.file(".ctl")));
    QCOMPARE(readFile(sim.file(".product")), QString("CFG01"));
    QCOMPARE(sim.stop(), 0);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList{});
}

void ProcessTest::serialsSideBySide()
{
    QTemporaryDir tmp;
    SimProcess a(tmp.path(), "sim1"), b(tmp.path(), "sim2"), clash(tmp.path(), "sim1");
    QVERIFY(a.start({"--lockstep", "--name", "CFG11"}));
    QVERIFY(b.start({"--lockstep", "--name", "CFG22"}));
    QCOMPARE(readFile(a.file(".product")), QString("CFG11"));
    QCOMPARE(readFile(b.file(".product")), QString("CFG22"));

    // A second simulator on a serial in use refuses and leaves the first alone.
    QVERIFY(!clash.start());
    if (clash.process().state() != QProcess::NotRunning)
        QVERIFY(clash.process().waitForFinished(kWaitMs));
    QVERIFY(clash.process().exitCode() != 0);
    QVERIFY(QFileInfo::exists(a.file(".sock")));
    QCOMPARE(a.ctl("state").substr(0, 10), std::string("name=CFG11"));

    int granted = 0;
    Fd d{b.connectDevice(granted)};
    QCOMPARE(granted, 1);
    QCOMPARE(exchange(d.fd, "DN"), std::string("CFG22"));
}

void ProcessTest::refusesAFolderOthersControl_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("message");
    QTest::newRow("writable by others") << "0777" << "can be written by other users (mode 0777)";
    QTest::newRow("writable by the group") << "0730" << "can be written by other users (mode 0730)";
    QTest::newRow("another user's") << "other" << "belongs to another user";
}

void ProcessTest::refusesAFolderOthersControl()
{
    QFETCH(QString, setup);
    QFETCH(QString, message);
    if (setup == "other" && geteuid() != 0)
        QSKIP("needs root to give a folder away");
    QTemporaryDir tmp;
    const QByteArray folder = tmp.filePath("devices").toLocal8Bit();
    QVERIFY(QDir().mkdir(tmp.filePath("devices")));
    if (setup == "other")
        QCOMPARE(chown(folder.constData(), 65534, 65534), 0);
    else
        QCOMPARE(chmod(folder.constData(), mode_t(setup.toUInt(nullptr, 8))), 0);
    SimProcess sim(tmp.filePath("devices"));
    QVERIFY(!sim.start());
    if (sim.process().state() != QProcess::NotRunning)
        QVERIFY(sim.process().waitForFinished(kWaitMs));
    QCOMPARE(sim.process().exitCode(), 1);
    const QString err = QString::fromLocal8Bit(sim.process().readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
    QCOMPARE(QDir(tmp.filePath("devices")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
             QStringList{});
    QCOMPARE(ctlCommand(tmp.filePath("devices"), {"sim1", "state"}).first, 3);
}

void ProcessTest::oneClientAtATime()
{
    SimProcess sim;
    QVERIFY(sim.start());
    int granted = 0;
    Fd first{sim.connectDevice(granted)};
    QCOMPARE(granted, 1);
    {
        Fd second{sim.connectDevice(granted)};
        QCOMPARE(granted, 0);
        QCOMPARE(readBytes(second.fd, 1), std::string());  // and closed
    }
    QCOMPARE(exchange(first.fd, "ID"), std::string("KVL-CFG-UV-USB"));
    close(first.fd);
    first.fd = -1;
    // Once the holder lets go the next one gets in; state survives the change.
    Fd third{sim.connectDevice(granted)};
    QCOMPARE(granted, 1);
    QCOMPARE(exchange(third.fd, "VER").substr(4, 4), std::string("BLSA"));
}

void ProcessTest::framesInAndOut()
{
    SimProcess sim;
    QVERIFY(sim.start());
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    QCOMPARE(granted, 1);

    // Replies are always 64 bytes, zero-padded.
    QVERIFY(sendAll(d.fd, frame("V3=42")));
    const std::string r = readBytes(d.fd, 64);
    QCOMPARE(r.size(), std::size_t(64));
    QCOMPARE(r.substr(0, 3), std::string("OK\0", 3));
    QCOMPARE(r.find_first_not_of('\0', 2), std::string::npos);

    // Two frames in one write, and one frame in two writes.
    QVERIFY(sendAll(d.fd, frame("V3") + frame("ID")));
    const std::string two = readBytes(d.fd, 128);
    QCOMPARE(two.substr(0, 2), std::string("42"));
    QCOMPARE(two.substr(64, 14), std::string("KVL-CFG-UV-USB"));
    const std::string f = frame("DN");
    QVERIFY(sendAll(d.fd, f.substr(0, 10)));
    QVERIFY(sim.ctl("state").rfind("name=", 0) == 0);  // the half frame is in
    QVERIFY(sendAll(d.fd, f.substr(10)));
    QCOMPARE(readBytes(d.fd, 64).substr(0, 5), std::string("CFG01"));
}

void ProcessTest::lockstepTime()
{
    SimProcess sim;
    QVERIFY(sim.start());
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    for (const char *c : {"HSPD=1000", "ACC=100", "X1000"})
        QCOMPARE(exchange(d.fd, c), std::string("OK"));
    QCOMPARE(exchange(d.fd, "PX"), std::string("0"));
    QCOMPARE(sim.ctl("advance 100"), std::string("OK"));
    QCOMPARE(exchange(d.fd, "PX"), std::string("50"));
    QCOMPARE(exchange(d.fd, "MST"), std::string("81"));  // cruising at run current 10
    QCOMPARE(sim.ctl("advance 1000"), std::string("OK"));
    QCOMPARE(exchange(d.fd, "PX"), std::string("1000"));
    QCOMPARE(exchange(d.fd, "MST"), std::string("80"));
    QVERIFY(sim.ctl("state").find(" px=1000 ") != std::string::npos);
    QCOMPARE(sim.ctl("advance -5").substr(0, 3), std::string("ERR"));

    QCOMPARE(sim.ctl("di 5"), std::string("OK"));
    QCOMPARE(sim.ctl("ai 1023"), std::string("OK"));
    QCOMPARE(sim.ctl("ai 1024").substr(0, 3), std::string("ERR"));
    QCOMPARE(exchange(d.fd, "DI"), std::string("5"));
    QCOMPARE(exchange(d.fd, "AI"), std::string("1023"));
}

void ProcessTest::unplugAndReplug()
{
    SimProcess sim;
    QVERIFY(sim.start());
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    QCOMPARE(exchange(d.fd, "V1=77"), std::string("OK"));

    QCOMPARE(sim.ctl("unplug"), std::string("OK"));
    QCOMPARE(readBytes(d.fd, 1), std::string());  // the host sees the link drop
    QVERIFY(!QFileInfo::exists(sim.file(".sock")));
    QVERIFY(!QFileInfo::exists(sim.file(".product")));
    QCOMPARE(connectTo(sim.file(".sock")), -1);
    QVERIFY(sim.ctl("state").find("plugged=0") != std::string::npos);

    QCOMPARE(sim.ctl("replug"), std::string("OK"));
    QCOMPARE(readFile(sim.file(".product")), QString("CFG01"));
    Fd again{sim.connectDevice(granted)};
    QCOMPARE(granted, 1);
    QCOMPARE(exchange(again.fd, "V1"), std::string("77"));  // the driver kept its power
}

void ProcessTest::silence()
{
    SimProcess sim;
    QVERIFY(sim.start());
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    QCOMPARE(sim.ctl("silent on"), std::string("OK"));
    QVERIFY(sendAll(d.fd, frame("V2=9")));
    // A control round trip after the frame means the simulator has read it.
    QVERIFY(sim.ctl("state").find("silent=1") != std::string::npos);
    QCOMPARE(sim.ctl("silent off"), std::string("OK"));
    // The next answer belongs to the next command: nothing was queued, and
    // the lost command did nothing.
    QCOMPARE(exchange(d.fd, "V2"), std::string("0"));
}

void ProcessTest::latencyKeepsOrderAndControl()
{
    SimProcess sim;
    QVERIFY(sim.start());
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    QCOMPARE(sim.ctl("latency 3000"), std::string("OK"));
    QVERIFY(sendAll(d.fd, frame("V4=1") + frame("V4") + frame("ID")));
    const std::string r = readBytes(d.fd, 192);
    QCOMPARE(r.size(), std::size_t(192));
    QCOMPARE(r.substr(0, 2), std::string("OK"));
    QCOMPARE(r.substr(64, 2), std::string("1\0", 2));
    QCOMPARE(r.substr(128, 3), std::string("KVL"));

    // A reply held back for a long time does not hold the control socket up.
    QCOMPARE(sim.ctl("latency 10000000"), std::string("OK"));
    QVERIFY(sendAll(d.fd, frame("ID")));
    QVERIFY(sim.ctl("state").find("latency_us=10000000") != std::string::npos);
    char c;
    QCOMPARE(recv(d.fd, &c, 1, MSG_DONTWAIT), ssize_t(-1));
    QCOMPARE(errno, EAGAIN);
    QCOMPARE(sim.ctl("latency x").substr(0, 3), std::string("ERR"));
}

void ProcessTest::powerCycleRepublishes()
{
    SimProcess sim;
    QVERIFY(sim.start());
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    for (const char *c : {"DN=CFG07", "DOBOOT=3", "STORE", "DO=0", "V5=5"})
        QCOMPARE(exchange(d.fd, c), std::string("OK"));
    QCOMPARE(readFile(sim.file(".product")), QString("CFG01"));
    QCOMPARE(sim.ctl("power-cycle"), std::string("OK"));
    QCOMPARE(readBytes(d.fd, 1), std::string());  // re-enumeration drops the host
    QCOMPARE(readFile(sim.file(".product")), QString("CFG07"));
    Fd again{sim.connectDevice(granted)};
    QCOMPARE(granted, 1);
    QCOMPARE(exchange(again.fd, "DN"), std::string("CFG07"));
    QCOMPARE(exchange(again.fd, "DO"), std::string("3"));
    QCOMPARE(exchange(again.fd, "V5"), std::string("0"));
}

void ProcessTest::fixedProductString_data()
{
    QTest::addColumn<QString>("argument");  // as typed, UTF-8
    QTest::addColumn<QByteArray>("published");
    QTest::newRow("names no device") << "ZENTA CFG USB driver" << QByteArray("ZENTA CFG USB driver");
    QTest::newRow("names another device") << "Zenta CFG03" << QByteArray("Zenta CFG03");
    QTest::newRow("Latin-1 beyond ASCII") << QString::fromUtf8("Gr\u00f6\u00dfe CFG") << QByteArray("Gr\xf6\xdf" "e CFG");
    QTest::newRow("63 characters") << QString(60, 'x') + "CFG" << QByteArray(60, 'x') + "CFG";
}

// A product string held by firmware: published as given, and a new name
// stored and powered up never changes it.
void ProcessTest::fixedProductString()
{
    QFETCH(QString, argument);
    QFETCH(QByteArray, published);
    SimProcess sim;
    QVERIFY(sim.start({"--lockstep", "--name", "CFG05", "--product", argument}));
    QFile product(sim.file(".product"));
    QVERIFY(product.open(QIODevice::ReadOnly));
    QCOMPARE(product.readAll(), published);
    product.close();
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    QCOMPARE(granted, 1);
    QCOMPARE(exchange(d.fd, "DN"), std::string("CFG05"));
    for (const char *c : {"DN=CFG07", "STORE"})
        QCOMPARE(exchange(d.fd, c), std::string("OK"));
    QCOMPARE(sim.ctl("power-cycle"), std::string("OK"));
    Fd again{sim.connectDevice(granted)};
    QCOMPARE(granted, 1);
    QCOMPARE(exchange(again.fd, "DN"), std::string("CFG07"));
    QVERIFY(product.open(QIODevice::ReadOnly));
    QCOMPARE(product.readAll(), published);
}

void ProcessTest::flashAcrossRestarts()
{
    QTemporaryDir tmp;
    const QString flash = tmp.filePath("dev.flash");
    {
        SimProcess sim(tmp.path());
        QVERIFY(sim.start({"--lockstep", "--flash", flash}));
        int granted = 0;
        Fd d{sim.connectDevice(granted)};
        for (const char *c : {"V30=-30", "P6=13", "DN=CFG55", "STORE"})
            QCOMPARE(exchange(d.fd, c), std::string("OK"));
        QCOMPARE(sim.stop(), 0);
    }
    {
        SimProcess sim(tmp.path());
        QVERIFY(sim.start({"--lockstep", "--flash", flash, "--name", "CFG02"}));
        QCOMPARE(readFile(sim.file(".product")), QString("CFG55"));  // the stored name wins
        int granted = 0;
        Fd d{sim.connectDevice(granted)};
        QCOMPARE(exchange(d.fd, "V30"), std::string("-30"));
        QCOMPARE(exchange(d.fd, "P6"), std::string("13"));
        QVERIFY(sim.ctl("state").find("flash=loaded") != std::string::npos);
    }
    QFile f(flash);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QByteArray bytes = f.readAll();
    bytes.replace("P6=13", "P6=14");
    f.seek(0);
    f.write(bytes);
    f.close();
    {
        SimProcess sim(tmp.path());
        QVERIFY(sim.start({"--lockstep", "--flash", flash, "--name", "CFG02"}));
        QCOMPARE(readFile(sim.file(".product")), QString("CFG02"));
        QVERIFY(sim.ctl("state").find("flash=corrupt") != std::string::npos);
        int granted = 0;
        Fd d{sim.connectDevice(granted)};
        QCOMPARE(exchange(d.fd, "P6"), std::string("10"));
        QCOMPARE(exchange(d.fd, "V30"), std::string("0"));
    }
}

std::string storeWith(SimProcess &sim)
{
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    if (granted != 1)
        return "<not granted>";
    const std::string set = exchange(d.fd, "V30=7");
    return set == "OK" ? exchange(d.fd, "STORE") : set;
}

void ProcessTest::flashFileTooLarge()
{
    QTemporaryDir tmp;
    const QString flash = tmp.filePath("dev.flash");
    {
        SimProcess sim(tmp.path());
        QVERIFY(sim.start({"--lockstep", "--flash", flash}));
        QCOMPARE(storeWith(sim), std::string("OK"));
    }
    const QString old = readFile(flash);
    QVERIFY(old.contains("V30=7"));

    // The limit lets the image start but not finish: the store must fail
    // cleanly instead of the device dying with a cut temporary file.
    SimProcess sim(tmp.path());
    sim.setChildSetup([] {
        const rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    QVERIFY(sim.start({"--lockstep", "--flash", flash}));
    QCOMPARE(storeWith(sim), std::string("?FLASH"));
    QVERIFY(sim.ctl("state").find("flash=loaded") != std::string::npos);  // still alive
    QCOMPARE(readFile(flash), old);
    QCOMPARE(QDir(tmp.path()).entryList({"*.tmp", "*.part"}, QDir::AllEntries | QDir::System), QStringList{});
}

void ProcessTest::unreadableFlashIsKept()
{
    // Permissions do not stop root; the simulator then runs as nobody.
    const bool root = geteuid() == 0;
    const uid_t nobody = 65534;
    QTemporaryDir tmp;
    const QString home = tmp.filePath("home"), flash = home + "/dev.flash";
    QVERIFY(QDir().mkdir(home));
    QVERIFY(chmod(tmp.path().toLocal8Bit().constData(), 0711) == 0);
    {
        QFile f(flash);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("somebody's image\n");
    }
    QVERIFY(chmod(flash.toLocal8Bit().constData(), 0) == 0);
    if (root)
        for (const QString &p : {home, flash})
            QVERIFY(chown(p.toLocal8Bit().constData(), nobody, nobody) == 0);

    SimProcess sim(home + "/devices");
    if (root) {
        // The build folder may lie where nobody cannot enter (a private
        // checkout); a copy beside the flash can always be reached.
        const QString copy = tmp.filePath("zenta-sim");
        QVERIFY(QFile::copy(simBinary(), copy));
        QVERIFY(chmod(copy.toLocal8Bit().constData(), 0755) == 0);
        sim.setBinary(copy);
    }
    if (root)
        sim.setChildSetup([] {
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
                _exit(127);
        });
    QVERIFY(sim.start({"--lockstep", "--flash", flash}));
    QVERIFY(sim.ctl("state").find("flash=unreadable") != std::string::npos);
    QVERIFY(QString::fromLocal8Bit(sim.process().readAllStandardError()).contains("dev.flash"));
    QCOMPARE(storeWith(sim), std::string("?FLASH"));
    QVERIFY(chmod(flash.toLocal8Bit().constData(), 0600) == 0);
    QCOMPARE(readFile(flash), QString("somebody's image\n"));
    // Readable again, but never read: still kept, until a power-up reads it.
    QCOMPARE(storeWith(sim), std::string("?FLASH"));
    QCOMPARE(readFile(flash), QString("somebody's image\n"));
    QCOMPARE(sim.ctl("power-cycle"), std::string("OK"));
    QVERIFY(sim.ctl("state").find("flash=corrupt") != std::string::npos);
    QCOMPARE(storeWith(sim), std::string("OK"));
    QVERIFY(readFile(flash).contains("V30=7"));
}

void ProcessTest::ctlClient()
{
    SimProcess sim;
    QVERIFY(sim.start());
    auto [code, out] = ctlCommand(sim.folder(), {"sim1", "state"});
    QCOMPARE(code, 0);
    QVERIFY(out.startsWith("name=CFG01 "));
    std::tie(code, out) = ctlCommand(sim.folder(), {"sim1", "silent", "on"});
    QCOMPARE(code, 0);
    QCOMPARE(out, QString("OK"));
    std::tie(code, out) = ctlCommand(sim.folder(), {"sim1", "frobnicate"});
    QCOMPARE(code, 1);
    QVERIFY(out.startsWith("ERR"));
    std::tie(code, out) = ctlCommand(sim.folder(), {"nosuch", "state"});
    QVERIFY(code != 0 && code != 1);
    QCOMPARE(out, QString());

    SimProcess live;  // paced by the wall clock: no manual time steps
    QVERIFY(live.start({}));
    QCOMPARE(live.ctl("advance 10").substr(0, 3), std::string("ERR"));
}

void ProcessTest::quitEndsCleanly()
{
    QTemporaryDir tmp;
    SimProcess sim(tmp.path());
    QVERIFY(sim.start());
    int granted = 0;
    Fd host{sim.connectDevice(granted)};  // a host still attached does not hold it up
    QCOMPARE(granted, 1);
    QCOMPARE(sim.ctl("quit now").substr(0, 3), std::string("ERR"));
    QCOMPARE(sim.ctl("state").substr(0, 5), std::string("name="));

    auto [code, out] = ctlCommand(sim.folder(), {"sim1", "quit"});
    QCOMPARE(code, 0);
    QCOMPARE(out, QString("OK"));
    // The answer's connection closes only once the files are gone.
    QCOMPARE(QDir(sim.folder()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList{});
    QVERIFY(sim.process().waitForFinished(kWaitMs));
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
    QCOMPARE(readBytes(host.fd, 1), std::string());  // the host sees the device gone

    SimProcess again(tmp.path());
    QVERIFY(again.start());
}

// Connections to the control socket that never ask anything.
std::vector<Fd> silentCtlClients(SimProcess &sim, int n)
{
    std::vector<Fd> fds;
    for (int i = 0; i < n; ++i)
        fds.emplace_back(connectTo(sim.file(".ctl")));
    return fds;
}

void ProcessTest::idleControlClientsAreCappedAndDropped()
{
    SimProcess sim;
    QVERIFY(sim.start());
    const std::vector<Fd> idle = silentCtlClients(sim, 12);
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    QCOMPARE(granted, 1);
    QCOMPARE(exchange(d.fd, "DN"), std::string("CFG01"));
    // Answered once the silent ones ahead of it have had their time.
    QCOMPARE(sim.ctl("state").substr(0, 10), std::string("name=CFG01"));
    // The simulator dropped them: each sees its connection end.
    for (const Fd &client : idle)
        QCOMPARE(readBytes(client.fd, 1), std::string());
}

void ProcessTest::deviceReachableAtTheDescriptorLimit()
{
    SimProcess sim;
    sim.setChildSetup([] {
        // Standard streams, signal, lock, epoll, the two sockets and the
        // spare take nine: six are left.
        const rlimit limit{15, 15};
        setrlimit(RLIMIT_NOFILE, &limit);
    });
    QVERIFY(sim.start());
    const std::vector<Fd> idle = silentCtlClients(sim, 10);  // more than descriptors left
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    QCOMPARE(granted, 1);
    QCOMPARE(exchange(d.fd, "ID"), std::string("KVL-CFG-UV-USB"));
    QCOMPARE(sim.ctl("state").substr(0, 10), std::string("name=CFG01"));
}

void ProcessTest::garbageOverTheWire()
{
    SimProcess sim;
    QVERIFY(sim.start());
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    std::mt19937 rng(11);
    std::string batch;
    for (int i = 0; i < 2000; ++i)
        for (int k = 0; k < 64; ++k)
            batch += static_cast<char>(rng());
    QVERIFY(sendAll(d.fd, batch));
    const std::string replies = readBytes(d.fd, batch.size());
    QCOMPARE(replies.size(), batch.size());
    for (std::size_t i = 0; i < replies.size(); i += 64)
        QVERIFY(replies[i] != '\0');
    QCOMPARE(exchange(d.fd, "ID"), std::string("KVL-CFG-UV-USB"));
}

long residentKb(qint64 pid)
{
    QFile f(QString("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

void ProcessTest::floodWithoutReadingStaysSmall()
{
    SimProcess sim({}, "sim1");
    QVERIFY(sim.start({}));
    const long before = residentKb(sim.process().processId());
    int granted = 0;
    Fd d{sim.connectDevice(granted)};
    QCOMPARE(granted, 1);
    QVERIFY(fcntl(d.fd, F_SETFL, O_NONBLOCK) == 0);
    // Frames as fast as the device takes them, replies never read, until
    // the device stops taking them (or 64 MB, which it must never reach).
    std::string burst;
    for (int i = 0; i < 256; ++i)
        burst += frame("PX");
    std::size_t written = 0;
    while (written < (64u << 20)) {
        pollfd p{d.fd, POLLOUT, 0};
        if (poll(&p, 1, 300) <= 0)
            break;
        const ssize_t n = send(d.fd, burst.data(), burst.size(), MSG_NOSIGNAL);
        if (n > 0)
            written += static_cast<std::size_t>(n);
        else if (errno != EAGAIN)
            break;
    }
    // Socket buffers and a small backlog of replies: well under 4 MB.
    QVERIFY2(written < (4u << 20), qPrintable(QString("the device took %1 KB").arg(written >> 10)));
    // Still serving everything else while the host is stuck.
    QVERIFY(sim.ctl("state").find("client=1") != std::string::npos);
    const long during = residentKb(sim.process().processId());
    qInfo("written %zu KB; simulator resident %ld KB before, %ld KB during the flood", written >> 10, before, during);
    QVERIFY(during >= 0 && during - before < 4 * 1024);

    close(d.fd);
    d.fd = -1;
    Fd again{sim.connectDevice(granted)};
    QCOMPARE(granted, 1);
    QCOMPARE(exchange(again.fd, "ID"), std::string("KVL-CFG-UV-USB"));
}

QTEST_GUILESS_MAIN(ProcessTest)
#include "process_test.moc"

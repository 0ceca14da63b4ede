// zentactl with a USB driver beside a simulator: the driver is a stand-in
// node (tollancom_hid_peer, the simulator's model behind the report framing)
// listed through a sysfs tree of the test's own. It must be listed, named,
// chosen and driven as a simulator is, and its unplugging mid-wait must be a
// lost link.
#include "Zentactl.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#include <unistd.h>

using clitest::Bench;
using clitest::Result;

namespace {

// A USB driver in a sysfs tree: its attributes, one hidraw node, and the
// peer that serves the node.
class UsbDriver {
public:
    UsbDriver(const QString &sysfs, const QString &devroot, const QString &node, const QByteArray &serial,
              const QByteArray &product, const QString &name)
    {
        const QString usb = sysfs + "/devices/usb1/1-" + node.mid(6);
        const QString hid = usb + "/1-" + node.mid(6) + ":1.0/0003:1234:5678.0001";
        QVERIFY(QDir().mkpath(hid));
        QVERIFY(QDir().mkpath(sysfs + "/class/hidraw/" + node));
        write(usb + "/product", product + "\n");
        write(usb + "/serial", serial + "\n");
        write(usb + "/idVendor", "1234\n");
        write(usb + "/idProduct", "5678\n");
        // Relative, as the kernel links it.
        const QString target = "../../../devices/usb1/1-" + node.mid(6) + "/1-" + node.mid(6) + ":1.0/0003:1234:5678.0001";
        QVERIFY(::symlink(target.toLocal8Bit().constData(),
                          (sysfs + "/class/hidraw/" + node + "/device").toLocal8Bit().constData())
                == 0);
        peer_.start(QCoreApplication::applicationDirPath() + "/tollancom_hid_peer",
                    {"--socket", devroot + "/" + node, "--name", name});
        QVERIFY(peer_.waitForStarted(clitest::kRunMs));
        QTRY_VERIFY_WITH_TIMEOUT(peer_.canReadLine() || peer_.state() == QProcess::NotRunning, clitest::kRunMs);
        QCOMPARE(peer_.readLine().trimmed(), QByteArray("ready"));
    }
    ~UsbDriver() { unplug(); }

    // Pulled from the cable: the node's connection ends at once.
    void unplug()
    {
        if (peer_.state() != QProcess::NotRunning) {
            peer_.kill();
            peer_.waitForFinished(clitest::kRunMs);
        }
    }

private:
    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(bytes), qint64(bytes.size()));
    }

    QProcess peer_;
};

QJsonObject json(const Result &r)
{
    return QJsonDocument::fromJson(r.out).object();
}

}  // namespace

class ZentactlUsbTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Bench> bench;
    std::unique_ptr<QTemporaryDir> usbRoot;
    std::unique_ptr<UsbDriver> usb;

private slots:
    void init()
    {
        bench = Bench::withOneDevice();  // sim1, CFG01
        usbRoot = std::make_unique<QTemporaryDir>();
        QVERIFY(usbRoot->isValid());
        const QString sysfs = usbRoot->filePath("sys"), dev = usbRoot->filePath("dev");
        QVERIFY(QDir().mkpath(sysfs + "/class/hidraw") && QDir().mkpath(dev));
        qputenv("TOLLANCOM_SYSFS", sysfs.toLocal8Bit());
        qputenv("TOLLANCOM_DEVROOT", dev.toLocal8Bit());
        // A product string fixed in the firmware that names no ID: the name comes from "DN".
        usb = std::make_unique<UsbDriver>(sysfs, dev, "hidraw4", "KDR-USB-0042", "ZENTA CFG USB driver", "CFG05");
    }
    void cleanup()
    {
        usb.reset();
        bench.reset();
        usbRoot.reset();
        qunsetenv("TOLLANCOM_SYSFS");
        qunsetenv("TOLLANCOM_DEVROOT");
    }

    void listedBesideTheSimulatorByItsSerial()
    {
        const Result r = bench->run({"--json", "list"});
        QCOMPARE(r.exit, 0);
        const QJsonArray devices = json(r)["devices"].toArray();
        QCOMPARE(devices.size(), 2);
        // Stable order by serial across both kinds.
        QCOMPARE(devices[0].toObject()["serial"].toString(), QString("KDR-USB-0042"));
        QCOMPARE(devices[0].toObject()["name"].toString(), QString("CFG05"));
        QCOMPARE(devices[0].toObject()["product"].toString(), QString("ZENTA CFG USB driver"));
        QCOMPARE(devices[1].toObject()["serial"].toString(), QString("sim1"));
    }

    void drivenByNameAndInALine()
    {
        Result r = bench->run({"--json", "-d", "CFG05", "move", "300", "--wait"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(json(r)["position"].toInt(), 300);

        r = bench->run({"--json", "-d", "all", "status"});
        QVERIFY2(r.exit == 0, r.out.constData());
        QMap<QString, int> positions;
        for (const QByteArray &line : r.out.split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            QCOMPARE(o["exit"].toInt(), 0);
            positions[o["serial"].toString()] = o["result"].toObject()["position"].toInt();
        }
        QCOMPARE(positions, (QMap<QString, int>{{"KDR-USB-0042", 300}, {"sim1", 0}}));
    }

    void unpluggedWhileWaitingIsALostLink()
    {
        QCOMPARE(bench->run({"-d", "CFG05", "move", "100000000"}).exit, 0);
        QProcess waiting;
        bench->start(waiting, {"-d", "KDR-USB-0042", "wait", "idle"});
        QVERIFY(waiting.waitForStarted(clitest::kRunMs));
        // Held: the holder opens its door to other zentactl processes.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(bench->devices.filePath("KDR-USB-0042.hold")), clitest::kRunMs);
        usb->unplug();
        const Result r = Bench::finish(waiting);
        QCOMPARE(r.exit, 6);
        QVERIFY2(!r.err.isEmpty(), r.err.constData());
    }
};

QTEST_GUILESS_MAIN(ZentactlUsbTest)
#include "tst_zentactl_usb.moc"

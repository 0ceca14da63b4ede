// zentactl's names for devices whose product string names none, as a USB
// driver's fixed product string may: `list` and `-d NAME` take the name the
// device gives to "DN", and a device that cannot be asked (busy, silent) is
// shown with its name unknown, never with a guessed one.
#include "Zentactl.h"

#include <QFile>
#include <QtTest>

#include <signal.h>
#include <unistd.h>

using namespace clitest;
using simtest::SimProcess;

namespace {

const QString kGeneric = QStringLiteral("ZENTA CFG USB driver");

struct Unit {
    QString serial, name, product;  // product empty: the simulator's own (its name)
    QString state;                  // "", "busy" (held by another program), "jog" (held by a zentactl jog) or "silent"
};

}  // namespace

Q_DECLARE_METATYPE(QList<Unit>)

class TstZentactlNames : public QObject {
    Q_OBJECT

private slots:
    void namesComeFromTheDeviceWhenTheProductStringHasNone_data()
    {
        QTest::addColumn<QList<Unit>>("units");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QByteArray>("out");     // standard output, whole
        QTest::addColumn<QByteArray>("errHas");  // a part of standard error

        const QList<Unit> mixed{{"u1", "CFG05", kGeneric, ""}, {"u2", "CFG07", "", ""}};
        QTest::newRow("list asks DN") << mixed << QStringList{"list"} << 0
                                      << QByteArray("0\tCFG05\tZENTA CFG USB driver\tu1\n1\tCFG07\tCFG07\tu2\n")
                                      << QByteArray();
        QTest::newRow("-d by the answered name") << mixed << QStringList{"-d", "CFG05", "send", "DN"} << 0
                                                 << QByteArray("CFG05\n") << QByteArray();
        QTest::newRow("-d by the answered name, any case")
            << mixed << QStringList{"-d", "cfg05", "send", "DN"} << 0 << QByteArray("CFG05\n") << QByteArray();
        QTest::newRow("the other still by its product string")
            << mixed << QStringList{"-d", "CFG07", "send", "DN"} << 0 << QByteArray("CFG07\n") << QByteArray();

        const QList<Unit> busy{{"u1", "CFG05", kGeneric, "busy"}, {"u2", "CFG07", "", ""}};
        QTest::newRow("list: a busy one has no known name")
            << busy << QStringList{"list"} << 0
            << QByteArray("0\t?\tZENTA CFG USB driver\tu1\tbusy (held by another program), so its ID cannot be "
                          "asked\n1\tCFG07\tCFG07\tu2\n")
            << QByteArray();
        QTest::newRow("-d: a busy one is not taken for the name")
            << busy << QStringList{"-d", "CFG05", "status"} << 3 << QByteArray()
            << QByteArray("no device CFG05 is listed; listed: ZENTA CFG USB driver (#0, serial u1: busy (held by "
                          "another program), so its ID cannot be asked), CFG07 (#1)");

        // A zentactl that holds a device answers "DN" for it at its door, so
        // that it can be stopped by name.
        const QList<Unit> jogging{{"u1", "CFG05", kGeneric, "jog"}, {"u2", "CFG07", "", ""}};
        QTest::newRow("-d: one a zentactl holds is named through its door")
            << jogging << QStringList{"-d", "CFG05", "stop"} << 0 << QByteArray("CFG05: STOP sent\n") << QByteArray();
        QTest::newRow("list: one a zentactl holds is named through its door")
            << jogging << QStringList{"list"} << 0
            << QByteArray("0\tCFG05\tZENTA CFG USB driver\tu1\n1\tCFG07\tCFG07\tu2\n") << QByteArray();

        const QList<Unit> silent{{"u1", "CFG05", kGeneric, "silent"}, {"u2", "CFG07", "", ""}};
        QTest::newRow("list: a silent one has no known name")
            << silent << QStringList{"list"} << 0
            << QByteArray("0\t?\tZENTA CFG USB driver\tu1\tnot answering \"DN\", so its ID is unknown\n"
                          "1\tCFG07\tCFG07\tu2\n")
            << QByteArray();
        QTest::newRow("-d: a silent one is not taken for the name")
            << silent << QStringList{"-d", "CFG05", "status"} << 3 << QByteArray()
            << QByteArray("serial u1: not answering \"DN\", so its ID is unknown");

        const QList<Unit> twins{{"u1", "CFG05", kGeneric, ""}, {"u2", "CFG05", kGeneric, ""}};
        QTest::newRow("two answer one name") << twins << QStringList{"-d", "CFG05", "status"} << 4 << QByteArray()
                                             << QByteArray("CFG05 names 2 devices");
    }

    void namesComeFromTheDeviceWhenTheProductStringHasNone()
    {
        QFETCH(QList<Unit>, units);
        QFETCH(QStringList, args);
        QFETCH(int, exit);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, errHas);
        Bench bench;
        QVERIFY(bench.devices.isValid() && bench.work.isValid());
        std::vector<int> held;
        std::vector<std::unique_ptr<QProcess>> holders;
        auto release = qScopeGuard([&held, &holders] {
            for (int fd : held)
                ::close(fd);
            for (auto &p : holders) {
                ::kill(pid_t(p->processId()), SIGTERM);
                if (!p->waitForFinished(kRunMs))
                    p->kill();
                p->waitForFinished(kRunMs);
            }
        });
        for (const Unit &u : units) {
            bench.sims.push_back(std::make_unique<SimProcess>(bench.devices.path(), u.serial));
            QStringList extra{"--lockstep", "--name", u.name};
            if (!u.product.isEmpty())
                extra << "--product" << u.product;
            QVERIFY2(bench.sims.back()->start(extra), qPrintable(u.serial));
            if (u.state == "silent")
                QCOMPARE(bench.sims.back()->ctl("silent on"), std::string("OK"));
            if (u.state == "jog") {
                holders.push_back(std::make_unique<QProcess>());
                bench.start(*holders.back(), {"-d", u.serial, "jog", "+", "--for", "60"});
                QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(bench.devices.filePath(u.serial + ".hold")), kRunMs);
            }
            if (u.state == "busy") {
                int granted = 0;
                held.push_back(bench.sims.back()->connectDevice(granted));
                QCOMPARE(granted, 1);
            }
        }
        const Result r = bench.run(args);
        QVERIFY2(r.exit == exit, qPrintable(QString("exit %1, stderr: %2").arg(r.exit).arg(QString(r.err))));
        QCOMPARE(r.out, out);
        QVERIFY2(r.err.contains(errHas), r.err.constData());
        if (exit == 0)
            QCOMPARE(r.err, QByteArray());
    }

    // The JSON form says which name is unknown and why, with no name for it.
    void jsonListShowsAnUnknownNameAsNull()
    {
        Bench bench;
        QVERIFY(bench.devices.isValid() && bench.work.isValid());
        SimProcess sim(bench.devices.path(), "j1");
        QVERIFY(sim.start({"--lockstep", "--name", "CFG05", "--product", kGeneric}));
        QCOMPARE(sim.ctl("silent on"), std::string("OK"));
        const Result r = bench.run({"--json", "list"});
        QCOMPARE(r.exit, 0);
        QCOMPARE(r.out, QByteArray("{\"devices\":[{\"index\":0,\"name\":null,\"product\":\"ZENTA CFG USB driver\","
                                   "\"serial\":\"j1\",\"unnamed\":\"not answering \\\"DN\\\", so its ID is "
                                   "unknown\"}]}\n"));
    }
};

QTEST_GUILESS_MAIN(TstZentactlNames)
#include "tst_zentactl_names.moc"

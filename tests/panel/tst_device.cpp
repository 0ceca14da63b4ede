// The exchange, the shared decoding routines and device selection, against
// the scripted device behind the library table.
#include "ScriptedDevice.h"
#include "ScriptedDialogs.h"
#include "common/AppExit.h"
#include "device/GuardedExchange.h"
#include "device/TollanApi.h"
#include "device/frmSelect.h"
#include "device/modTollan.h"
#include "ui_frmSelect.h"

#include <QTemporaryDir>
#include <QtTest>

#include <dlfcn.h>

using namespace modTollan;

class DeviceTest : public QObject {
    Q_OBJECT
    std::unique_ptr<ScriptedDevice> dev;
    std::unique_ptr<ScriptedDialogs> dialogs;
    QList<int> exits;

private slots:
    void init()
    {
        resetLinkState();
        dev = std::make_unique<ScriptedDevice>();
        dialogs = std::make_unique<ScriptedDialogs>();
        exits.clear();
        setEndProgramHandler([this](int code) { exits << code; });
    }
    void cleanup()
    {
        setEndProgramHandler({});
        dialogs.reset();
        dev.reset();
    }

    void framesCarryTheCommandAndTheReplyUpToTheFirstZero()
    {
        QString reply = "untouched";
        const QString full(64, u'A');
        QCOMPARE(SendRecvString(full, reply), int16_t(1));
        QCOMPARE(dev->frames.last(), full.toLatin1());  // no terminator
        QCOMPARE(SendRecvString("PX", reply), int16_t(1));
        QCOMPARE(dev->frames.last(), QByteArray("PX").leftJustified(64, '\0'));

        reply = "untouched";
        QCOMPARE(SendRecvString(QString(65, u'A'), reply), int16_t(-1));
        QCOMPARE(reply, QString("untouched"));
        // A character Latin-1 has no byte for would go out as "?": not sent at all.
        QCOMPARE(SendRecvString(QString::fromUtf8("V1=\u20AC"), reply), int16_t(-1));
        QCOMPARE(reply, QString("untouched"));
        QCOMPARE(SendRecvString(QString::fromUtf8("DN=\u00C4"), reply), int16_t(1));  // Latin-1 goes out
        QCOMPARE(dev->frames.last(), QByteArray("DN=\xC4").leftJustified(64, '\0'));
        QCOMPARE(dev->log.size(), 3);

        dev->rawReply = QByteArray(64, 'R');
        SendRecvString("PX", reply);
        QCOMPARE(reply, QString(64, u'R'));
        dev->rawReply = QByteArray("12\0" "99", 5).leftJustified(64, 'Z');
        SendRecvString("PX", reply);
        QCOMPARE(reply, QString("12"));
        dev->rawReply.clear();
        dev->silent = true;
        SendRecvString("PX", reply);
        QCOMPARE(reply, QString());
        QCOMPARE(dev->exchangeHandles.last(), DeviceHandle);
    }

    void guardedExchangeReportsALostLinkOnce()
    {
        QFETCH(QString, command);
        QFETCH(bool, lost);
        CommOpen = true;
        DeviceHandle = 42;
        dev->silentCommands << command;
        QCOMPARE(guardedSendReceive(nullptr, command), QString());
        QCOMPARE(CommOpen, !lost);
        QCOMPARE(dialogs->notices(), lost ? QStringList{"Communication Error!"} : QStringList{});
        QCOMPARE(dev->closedHandles, lost ? QList<int32_t>{42} : QList<int32_t>{});
        // After a loss nothing reaches the device and nothing more is shown.
        const int sent = dev->log.size();
        guardedSendReceive(nullptr, "PX");
        QCOMPARE(dev->log.size(), lost ? sent : sent + 1);
        QCOMPARE(dialogs->notices().size(), lost ? 1 : 0);
    }
    void guardedExchangeReportsALostLinkOnce_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("lost");
        QTest::newRow("SASTAT silent is accepted") << "SASTAT" << false;
        QTest::newRow("SASTAT1 silent is accepted") << "SASTAT1" << false;
        QTest::newRow("sastat is not the SA family") << "sastat" << true;
        QTest::newRow("PX silent") << "PX" << true;
        QTest::newRow("65 characters") << QString(65, u'X') << true;
    }

    void guardedExchangeSendsNothingWhileClosed()
    {
        CommOpen = false;
        QCOMPARE(guardedSendReceive(nullptr, "PX"), QString());
        QVERIFY(dev->log.isEmpty());
        QVERIFY(dialogs->shown.isEmpty());
        CommOpen = true;
        dev->setReply("PX", "123");
        QCOMPARE(guardedSendReceive(nullptr, "PX"), QString("123"));
    }

    void decodingRoutines()
    {
        QCOMPARE(BitAnd24(13, 4), 4);
        QCOMPARE(BitOr24(1, 2), 3);
        QCOMPARE(ShiftRight(173, 3), 21);
        QCOMPARE(ShiftRight(-173, 3), -21);  // toward zero, not floor
        QCOMPARE(ShiftRight(168, 3), 21);
        QCOMPARE(BitAnd24(0xFFFFFF, 0x5A5A5A), 0x5A5A5A);
        QCOMPARE(BitOr24(0x800000, 1), 0x800001);
        // From 2^24 up, position 23 counts as clear; the remainder still counts.
        QCOMPARE(BitAnd24((1 << 24) + 5, (1 << 24) + 0x800001), 1);
        QCOMPARE(BitOr24(1 << 25, 0), 0);
        QCOMPARE(BitAnd24(-1, -1), 0);

        const char bytes[] = {'C', 'F', 'G', '0', '\0', 'X'};
        QCOMPARE(BytesToString(bytes, 6), QString("CFG0"));
        QByteArray longer(300, 'a');
        QCOMPARE(BytesToString(longer.constData(), 300).size(), 256);
        QCOMPARE(BytesToString(nullptr, 5), QString());
        const char high[] = {char(0xE9), '\0'};
        QCOMPARE(BytesToString(high, 2), QString(QChar(0xE9)));
    }

    void selectionListsCfgDevicesWithTheirLibraryIndex()
    {
        dev->products = {"Other device", "zenta cfg05", "CFG07 spare=1 , Index=9"};
        bool shown = false;
        frmSelect select({[&] { shown = true; }, [] {}});
        select.Form_Load();
        const auto *list = select.ui()->DeviceList;
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->item(0)->text(), QString("zenta cfg05 , Index=1"));
        QCOMPARE(list->item(1)->text(), QString("CFG07 spare=1 , Index=9 , Index=2"));
        QVERIFY(select.isVisible());
        QVERIFY(list->selectedItems().isEmpty());

        select.cmdOK_Click();
        QCOMPARE(dialogs->notices(), QStringList{"Please select a Tollan device first."});
        QVERIFY(dev->openedIndexes.isEmpty());

        select.ui()->DeviceList->setCurrentRow(1);
        select.cmdOK_Click();
        QCOMPARE(dev->timeouts, (QList<QPair<int32_t, int32_t>>{{5000, 5000}}));
        QCOMPARE(dev->openedIndexes, QList<int32_t>{2});
        QCOMPARE(DeviceHandle, dev->openedHandle);
        QCOMPARE(DeviceIndex, int16_t(2));
        QVERIFY(CommOpen);
        QVERIFY(shown);
        QVERIFY(!select.isVisible());
        QVERIFY(exits.isEmpty());
    }

    void selectionWithoutUsableDevices()
    {
        QFETCH(int, status);
        QFETCH(QList<QByteArray>, products);
        dev->countStatus = status;
        dev->products = products;
        int modalRuns = 0;
        frmSelect select({[] {}, [&] {
            QVERIFY(!CommOpen);
            ++modalRuns;
        }});
        select.Form_Load();
        QCOMPARE(dialogs->notices(), QStringList{"Error finding USB device."});
        QCOMPARE(modalRuns, 1);
        QCOMPARE(exits, QList<int>{0});
        QVERIFY(!select.isVisible());
    }
    void selectionWithoutUsableDevices_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QList<QByteArray>>("products");
        QTest::newRow("count 0") << 1 << QList<QByteArray>{};
        QTest::newRow("no CFG") << 1 << QList<QByteArray>{"ABC", "XYZ"};
        QTest::newRow("status 2 with devices") << 2 << QList<QByteArray>{"CFG01"};
        QTest::newRow("status 0 with devices") << 0 << QList<QByteArray>{"CFG01"};
    }

    void openFailureEndsTheProgram()
    {
        dev->products = {"CFG01"};
        dev->openStatus = 0;
        bool shown = false;
        frmSelect select({[&] { shown = true; }, [] {}});
        select.Form_Load();
        select.ui()->DeviceList->setCurrentRow(0);
        select.cmdOK_Click();
        QCOMPARE(dialogs->notices(),
                 QStringList{"Error opening device. Application is aborting. Reset hardware and try again."});
        QCOMPARE(exits, QList<int>{1});
        QVERIFY(!shown);
        QVERIFY(!CommOpen);
    }

    void cancelEndsTheProgram()
    {
        dev->products = {"CFG01"};
        frmSelect select({[] {}, [] {}});
        select.Form_Load();
        select.cmdCancel_Click();
        QCOMPARE(exits, QList<int>{0});
        QVERIFY(dev->openedIndexes.isEmpty());
    }

    void entryIndexIsTakenAfterTheLastMark()
    {
        QCOMPARE(frmSelect::indexOfEntry("CFG01 , Index=0"), std::optional<int16_t>(0));
        QCOMPARE(frmSelect::indexOfEntry("A=B=C CFG , Index=12"), std::optional<int16_t>(12));
        QCOMPARE(frmSelect::indexOfEntry("no mark"), std::nullopt);
    }

    void libraryThatCannotBeLoadedLeavesNoDevices()
    {
        dev.reset();  // back to the production table
        QString error;
        QVERIFY(!loadTollanLibrary("/nonexistent-folder", &error));
        QVERIFY(!error.isEmpty());
        int32_t count = 7;
        QVERIFY(tollanApi().GetNumDevices(&count) != 1);
        QCOMPARE(count, 0);

        // Loaded, every slot of the table reaches into the library, and the
        // library answers where the stand-ins above report failure.
        QTemporaryDir devices;
        qputenv("TOLLANCOM_DIR", QFile::encodeName(devices.path()));
        QVERIFY2(loadTollanLibrary(qEnvironmentVariable("ZENTA_BIN_DIR"), &error), qPrintable(error));
        const TollanApi &api = tollanApi();
        const std::pair<const char *, void *> entries[] = {
            {"GetNumDevices", reinterpret_cast<void *>(api.GetNumDevices)},
            {"GetProductString", reinterpret_cast<void *>(api.GetProductString)},
            {"Open", reinterpret_cast<void *>(api.Open)},
            {"Close", reinterpret_cast<void *>(api.Close)},
            {"SetTimeouts", reinterpret_cast<void *>(api.SetTimeouts)},
            {"SendRecv", reinterpret_cast<void *>(api.SendRecv)}};
        for (auto [name, fn] : entries) {
            Dl_info info{};
            QVERIFY2(fn && dladdr(fn, &info) && info.dli_fname, name);
            QVERIFY2(QFileInfo(QString::fromLocal8Bit(info.dli_fname)).fileName() == "libTollanCom.so",
                     qPrintable(QString(name) + " lies in " + QString::fromLocal8Bit(info.dli_fname)));
        }
        count = 7;
        QCOMPARE(api.GetNumDevices(&count), 1);
        QCOMPARE(count, 0);
        resetTollanApi();
        qunsetenv("TOLLANCOM_DIR");
    }
};

QTEST_MAIN(DeviceTest)
#include "tst_device.moc"

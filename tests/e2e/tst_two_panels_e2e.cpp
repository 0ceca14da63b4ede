// Two panels on one computer, each with a driver of its own, sharing one EXE
// folder: compiles and downloads interleaved as they come, and every download
// that reports success has put that panel's own program on that panel's own
// device. The second panel is this test program started again with --panel.
#include "InstalledFolder.h"
#include "ScriptedDialogs.h"
#include "SimProcess.h"
#include "common/AppExit.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"
#include "program/ExternalTools.h"
#include "ui_MainControlForm.h"
#include "zenta/lang/compiler.hpp"
#include "zenta/lang/transfer.hpp"

#include <QtTest>

using namespace modTollan;

namespace {

// Each panel's share of the fifty interleaved compile-and-download rounds.
constexpr int kRounds = 25;

QString exchange(const QString &command)
{
    QString reply;
    SendRecvString(command, reply);
    return reply;
}

QString programText(const QString &product, int round)
{
    return QStringLiteral("V1=%1\nV2=%2\nEND\n").arg(product.mid(3).toInt()).arg(round);
}

// "PGINFO" as the device answers it for this program text.
QString infoOf(const QString &text)
{
    const auto compiled = zenta::lang::compile(text.toStdString());
    const auto lines = zenta::lang::formatCompiled(compiled.program.code);
    return QString::fromStdString(
        zenta::lang::transfer::infoReply(static_cast<int>(lines.size()), zenta::lang::programChecksum(lines)));
}

// One panel's whole session: opens the device by its product string, then
// compiles and downloads until `rounds` downloads went through. Empty when
// every download that said "Done!" put this panel's program on its device.
QString runPanel(const QString &install, const QString &product, int rounds)
{
    ExternalTools::setExeFolderForTests(install + "/EXE");
    QString error;
    if (!loadTollanLibrary(install, &error))
        return error;
    TollanApi &api = tollanApi();
    api.SetTimeouts(simtest::kWaitMs, simtest::kWaitMs);
    resetLinkState();
    int32_t count = 0;
    api.GetNumDevices(&count);
    for (int32_t i = 0; i < count && !CommOpen; ++i) {
        char buffer[257] = {};
        api.GetProductString(i, buffer, 0);
        if (QString::fromLatin1(buffer) != product)
            continue;
        int32_t handle = 0;
        for (int attempt = 0; attempt < 100 && !CommOpen; ++attempt) {
            if (api.Open(i, &handle) != 0) {
                DeviceHandle = handle;
                DeviceIndex = static_cast<int16_t>(i);
                DeviceProduct = product;
                CommOpen = true;
            } else {
                QTest::qSleep(20);
            }
        }
    }
    if (!CommOpen)
        return product + " could not be opened";

    ScriptedDialogs dialogs;
    setEndProgramHandler([](int) {});
    MainControlForm main;
    main.Form_Load();
    main.Timer1()->stop();
    auto &ui = *main.ui();
    int done = 0, attempts = 0;
    while (done < rounds) {
        if (++attempts > rounds * 10)
            return QStringLiteral("%1: only %2 of %3 downloads in %4 attempts").arg(product).arg(done).arg(rounds).arg(attempts);
        const QString text = programText(product, done);
        ui.OrgProgram->setPlainText(text);
        dialogs.shown.clear();
        ui.CompileAll->click();
        if (dialogs.notices() != QStringList{"Done!"})
            continue;  // the other panel had the tools; try again
        dialogs.shown.clear();
        ui.DownloadSAP->click();
        if (!CommOpen)
            return product + ": the link was lost: " + dialogs.notices().join(" | ");
        if (dialogs.notices() != QStringList{"Done!"})
            continue;  // refused (tools busy, or compiled over by the other panel): nothing was sent
        const QString info = exchange(QStringLiteral("PGINFO"));
        if (info != infoOf(text))
            return QStringLiteral("%1, download %2: the device holds %3, not %4").arg(product).arg(done).arg(info, infoOf(text));
        ++done;
    }
    return {};
}

}  // namespace

class TwoPanelsE2ETest : public QObject {
    Q_OBJECT
private slots:
    void interleavedCompilesAndDownloads()
    {
        QTemporaryDir devices, install;
        QVERIFY(devices.isValid() && install.isValid());
        const QString failed = layOutInstalled(install.path());
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        simtest::SimProcess first(devices.path(), "sim1"), second(devices.path(), "sim2");
        QVERIFY(first.start({"--name", "CFG01"}));
        QVERIFY(second.start({"--name", "CFG02"}));
        qputenv("TOLLANCOM_DIR", devices.path().toLocal8Bit());

        QProcess other;
        other.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        other.start(QCoreApplication::applicationFilePath(),
                    {"--panel", install.path(), "CFG02", QString::number(kRounds)});
        QVERIFY(other.waitForStarted(simtest::kWaitMs));
        const QString mine = runPanel(install.path(), "CFG01", kRounds);
        // The panel waits in the event loop, which may already have seen the
        // other panel end.
        QVERIFY(other.state() == QProcess::NotRunning || other.waitForFinished(120000));
        const QString theirs = QString::fromLocal8Bit(other.readAllStandardOutput()).trimmed();
        QVERIFY2(mine.isEmpty(), qPrintable(mine));
        QVERIFY2(other.exitCode() == 0 && theirs.isEmpty(), qPrintable(theirs));
        // Each device ends with its own last program.
        QCOMPARE(exchange("PGINFO"), infoOf(programText("CFG01", kRounds - 1)));
        tollanApi().Close(DeviceHandle);
        int32_t handle = 0;
        QVERIFY(tollanApi().Open(1, &handle) != 0);
        DeviceHandle = handle;
        QCOMPARE(exchange("PGINFO"), infoOf(programText("CFG02", kRounds - 1)));
        tollanApi().Close(DeviceHandle);
        resetTollanApi();
        setEndProgramHandler({});
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc == 5 && QByteArray(argv[1]) == "--panel") {
        const QString problem = runPanel(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                                         QByteArray(argv[4]).toInt());
        std::printf("%s\n", qPrintable(problem));
        return problem.isEmpty() ? 0 : 1;
    }
    TwoPanelsE2ETest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_two_panels_e2e.moc"

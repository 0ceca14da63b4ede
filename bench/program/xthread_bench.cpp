// The "Multi-Thread Control" window offscreen against a real zenta-sim:
// exchanges per second and the panel's CPU next to the library's bare loop
// over the same four requests, then on an instant in-process device whose
// answers change every tick, to show the window's cost with the boxes
// repainting as they do while a program runs.
#include "WatchBench.h"
#include "common/AppExit.h"
#include "mainwindow/MainControlForm.h"
#include "program/XThreadForm.h"
#include "ui_MainControlForm.h"

#include <zenta/lang/compiler.hpp>
#include <zenta/lang/transfer.hpp>

namespace {

long instantCounter = 0;
int32_t instantSendRecv(int32_t, const unsigned char *send, int32_t, int32_t, unsigned char *receive)
{
    std::memset(receive, 0, 64);
    const bool state = std::strncmp(reinterpret_cast<const char *>(send), "SASTAT", 6) == 0;
    ++instantCounter;
    std::snprintf(reinterpret_cast<char *>(receive), 64, "%ld", state ? (instantCounter / 4) % 3 : instantCounter);
    return 1;
}

QString exchange(const QString &command)
{
    QString reply;
    modTollan::SendRecvString(command, reply);
    return reply;
}

// Program 0 counts in a tight loop, program 1 once a millisecond, so both
// index boxes change nearly every tick as they do while a real program runs.
bool storeAndRunBusyProgram()
{
    const auto compiled = zenta::lang::compile("PRG 0\nA:\nV1=V1+1\nGOTO A\n"
                                               "PRG 1\nB:\nDELAY=1\nV2=V2+1\nGOTO B\n");
    if (!compiled.ok)
        return false;
    const auto lines = zenta::lang::formatCompiled(compiled.program.code);
    namespace t = zenta::lang::transfer;
    bool ok = exchange(QString::fromStdString(t::beginCommand(int(lines.size())))) == QLatin1String("OK");
    for (size_t k = 0; ok && k < lines.size(); ++k)
        ok = exchange(QString::fromStdString(t::lineCommand(int(k + 1), lines[k]))) == QLatin1String("OK");
    ok = ok && exchange(QString::fromStdString(t::endCommand(zenta::lang::programChecksum(lines)))) == QLatin1String("OK");
    return ok && exchange("SR=1") == QLatin1String("OK") && exchange("SASTAT0") == QLatin1String("1");
}

}  // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 6;
    simtest::SimProcess sim({}, "bench");
    if (!bench::openSimulatedDevice(sim, {"--lockstep"}))
        return 1;
    bench::applyPlacement(argc, argv, sim.process().processId());
    const QStringList commands = {"SPC0", "SPC1", "SASTAT0", "SASTAT1"};

    setEndProgramHandler([](int) {});
    MainControlForm main;
    main.Timer1()->stop();  // paused anyway while the window is open
    auto open = [&main] { main.ui()->XThread->click(); };

    std::printf("simulator in lockstep, no program running\n");
    bench::compareWithRaw<XThreadForm>("thread window", commands, open, seconds, rounds);
    tollanApi().Close(modTollan::DeviceHandle);

    simtest::SimProcess running({}, "bench2");
    if (!bench::openSimulatedDevice(running, {}))
        return 1;
    bench::applyPlacement(argc, argv, running.process().processId());
    if (storeAndRunBusyProgram()) {
        std::printf("simulator in real time, both programs running\n");
        bench::compareWithRaw<XThreadForm>("thread window", commands, open, seconds, rounds);
    } else {
        std::printf("simulator in real time: it runs no programs, so no figures with programs running\n");
    }
    tollanApi().Close(modTollan::DeviceHandle);

    bench::instantRun<XThreadForm>("thread window on an instant device, every box changing", instantSendRecv, open,
                                   int(commands.size()), seconds);
    setEndProgramHandler({});
    return 0;
}

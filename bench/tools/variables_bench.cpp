// The variable monitor offscreen against a real zenta-sim: exchanges per
// second and the panel's CPU, next to the library's own exchange loop
// (fnTollanComSendRecv back to back) on the same device in the same run.
// A last phase puts the monitor on an instant in-process device whose values
// change every tick, to show the window's own cost with every box repainting.
#include "WatchBench.h"
#include "common/AppExit.h"
#include "mainwindow/MainControlForm.h"
#include "tools/VariableForm.h"
#include "ui_MainControlForm.h"

namespace {

long instantCounter = 0;
int32_t instantSendRecv(int32_t, const unsigned char *, int32_t, int32_t, unsigned char *receive)
{
    std::memset(receive, 0, 64);
    std::snprintf(reinterpret_cast<char *>(receive), 64, "%ld", ++instantCounter);
    return 1;
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
    QStringList commands;
    QString reply;
    for (int k = 1; k <= VariableForm::VariableCount; ++k) {
        commands << QStringLiteral("V%1").arg(k);
        // Values the boxes show, so the first tick of each opening writes them.
        modTollan::SendRecvString(QStringLiteral("V%1=%2").arg(k).arg(k * 1000 + 7), reply);
    }

    setEndProgramHandler([](int) {});
    MainControlForm main;
    main.Timer1()->stop();  // paused anyway while the monitor is open
    auto open = [&main] { main.ui()->Command5->click(); };

    std::printf("simulator in lockstep\n");
    bench::compareWithRaw<VariableForm>("variable monitor", commands, open, seconds, rounds);
    tollanApi().Close(modTollan::DeviceHandle);

    bench::instantRun<VariableForm>("monitor on an instant device, all 50 boxes changing", instantSendRecv, open,
                                    VariableForm::VariableCount, seconds);
    setEndProgramHandler({});
    return 0;
}

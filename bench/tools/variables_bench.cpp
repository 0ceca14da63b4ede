// The variable monitor offscreen against a real zenta-sim: exchanges per
// second and the panel's CPU, next to the library's own exchange loop
// (fnTollanComSendRecv back to back) on the same device in the same run.
// Phases alternate so drift on a shared machine hits all alike. A last
// phase puts the monitor on an instant in-process device whose values change
// every tick, to show the window's own cost with every box repainting.
#include "BenchDevice.h"
#include "common/AppExit.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"
#include "tools/VariableForm.h"
#include "ui_MainControlForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct Usage {
    double cpu;   // user + system seconds of this process
    double wall;  // seconds
};

using bench::cpuSeconds;

long residentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Phase {
    long exchanges = 0;
    double cpu = 0, wall = 0;
    void add(long n, const Usage &u) { exchanges += n; cpu += u.cpu; wall += u.wall; }
    double rate() const { return wall > 0 ? exchanges / wall : 0; }
    double cpuPercent() const { return wall > 0 ? 100.0 * cpu / wall : 0; }
};

// The bare loop: the same 50 requests, nothing done with the replies.
long rawLoop(double seconds, Usage &usage)
{
    unsigned char frames[50][64] = {};
    for (int k = 1; k <= 50; ++k)
        std::snprintf(reinterpret_cast<char *>(frames[k - 1]), 64, "V%d", k);
    unsigned char reply[64];
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    const qint64 limit = qint64(seconds * 1000);
    long n = 0;
    while (wall.elapsed() < limit) {
        for (auto &frame : frames) {
            std::memset(reply, 0, sizeof reply);
            tollanApi().SendRecv(modTollan::DeviceHandle, frame, 64, 64, reply);
        }
        n += 50;
    }
    usage = {cpuSeconds() - cpu0, wall.elapsed() / 1000.0};
    return n;
}

// The monitor as an operator opens it, with its own timer and the real event
// loop; closed by a timer after `seconds`. `fixedInterval` holds Timer1 at
// 1 ms after every tick, for comparison with a timer that never runs ticks
// back to back.
long monitorRun(MainControlForm &main, double seconds, Usage &usage, bool fixedInterval = false)
{
    long ticks = 0;
    QTimer::singleShot(0, [&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *v = qobject_cast<VariableForm *>(w); v && v->isVisible()) {
                QTimer *timer = v->Timer1();
                QObject::connect(timer, &QTimer::timeout, [&ticks, timer, fixedInterval] {
                    ++ticks;
                    if (fixedInterval && timer->interval() != VariableForm::RestInterval)
                        timer->setInterval(VariableForm::RestInterval);
                });
                QTimer::singleShot(int(seconds * 1000), v, [v] { v->close(); });
            }
    });
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    main.ui()->Command5->click();
    usage = {cpuSeconds() - cpu0, wall.elapsed() / 1000.0};
    return ticks * VariableForm::VariableCount;
}

// An instant device whose every answer differs from the last one.
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
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    simtest::SimProcess sim({}, "bench");
    if (!bench::openSimulatedDevice(sim, {"--lockstep"}))
        return 1;
    // Values the boxes show, so the first tick of each opening writes them.
    QString reply;
    for (int k = 1; k <= 50; ++k)
        modTollan::SendRecvString(QStringLiteral("V%1=%2").arg(k).arg(k * 1000 + 7), reply);

    setEndProgramHandler([](int) {});
    MainControlForm main;
    main.Timer1()->stop();  // paused anyway while the monitor is open

    Usage u{};
    rawLoop(0.3, u);  // warm both sides up
    monitorRun(main, 0.3, u);
    const long rss0 = residentKiB();

    Phase raw, monitor, fixed;
    for (int r = 0; r < rounds; ++r) {
        const long a = rawLoop(seconds, u);
        raw.add(a, u);
        const long b = monitorRun(main, seconds, u);
        monitor.add(b, u);
        const long c = monitorRun(main, seconds, u, true);
        fixed.add(c, u);
    }
    const long rss1 = residentKiB();

    std::printf("phases: %d x %.1f s each, simulator in lockstep\n", rounds, seconds);
    std::printf("raw library loop : %9.0f exchanges/s, panel CPU %5.1f%% of one core\n", raw.rate(), raw.cpuPercent());
    std::printf("variable monitor : %9.0f exchanges/s, panel CPU %5.1f%% of one core\n", monitor.rate(),
                monitor.cpuPercent());
    std::printf("monitor / raw    : %9.1f%% (goal: at least 80%%)\n", 100.0 * monitor.rate() / raw.rate());
    std::printf("for comparison, Timer1 held at 1 ms: %.0f exchanges/s = %.1f%% of raw\n", fixed.rate(),
                100.0 * fixed.rate() / raw.rate());
    std::printf("monitor CPU per exchange: %.2f us (raw loop %.2f us)\n", 1e6 * monitor.cpu / monitor.exchanges,
                1e6 * raw.cpu / raw.exchanges);
    std::printf("resident memory: %ld KiB after warm-up, %ld KiB after %d openings (max %ld KiB)\n", rss0, rss1,
                rounds, [] { rusage u{}; getrusage(RUSAGE_SELF, &u); return long(u.ru_maxrss); }());

    tollanApi().Close(modTollan::DeviceHandle);

    // The window's own ceiling: every value changes every tick.
    TollanApi instant = tollanApi();
    instant.SendRecv = instantSendRecv;
    setTollanApi(instant);
    Phase own;
    const long n = monitorRun(main, seconds, u);
    own.add(n, u);
    std::printf("monitor on an instant device, all 50 boxes changing: %.0f exchanges/s (%.0f ticks/s), "
                "%.2f us CPU per exchange\n",
                own.rate(), own.rate() / VariableForm::VariableCount, 1e6 * own.cpu / std::max(1L, own.exchanges));
    setEndProgramHandler({});
    return 0;
}

// Status poll throughput and cost: the main window offscreen against a real
// zenta-sim in real time, standing axis. Prints executed ticks per second
// (the 10 ms timer allows 100) and the panel's CPU use.
#include "SimProcess.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <sys/resource.h>

namespace {
double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const QString bin = QCoreApplication::applicationDirPath();
    qputenv("ZENTA_BIN_DIR", bin.toLocal8Bit());

    QTemporaryDir folder;
    qputenv("TOLLANCOM_DIR", folder.path().toLocal8Bit());
    simtest::SimProcess sim(folder.path(), "bench");
    if (!sim.start({})) {
        std::fprintf(stderr, "zenta-sim did not start\n");
        return 1;
    }
    QString error;
    if (!loadTollanLibrary(bin, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    int32_t count = 0;
    tollanApi().GetNumDevices(&count);
    tollanApi().SetTimeouts(5000, 5000);
    if (count < 1 || !tollanApi().Open(0, &modTollan::DeviceHandle)) {
        std::fprintf(stderr, "cannot open the simulated device\n");
        return 1;
    }
    modTollan::CommOpen = true;

    MainControlForm main;
    main.show();
    main.Form_Load();
    long ticks = 0;
    QObject::connect(main.Timer1(), &QTimer::timeout, [&ticks] { ++ticks; });

    // Let start-up settle, then measure.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500)
        app.processEvents(QEventLoop::AllEvents, 50);
    ticks = 0;
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    // exit(), not quit(): quit() closes the windows, and closing the main
    // window ends the program.
    QTimer::singleShot(int(seconds * 1000), &app, [] { QCoreApplication::exit(0); });
    app.exec();
    const double elapsed = wall.elapsed() / 1000.0;
    const double cpu = cpuSeconds() - cpu0;
    std::printf("poll ticks: %ld in %.2f s = %.1f ticks/s (timer allows 100)\n", ticks, elapsed, ticks / elapsed);
    std::printf("panel CPU: %.2f s = %.1f%% of one core\n", cpu, 100.0 * cpu / elapsed);
    std::printf("link still open: %s\n", modTollan::CommOpen ? "yes" : "no");
    tollanApi().Close(modTollan::DeviceHandle);
    return 0;
}

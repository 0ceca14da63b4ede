// Status poll throughput and cost: the main window offscreen against a real
// zenta-sim in real time, standing axis. Prints executed ticks per second
// (the 10 ms timer allows 100) and the panel's CPU use.
#include "BenchDevice.h"
#include "mainwindow/MainControlForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    simtest::SimProcess sim({}, "bench");
    if (!bench::openSimulatedDevice(sim, {}))  // real time: the axis stands
        return 1;

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
    const double cpu0 = bench::cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    // exit(), not quit(): quit() closes the windows, and closing the main
    // window ends the program.
    QTimer::singleShot(int(seconds * 1000), &app, [] { QCoreApplication::exit(0); });
    app.exec();
    const double elapsed = wall.elapsed() / 1000.0;
    const double cpu = bench::cpuSeconds() - cpu0;
    std::printf("poll ticks: %ld in %.2f s = %.1f ticks/s (timer allows 100)\n", ticks, elapsed, ticks / elapsed);
    std::printf("panel CPU: %.2f s = %.1f%% of one core\n", cpu, 100.0 * cpu / elapsed);
    std::printf("link still open: %s\n", modTollan::CommOpen ? "yes" : "no");
    tollanApi().Close(modTollan::DeviceHandle);
    return 0;
}

// Status poll throughput and cost: the main window offscreen against a real
// zenta-sim in real time. Prints executed ticks per second (the 10 ms timer
// allows 100), the panel's CPU use and its resident memory at the start and
// end of the measurement.
//   poll_bench [seconds] [plot] [move]
// "plot" opens the motion plot; "move" jogs the axis the whole time, so the
// plot has a moving trace to draw (the axis stands otherwise).
#include "BenchDevice.h"
#include "mainwindow/MainControlForm.h"
#include "plot/PlotForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

namespace {
long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}
}  // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const QStringList options = app.arguments().mid(2);
    simtest::SimProcess sim({}, "bench");
    if (!bench::openSimulatedDevice(sim, {}))  // real time: the axis stands
        return 1;

    MainControlForm main;
    main.show();
    main.Form_Load();
    if (options.contains(QStringLiteral("move"))) {
        main.SendReceive(QStringLiteral("HSPD=2000"));
        main.SendReceive(QStringLiteral("J+"));
    }
    if (options.contains(QStringLiteral("plot")))
        main.plot().ShowPlot_Click();
    long ticks = 0;
    QObject::connect(main.Timer1(), &QTimer::timeout, [&ticks] { ++ticks; });

    // Let start-up settle, then measure.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500)
        app.processEvents(QEventLoop::AllEvents, 50);
    ticks = 0;
    const long rss0 = residentKiB();
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
    std::printf("resident memory: %ld KiB at start, %ld KiB at end\n", rss0, residentKiB());
    std::printf("plot: %s, axis: %s, plot history %d samples\n", options.contains("plot") ? "open" : "closed",
                options.contains("move") ? "jogging" : "standing", main.plot().history().size());
    std::printf("link still open: %s\n", modTollan::CommOpen ? "yes" : "no");
    tollanApi().Close(modTollan::DeviceHandle);
    return 0;
}

// Shared by the benchmarks of the two watch windows (variable monitor, thread
// window): the library's bare exchange loop over the same requests, and the
// window opened from the main window with its own timer and the real event
// loop, with the time inside ticks told apart from the hop between them.
#pragma once

#include "BenchDevice.h"
#include "ToolRun.h"
#include "common/WatchDialog.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sched.h>
#include <sstream>
#include <string>
#include <functional>
#include <unistd.h>
#include <vector>

namespace bench {

// Which cores the panel and the simulator last ran on, sampled about once a
// millisecond: an exchange between two cores costs a cross-core wake-up each
// way, so the share of samples on one core explains much of an unpinned figure.
struct Placement {
    qint64 simPid = 0;
    long same = 0, samples = 0;
    QElapsedTimer since;
    void maybeSample()
    {
        if (!simPid || (since.isValid() && since.nsecsElapsed() < 1000000))
            return;
        since.start();
        std::ifstream stat("/proc/" + std::to_string(simPid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // Field 39 counts from the first field after the command's closing parenthesis (field 3).
        const auto close = text.rfind(')');
        if (close == std::string::npos)
            return;
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        for (int i = 3; i <= 39 && rest >> field; ++i) {
        }
        ++samples;
        if (std::atoi(field.c_str()) == sched_getcpu())
            ++same;
    }
    double sharePercent() const { return samples ? 100.0 * same / samples : 0; }
    void reset() { same = samples = 0; }
};
inline Placement placement;

// "split" as the third argument puts the panel on core 0 and the simulator on
// core 1, the placement an unpinned run gets when the scheduler spreads them.
inline void applyPlacement(int argc, char *argv[], qint64 simPid)
{
    placement.simPid = simPid;
    if (argc > 3 && std::strcmp(argv[3], "split") == 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        sched_setaffinity(0, sizeof one, &one);
        CPU_ZERO(&one);
        CPU_SET(1, &one);
        sched_setaffinity(pid_t(simPid), sizeof one, &one);
        std::printf("split: panel on core 0, simulator on core 1\n");
    }
}

struct Usage {
    double cpu = 0;   // user + system seconds of this process
    double wall = 0;  // seconds
};

struct Phase {
    long exchanges = 0;
    long ticks = 0;
    double cpu = 0, wall = 0;
    double inTick = 0, between = 0;  // seconds inside ticks and between them
    long sameCore = 0, samples = 0;  // placement samples
    void add(long n, const Usage &u) { exchanges += n; cpu += u.cpu; wall += u.wall; }
    double rate() const { return wall > 0 ? exchanges / wall : 0; }
    double cpuPercent() const { return wall > 0 ? 100.0 * cpu / wall : 0; }
    double usPerExchange() const { return exchanges > 0 ? 1e6 * wall / exchanges : 0; }
};

inline long residentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

inline long maxResidentKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// The bare loop: the window's requests in its order, nothing done with the replies.
inline long rawLoop(const QStringList &commands, double seconds, Usage &usage)
{
    std::vector<std::array<unsigned char, 64>> frames(commands.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        frames[i].fill(0);
        const QByteArray c = commands[int(i)].toLatin1();
        std::memcpy(frames[i].data(), c.constData(), size_t(std::min<qsizetype>(c.size(), 64)));
    }
    unsigned char reply[64];
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    const qint64 limit = qint64(seconds * 1000);
    long n = 0;
    while (wall.elapsed() < limit) {
        for (auto &frame : frames) {
            std::memset(reply, 0, sizeof reply);
            tollanApi().SendRecv(modTollan::DeviceHandle, frame.data(), 64, 64, reply);
        }
        n += long(frames.size());
        placement.maybeSample();
    }
    usage = {cpuSeconds() - cpu0, wall.elapsed() / 1000.0};
    return n;
}

// Time stamps at the start of each tick (the timer event) and at its end (a
// slot connected after the window's own).
class TickClock : public QObject {
public:
    QElapsedTimer clock;
    qint64 start = -1, lastEnd = -1, inTick = 0, between = 0;
    long ticks = 0;
    TickClock() { clock.start(); }
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Timer) {
            start = clock.nsecsElapsed();
            if (lastEnd >= 0)
                between += start - lastEnd;
        }
        return false;
    }
    void ended()
    {
        lastEnd = clock.nsecsElapsed();
        placement.maybeSample();
        if (start >= 0)
            inTick += lastEnd - start;
        ++ticks;
    }
};

// Opens the window through `open` (the main window's button) and closes it
// after `seconds`. `fixedInterval` holds Timer1 at its resting 1 ms after
// every tick, for comparison with a timer that never runs ticks back to back.
template <typename Form>
void windowRun(const std::function<void()> &open, int exchangesPerTick, double seconds, Phase &phase,
               bool fixedInterval = false)
{
    TickClock clock;
    QTimer::singleShot(0, [&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *v = qobject_cast<Form *>(w); v && v->isVisible()) {
                QTimer *timer = v->Timer1();
                timer->installEventFilter(&clock);
                QObject::connect(timer, &QTimer::timeout, &clock, [&clock, timer, fixedInterval] {
                    clock.ended();
                    if (fixedInterval && timer->interval() != WatchDialog::RestInterval)
                        timer->setInterval(WatchDialog::RestInterval);
                });
                QTimer::singleShot(int(seconds * 1000), v, [v] { v->close(); });
            }
    });
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    open();
    phase.add(clock.ticks * exchangesPerTick, {cpuSeconds() - cpu0, wall.elapsed() / 1000.0});
    phase.ticks += clock.ticks;
    phase.inTick += clock.inTick / 1e9;
    phase.between += clock.between / 1e9;
}

// The window on an in-process device that answers at once (`sendRecv` takes
// the place of the library's exchange), so the figure is the window's own
// cost; `label` starts the printed line.
template <typename Form>
void instantRun(const char *label, decltype(TollanApi::SendRecv) sendRecv, const std::function<void()> &open,
                int exchangesPerTick, double seconds)
{
    TollanApi instant = tollanApi();
    instant.SendRecv = sendRecv;
    setTollanApi(instant);
    Phase own;
    windowRun<Form>(open, exchangesPerTick, seconds, own);
    std::printf("%s: %.0f exchanges/s (%.0f ticks/s), %.2f us CPU per exchange\n", label, own.rate(),
                own.rate() / exchangesPerTick, 1e6 * own.cpu / std::max(1L, own.exchanges));
}

// Alternates the raw loop and the window in short phases, so drift on a
// shared machine hits both alike, and prints the figures.
template <typename Form>
void compareWithRaw(const char *name, const QStringList &commands, const std::function<void()> &open,
                    double seconds, int rounds)
{
    Usage u{};
    Phase warm;
    rawLoop(commands, 0.3, u);
    windowRun<Form>(open, int(commands.size()), 0.3, warm);
    const long rss0 = residentKiB();

    Phase raw, window, fixed;
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) {
        Phase one;
        placement.reset();
        const long a = rawLoop(commands, seconds, u);
        raw.add(a, u);
        const double rawShare = placement.sharePercent();
        placement.reset();
        windowRun<Form>(open, int(commands.size()), seconds, one);
        window.sameCore += placement.same;
        window.samples += placement.samples;
        std::printf("    round %d: raw %6.1f us/exchange (%3.0f%% same core), window %6.1f us/exchange (%3.0f%% same core)\n",
                    r + 1, 1e6 * u.wall / a, rawShare,
                    one.usPerExchange(), placement.sharePercent());
        ratios.push_back(one.rate() / (a / u.wall));
        window.add(one.exchanges, {one.cpu, one.wall});
        window.ticks += one.ticks;
        window.inTick += one.inTick;
        window.between += one.between;
        windowRun<Form>(open, int(commands.size()), seconds / 4, fixed, true);
    }
    const long rss1 = residentKiB();
    const double perTickUs = window.ticks > 0 ? 1e6 * window.between / window.ticks : 0;
    std::printf("%s: %d rounds x %.2f s, %d exchanges a tick\n", name, rounds, seconds, int(commands.size()));
    std::printf("  raw library loop : %8.0f exchanges/s (%.1f us each), panel CPU %5.1f%% of one core\n", raw.rate(),
                raw.usPerExchange(), raw.cpuPercent());
    std::printf("  window           : %8.0f exchanges/s (%.1f us each), panel CPU %5.1f%% of one core\n",
                window.rate(), window.usPerExchange(), window.cpuPercent());
    std::printf("  window / raw     : %8.1f%% overall, median of rounds %.1f%%, lowest %.1f%% (goal: at least 80%%)\n",
                100.0 * window.rate() / raw.rate(), 100 * median(ratios),
                100 * *std::min_element(ratios.begin(), ratios.end()));
    std::printf("  inside ticks     : %.1f us an exchange; between ticks %.1f us a tick (%.1f%% of the time)\n",
                window.exchanges > 0 ? 1e6 * window.inTick / window.exchanges : 0, perTickUs,
                100 * window.between / std::max(1e-9, window.wall));
    std::printf("  CPU an exchange  : window %.2f us, raw loop %.2f us\n", 1e6 * window.cpu / std::max(1L, window.exchanges),
                1e6 * raw.cpu / std::max(1L, raw.exchanges));
    std::printf("  window phases on one core with the simulator: %.0f%% of samples\n",
                100.0 * window.sameCore / std::max(1L, window.samples));
    std::printf("  Timer1 held at 1 ms instead: %.0f exchanges/s = %.1f%% of raw\n", fixed.rate(),
                100.0 * fixed.rate() / raw.rate());
    std::printf("  resident memory: %ld KiB after warm-up, %ld KiB after %d openings (max %ld KiB)\n", rss0, rss1,
                2 * rounds, maxResidentKiB());
}

}  // namespace bench

// The program workbench, measured: on a 1275-line program, the time from a
// key press to the repainted editor with and without a check running when
// the key arrives, and the check's own time; the dry run's speed on two
// threads in tight loops; and the status poll's rate against a real
// zenta-sim while a dry run computes, next to its rate without one.
//   workbench_bench [keys] [poll seconds]
// Pinned: taskset -c 0 build/bin/workbench_bench
#include "BenchDevice.h"
#include "LargestProgram.h"
#include "ToolRun.h"
#include "mainwindow/MainControlForm.h"
#include "program/DryRunForm.h"
#include "program/ProgramCheck.h"
#include "program/ProgramEdit.h"
#include "program/ProgramTools.h"
#include "ui_MainControlForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPushButton>
#include <QTextBlock>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Counts paints of one widget.
class PaintCounter : public QObject {
public:
    long paints = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

struct Figures {
    std::vector<double> ms;
    void print(const char *what)
    {
        std::sort(ms.begin(), ms.end());
        const auto at = [this](double q) { return ms[std::min(ms.size() - 1, std::size_t(q * ms.size()))]; };
        std::printf("%-46s median %7.3f ms  p90 %7.3f ms  max %7.3f ms  (%zu)\n", what, bench::median(ms), at(0.9),
                    ms.back(), ms.size());
    }
};

// A text of exactly 1275 lines: the device's largest program, its comments
// filling the rest.
QString programOf1275Lines()
{
    QString text = QString::fromLatin1(bench::largestProgram()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    while (text.count(u'\n') < 1275)
        text += QStringLiteral("; note\n");
    text.chop(1);
    return text;
}

// Posts one key to the editor and waits for the repaint it causes; with
// `checkFirst`, a check runs before the key is handled, as when the key
// arrives while the check computes.
double keyToRepaintMs(QApplication &app, MainControlForm &main, PaintCounter &counter, bool checkFirst)
{
    ProgramEdit *editor = main.ui()->OrgProgram;
    const long before = counter.paints;
    QElapsedTimer t;
    t.start();
    QCoreApplication::postEvent(editor, new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a")));
    if (checkFirst)
        main.program().check->checkNow();
    while (counter.paints == before && t.elapsed() < 1000)
        app.processEvents(QEventLoop::AllEvents);
    const double ms = t.nsecsElapsed() / 1e6;
    // Undo the letter so the text stays the same size.
    QCoreApplication::postEvent(editor, new QKeyEvent(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier));
    app.processEvents();
    return ms;
}

void editorFigures(QApplication &app, int keys)
{
    MainControlForm main;
    main.Timer1()->stop();
    main.resize(1250, 720);
    main.show();
    ProgramEdit *editor = main.ui()->OrgProgram;
    editor->setPlainText(programOf1275Lines());
    main.program().check->checkNow();
    std::printf("program: %d lines, check: %s\n", editor->blockCount(),
                qPrintable(ProgramCheck::summary(main.program().check->last())));
    // Type in the middle of the program.
    QTextCursor at(editor->document()->findBlockByNumber(600));
    at.movePosition(QTextCursor::EndOfBlock);
    editor->setTextCursor(at);
    editor->setFocus();
    PaintCounter counter;
    editor->viewport()->installEventFilter(&counter);
    for (int k = 0; k < 20; ++k)  // warm up
        keyToRepaintMs(app, main, counter, false);

    Figures plain, withCheck, check, checkErrors;
    for (int k = 0; k < keys; ++k) {
        plain.ms.push_back(keyToRepaintMs(app, main, counter, false));
        withCheck.ms.push_back(keyToRepaintMs(app, main, counter, true));
    }
    const QString text = editor->toPlainText();
    for (int k = 0; k < keys; ++k) {
        QElapsedTimer t;
        t.start();
        const ProgramCheck::Result r = ProgramCheck::check(text);
        check.ms.push_back(t.nsecsElapsed() / 1e6);
        if (!r.errors.isEmpty())
            std::printf("unexpected error: %s\n", qPrintable(ProgramCheck::summary(r)));
    }
    // Every 25th line broken.
    QStringList broken = text.split(u'\n');
    for (qsizetype i = 0; i < broken.size(); i += 25)
        broken[i] += QStringLiteral(" FOO");
    editor->setPlainText(broken.join(u'\n'));
    for (int k = 0; k < keys; ++k) {
        QElapsedTimer t;
        t.start();
        main.program().check->checkNow();
        checkErrors.ms.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf("with errors: %s\n", qPrintable(ProgramCheck::summary(main.program().check->last())));
    plain.print("key press to repaint, no check");
    withCheck.print("key press to repaint, a check running first");
    check.print("check of 1275 lines (compile only)");
    const QByteArray marked = QStringLiteral("check of 1275 lines, %1 marked (with marks)")
                                  .arg(main.program().check->last().count)
                                  .toLatin1();
    checkErrors.print(marked.constData());
}

void dryRunFigures(QApplication &app)
{
    MainControlForm main;
    main.Timer1()->stop();
    main.ui()->EO->setState(1);
    main.ui()->OrgProgram->setPlainText(QStringLiteral(
        "PRG 0\nloop0: V1=V1+1\nGOTO loop0\nPRG 1\nloop1: V2=V2+1\nGOTO loop1\n"));
    main.findChild<QPushButton *>(QStringLiteral("DryRun"))->click();
    DryRun &engine = main.program().dryRun->engine();
    for (int round = 0; round < 3; ++round) {
        engine.reset();
        double at60 = -1;
        QElapsedTimer t;
        QObject::connect(&engine, &DryRun::progressed, &engine, [&] {
            if (at60 < 0 && engine.deviceTime() >= 60'000'000)
                at60 = t.nsecsElapsed() / 1e6;
        });
        t.start();
        engine.run();
        while (engine.busy())
            app.processEvents(QEventLoop::AllEvents);
        const double total = t.nsecsElapsed() / 1e6;
        QObject::disconnect(&engine, &DryRun::progressed, nullptr, nullptr);
        std::printf("dry run, two tight loops: 60 s of device time after %.0f ms; the whole 600 s run %.0f ms "
                    "(%.0f ms per 60 s), V1=%d\n",
                    at60, total, total / 10, engine.changedVariables().front().second);
    }
}

// Poll ticks per second over `seconds`, with a dry run computing all the
// while when `dryRun` is set.
void pollFigures(double seconds)
{
    simtest::SimProcess sim({}, "bench");
    if (!bench::openSimulatedDevice(sim, {}))
        return;
    MainControlForm main;
    main.show();
    main.Form_Load();
    main.ui()->OrgProgram->setPlainText(QStringLiteral("PRG 0\nloop0: V1=V1+1\nGOTO loop0\nPRG 1\nloop1: V2=V2+1\nGOTO loop1\n"));
    for (bool dryRun : {false, true, false}) {
        DryRun *engine = nullptr;
        if (dryRun) {
            main.findChild<QPushButton *>(QStringLiteral("DryRun"))->click();
            engine = &main.program().dryRun->engine();
            // Run after run, so it computes the whole time.
            QObject::connect(engine, &DryRun::finished, engine, [engine] {
                QTimer::singleShot(0, engine, [engine] { engine->run(); });
            });
            engine->run();
        }
        long ticks = 0;
        const auto c = QObject::connect(main.Timer1(), &QTimer::timeout, [&ticks] { ++ticks; });
        QElapsedTimer wall;
        wall.start();
        const double cpu0 = bench::cpuSeconds();
        QEventLoop loop;
        QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
        loop.exec();
        const double elapsed = wall.elapsed() / 1000.0;
        const double cpu = bench::cpuSeconds() - cpu0;
        QObject::disconnect(c);
        std::printf("status poll %s: %.1f ticks/s (timer allows 100), panel CPU %.0f%%%s\n",
                    dryRun ? "during a dry run" : "without a dry run", ticks / elapsed, 100 * cpu / elapsed,
                    dryRun ? qPrintable(QStringLiteral(", device time computed %1 s")
                                            .arg(double(engine->deviceTime()) / 1e6, 0, 'f', 1))
                           : "");
        if (engine) {
            QObject::disconnect(engine, &DryRun::finished, nullptr, nullptr);
            engine->stop();
        }
    }
    std::printf("link still open: %s\n", modTollan::CommOpen ? "yes" : "no");
    tollanApi().Close(modTollan::DeviceHandle);
}

}  // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform's notes on window hints are no figures.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
        if (!text.contains(QLatin1String("This plugin does not support")))
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QApplication app(argc, argv);
    const int keys = argc > 1 ? std::atoi(argv[1]) : 200;
    const double pollSeconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    editorFigures(app, keys);
    dryRunFigures(app);
    pollFigures(pollSeconds);
    return 0;
}

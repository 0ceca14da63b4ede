// Stored programs running in the model's two threads, in exact device time:
// each case downloads a program as the loader would, then plays a script of
// commands and time steps against it.
#include "Model.h"

#include "zenta/lang/compiler.hpp"
#include "zenta/lang/transfer.hpp"

#include <QtTest>

using namespace zsim;

namespace {

// A device in memory with its own exact clock.
struct Device {
    MemoryFlash flash;
    Model m{flash, "CFG01"};

    std::string ask(const std::string &c) { return m.handle(c); }
    void afterUs(Micros us) { m.advanceTo(m.now() + us); }

    // Compiles the source and sends it through the transfer commands; empty
    // on success, else what went wrong.
    QString download(const QStringList &source)
    {
        const auto compiled = zenta::lang::compile(source.join('\n').toStdString());
        if (!compiled.ok)
            return QString("line %1: %2").arg(compiled.errorLine).arg(QString::fromStdString(compiled.message));
        for (const std::string &c :
             zenta::lang::transfer::downloadCommands(zenta::lang::formatCompiled(compiled.program.code)))
            if (const std::string r = m.handle(c); r != "OK")
                return QString::fromStdString(c + " -> " + r);
        return {};
    }

    // One script step: "+N" moves time on N ms ("+Nus": microseconds),
    // "!power" power-cycles, "!di N" and "!ai N" set the inputs, "CMD == R"
    // sends CMD and expects R, and a bare "CMD" expects OK. Empty on success.
    QString play(const QString &step)
    {
        if (step.startsWith('+')) {
            const bool us = step.endsWith("us");
            const long long n = step.mid(1, step.size() - (us ? 3 : 1)).toLongLong();
            afterUs(us ? n : n * 1000);
        } else if (step == "!power") {
            m.powerUp(m.now());
        } else if (step.startsWith("!di ")) {
            m.setInputs(step.mid(4).toUInt());
        } else if (step.startsWith("!ai ")) {
            m.setAnalog(step.mid(4).toInt());
        } else if (step.startsWith("now == ")) {
            if (m.now() != step.mid(7).toLongLong())
                return QString("the clock stands at %1 us").arg(m.now());
        } else if (const qsizetype arrow = step.indexOf(" => "); arrow > 0) {
            const QString got = watched(step.left(arrow));
            if (got != step.mid(arrow + 4))
                return QString("gave %1").arg(got);
        } else {
            const qsizetype eq = step.indexOf(" == ");
            const QString command = eq < 0 ? step : step.left(eq);
            const QString expected = eq < 0 ? QString("OK") : step.mid(eq + 4);
            const QString got = QString::fromStdString(ask(command.toStdString()));
            if (got != expected)
                return QString("%1 gave %2, expected %3 (at %4 us)").arg(command, got, expected).arg(m.now());
        }
        return {};
    }

    std::vector<bool> breakLines;

    // "run" (up to ten minutes on, stopping at an error) or "step N"; says
    // why it stopped and where the thread it names stands.
    QString watched(const QString &action)
    {
        Watch w;
        w.breakLines = &breakLines;
        w.stopOnError = true;
        if (action.startsWith("step "))
            w.stepThread = action.mid(5).toInt();
        const RunResult r = m.advanceWatched(m.now() + 600'000'000, Interpreter::kMaxStepsPerRun, w);
        const Interpreter &threads = m.programs().threads();
        const QString at = QString(" %1 at %2").arg(r.thread).arg(threads.sourceLine(r.thread));
        switch (r.stop) {
        case RunStop::Due: return "due";
        case RunStop::Budget: return "budget";
        case RunStop::Breakpoint: return "break" + at;
        case RunStop::Stepped: return "stepped" + at;
        case RunStop::Errored:
            return "error" + at + ": " + QString::fromStdString(threads.errorReason(r.thread));
        }
        return {};
    }
};

}  // namespace

class InterpreterTest : public QObject {
    Q_OBJECT
private slots:
    void programs_data();
    void programs();
    void statementTimeOption();
    void fallsBehindInsteadOfHanging();
    void nextWakeUp();
    void watchedRuns_data();
    void watchedRuns();
    void changedVariables();
};

void InterpreterTest::programs_data()
{
    QTest::addColumn<QStringList>("source");
    QTest::addColumn<QStringList>("script");

    const QStringList counter{"loop: V1=V1+1", "GOTO loop"};

    // Statements and time.
    QTest::newRow("arithmetic") << QStringList{"V1=7", "V2=V1*6", "V3=V2/4", "V4=V2%5", "V5=V1-10",
                                               "V6=V1&3", "V7=V1|8", "V8=2147483647", "V8=V8+1"}
                                << QStringList{"SR=1", "+2", "V2 == 42", "V3 == 10", "V4 == 2", "V5 == -3",
                                               "V6 == 3", "V7 == 15", "V8 == -2147483648",
                                               "SASTAT0 == 0", "SPC0 == 0"};
    // Statements at 0, 100, ... 10000 us: every other one counts.
    QTest::newRow("a statement takes 100 us")
        << counter << QStringList{"SR=1", "SPC0 == 1", "SASTAT0 == 1", "+10", "V1 == 51", "SPC0 == 2",
                                  "SASTAT == 1", "SPC == 2"};
    QTest::newRow("DELAY counts device time")
        << QStringList{"V1=1", "DELAY=50", "V1=2"}
        << QStringList{"SR=1", "+50", "+99us", "V1 == 1", "SPC0 == 2", "SASTAT0 == 1", "+1us", "V1 == 2",
                       "SASTAT0 == 0"};
    QTest::newRow("DELAY of zero or less does not wait")
        << QStringList{"V4=-3", "DELAY=V4", "DELAY=0", "V4=200", "DELAY=V4", "V1=1"}
        << QStringList{"SR=1", "+200", "V1 == 0", "SPC0 == 5", "+1", "V1 == 1"};
    // X1000 at 200 us with 1000 pulses/s and 100 ms ramps: standstill at 1.1002 s.
    QTest::newRow("WAITX waits for standstill")
        << QStringList{"HSPD=1000", "ACC=100", "X1000", "WAITX", "V1=PX", "DO1=1"}
        << QStringList{"SR=1", "+1000", "SPC0 == 4", "DO1 == 0", "V1 == 0", "+101", "V1 == 1000",
                       "DO1 == 1", "SASTAT0 == 0"};
    QTest::newRow("WAITX at standstill passes") << QStringList{"WAITX", "V1=1"}
                                                << QStringList{"SR=1", "+1", "V1 == 1"};
    QTest::newRow("relative moves and the move mode")
        << QStringList{"V2=50", "INC", "X100", "WAITX", "X V2", "WAITX", "V3=MM", "V4=PX", "ABS", "V5=MM"}
        << QStringList{"SR=1", "+3000", "SASTAT0 == 0", "V3 == 1", "V4 == 150", "V5 == 0", "PX == 150"};
    QTest::newRow("jog, STOP and ABORT")
        << QStringList{"J+", "DELAY=100", "STOP", "WAITX", "IF PX>0", "V1=1", "ENDIF", "J-", "DELAY=50",
                       "ABORT", "V2=MST&7", "V3=1"}
        << QStringList{"SR=1", "+1000", "SASTAT0 == 0", "V1 == 1", "V2 == 0", "V3 == 1"};
    QTest::newRow("settings go through the command layer")
        << QStringList{"DO=3", "DO1=0", "V5=4000", "HSPD=V5", "ACC=DO", "V6=HSPD", "V7=ACC", "P6=12", "EO=0",
                       "V8=EO"}
        << QStringList{"SR=1", "+2", "SASTAT0 == 0", "V6 == 4000", "V7 == 2", "V8 == 0", "DO == 2",
                       "HSPD == 4000", "P6 == 12", "EO == 0"};
    QTest::newRow("status reads")
        << QStringList{"V1=DI", "V2=DI1", "V3=DI2", "V4=DI3", "V5=AI", "DO2=1", "V6=DO2", "V7=DO1"}
        << QStringList{"!di 5", "!ai 321", "SR=1", "+2", "V1 == 5", "V2 == 1", "V3 == 0", "V4 == 1",
                       "V5 == 321", "V6 == 1", "V7 == 0"};
    QTest::newRow("IF, ELSEIF, ELSE and WHILE")
        << QStringList{"V9=1", "WHILE V9<=3", "IF V9=1", "V1=V1+1", "ELSEIF V9=2", "V1=V1+10", "ELSE",
                       "V1=V1+100", "ENDIF", "V9=V9+1", "ENDWHILE"}
        << QStringList{"SR=1", "+10", "SASTAT0 == 0", "V1 == 111", "V9 == 4"};
    QTest::newRow("AND binds tighter than OR")
        << QStringList{"V1=5", "IF V2=1 OR V1=5 AND V3=0", "V4=1", "ENDIF", "IF V2=1 OR V1=5 AND V3=1",
                       "V5=1", "ENDIF"}
        << QStringList{"SR=1", "+2", "V4 == 1", "V5 == 0"};
    QTest::newRow("GOSUB and RETURN")
        << QStringList{"GOSUB add", "GOSUB add", "V2=V1", "END", "add: V1=V1+10", "RETURN"}
        << QStringList{"SR=1", "+2", "V1 == 20", "V2 == 20", "SASTAT0 == 0"};
    QTest::newRow("GOTO") << QStringList{"GOTO skip", "V1=1", "skip: V2=1"}
                          << QStringList{"SR=1", "+1", "V1 == 0", "V2 == 1"};
    QTest::newRow("END stops") << QStringList{"V1=1", "END", "V1=2"}
                               << QStringList{"SR=1", "+1", "V1 == 1", "SASTAT0 == 0", "SPC0 == 0"};
    QTest::newRow("a jump past the end stops") << QStringList{"GOTO done", "V1=1", "done:"}
                                               << QStringList{"SR=1", "+1", "V1 == 0", "SASTAT0 == 0"};

    // Errors stop the thread on the failing line.
    QTest::newRow("refused value")
        << QStringList{"V2=7", "EO=V2", "V1=1"}
        << QStringList{"SR=1", "+1", "SASTAT0 == 4", "SASTAT == 4", "SPC0 == 2", "SPC == 2", "V1 == 0",
                       "EO == 1"};
    QTest::newRow("refused move") << QStringList{"EO=0", "X100"}
                                  << QStringList{"SR=1", "+1", "SASTAT0 == 4", "SPC0 == 2", "PX == 0"};
    QTest::newRow("move in analog mode") << QStringList{"PA=2", "J+"}
                                         << QStringList{"SR=1", "+1", "SASTAT0 == 4", "SPC0 == 2"};
    QTest::newRow("division by zero") << QStringList{"V1=5", "V3=V1/V2", "V4=1"}
                                      << QStringList{"SR=1", "+1", "SASTAT0 == 4", "SPC0 == 2", "V4 == 0"};
    QTest::newRow("remainder by zero") << QStringList{"V1=5", "V3=V1%V2"}
                                       << QStringList{"SR=1", "+1", "SASTAT0 == 4", "SPC0 == 2"};
    QTest::newRow("GOSUB too deep") << QStringList{"V1=0", "deep: V1=V1+1", "GOSUB deep"}
                                    << QStringList{"SR=1", "+10", "SASTAT0 == 4", "SPC0 == 3", "V1 == 17"};
    QTest::newRow("RETURN without GOSUB") << QStringList{"V1=1", "RETURN"}
                                          << QStringList{"SR=1", "+1", "SASTAT0 == 4", "SPC0 == 2"};
    QTest::newRow("an errored thread runs again")
        << QStringList{"V1=V1+1", "V3=V1/V2"}
        << QStringList{"SR=1", "+1", "SASTAT0 == 4", "V1 == 1", "V2=1", "SR0=1", "SASTAT0 == 1", "SPC0 == 1",
                       "+1", "V1 == 2", "SASTAT0 == 0", "SPC0 == 0"};

    // Two threads.
    const QStringList counterAndReader{"PRG 0", "loop: V1=V1+1", "GOTO loop", "PRG 1", "DELAY=10", "V2=V1"};
    // Both are due at 10 ms; thread 0 goes first.
    QTest::newRow("two threads share variables")
        << counterAndReader
        << QStringList{"SR=1", "+10", "V2 == 51", "SASTAT0 == 1", "SASTAT1 == 0", "SASTAT == 1", "SPC0 == 3",
                       "SPC1 == 0", "SPC == 3"};
    QTest::newRow("one thread at a time")
        << QStringList{"PRG 0", "V1=1", "PRG 1", "V2=1"}
        << QStringList{"SR1=1", "+1", "V1 == 0", "V2 == 1", "SR0=1", "+1", "V1 == 1"};
    QTest::newRow("a thread without a program stays idle")
        << QStringList{"PRG 1", "V2=1"}
        << QStringList{"SR0=1 == ?NOPROGRAM", "SR0=2 == ?NOPROGRAM", "SR0=3 == ?NOPROGRAM", "SASTAT0 == 0",
                       "SR=1", "SASTAT0 == 0", "+1", "V2 == 1"};
    QTest::newRow("a program starts the other thread")
        << QStringList{"PRG 0", "SR1=1", "PRG 1", "V2=V2+1"}
        << QStringList{"SR0=1", "+1", "V2 == 1", "SASTAT == 0"};
    // Thread 1 stops thread 0 at 5 ms, just after thread 0's count there.
    QTest::newRow("a program stops the other thread")
        << QStringList{"PRG 0", "loop: V1=V1+1", "GOTO loop", "PRG 1", "DELAY=5", "SR0=0"}
        << QStringList{"SR=1", "+10", "SASTAT0 == 0", "SASTAT1 == 0", "V1 == 26"};
    QTest::newRow("a program stops itself")
        << QStringList{"V1=1", "SR=0", "V1=2"} << QStringList{"SR=1", "+1", "V1 == 1", "SASTAT == 0"};
    // Each start waits for the statement that made it, so time moves on.
    QTest::newRow("a program restarts itself")
        << QStringList{"V1=V1+1", "SR0=1"} << QStringList{"SR=1", "+1", "V1 == 6", "SASTAT0 == 1"};
    QTest::newRow("two programs start each other")
        << QStringList{"PRG 0", "V1=V1+1", "SR1=1", "PRG 1", "SR0=1"}
        << QStringList{"SR0=1", "+1", "V1 == 4", "SASTAT == 1"};
    QTest::newRow("a program pauses itself")
        << QStringList{"V1=1", "SR0=2", "V1=2"}
        << QStringList{"SR=1", "+1", "V1 == 1", "SASTAT0 == 2", "SPC0 == 3", "SR0=3", "+1", "V1 == 2",
                       "SASTAT0 == 0"};
    // A statement that leaves its own thread running, or pauses it, as the
    // last one: the thread has ended and never reads past its program.
    QTest::newRow("continues itself at its end")
        << QStringList{"V1=V1+1", "SR=3"} << QStringList{"SR=1", "+1", "V1 == 1", "SASTAT0 == 0", "SPC0 == 0"};
    QTest::newRow("continues its own thread at its end")
        << QStringList{"V1=V1+1", "SR0=3"} << QStringList{"SR=1", "+1", "V1 == 1", "SASTAT == 0", "SPC == 0"};
    QTest::newRow("pauses itself at its end")
        << QStringList{"V1=V1+1", "SR=2"}
        << QStringList{"SR=1", "+1", "V1 == 1", "SASTAT0 == 0", "SPC0 == 0", "SR=3", "+1", "SASTAT0 == 0", "V1 == 1"};
    QTest::newRow("pauses its own thread at its end")
        << QStringList{"V1=V1+1", "SR0=2"} << QStringList{"SR=1", "+1", "SASTAT0 == 0", "SPC0 == 0"};
    QTest::newRow("continues itself before the next program")
        << QStringList{"PRG 0", "V1=V1+1", "SR0=3", "PRG 1", "V2=1"}
        << QStringList{"SR0=1", "+1", "V1 == 1", "V2 == 0", "SASTAT0 == 0", "SASTAT1 == 0", "SPC0 == 0"};
    QTest::newRow("continues itself and runs on")
        << QStringList{"V1=1", "SR0=3", "V1=2"} << QStringList{"SR=1", "+1", "V1 == 2", "SASTAT0 == 0"};
    // Storing takes 50 ms of device time: a counter stored in a loop counts
    // at 0, 50.2, 100.4 ... ms.
    QTest::newRow("STORE from a program takes its time")
        << QStringList{"loop: V30=V30+1", "STORE", "GOTO loop"}
        << QStringList{"SR=1", "+1000", "V30 == 20", "SASTAT0 == 1", "SR=0", "!power", "V30 == 20"};
    QTest::newRow("a refused run command stops the program")
        << QStringList{"PRG 0", "V2=5", "SR1=V2"}
        << QStringList{"SR=1", "+1", "SASTAT0 == 4", "SPC0 == 3"};
    QTest::newRow("the program as a whole")
        << QStringList{"PRG 0", "RETURN", "PRG 1", "loop: DELAY=5", "GOTO loop"}
        << QStringList{"SR=1", "+1", "SASTAT0 == 4", "SASTAT1 == 1", "SASTAT == 1", "SPC == 2", "SPC1 == 4",
                       "SR1=2", "SASTAT == 4", "SR0=0", "SASTAT == 2", "SR1=0", "SASTAT == 0"};

    // Pause, continue, run again, stop.
    QTest::newRow("pause and continue")
        << counter
        << QStringList{"SR=1", "+1", "V1 == 6", "SR=2", "SASTAT == 2", "SASTAT0 == 2", "SPC0 == 2", "+5",
                       "V1 == 6", "SR=3", "SASTAT0 == 1", "+1", "V1 == 11"};
    QTest::newRow("no download while a thread runs or is paused")
        << counter
        << QStringList{"SR=1", "PGLOAD=1 == ?RUNNING", "SR=2", "PGLOAD=1 == ?RUNNING", "SR=0", "PGLOAD=1"};
    QTest::newRow("pause keeps what is left of a DELAY")
        << QStringList{"DELAY=10", "V1=1"}
        << QStringList{"SR=1", "+4", "SR0=2", "+100", "SASTAT0 == 2", "SPC0 == 1", "SR0=3", "+5", "V1 == 0",
                       "+1", "V1 == 1"};
    QTest::newRow("pause and continue act only in their state")
        << counter
        << QStringList{"SR0=3", "SASTAT0 == 0", "SR=2", "SASTAT0 == 0", "SR=1", "SR=3", "+1", "V1 == 6", "SR=2",
                       "SR=2", "SR=1", "SASTAT0 == 1", "SPC0 == 1"};
    QTest::newRow("run again starts from the top")
        << QStringList{"V1=V1+1", "DELAY=100", "V2=1"}
        << QStringList{"SR=1", "+50", "SR=1", "+60", "V1 == 2", "V2 == 0", "+50", "V2 == 1"};
    QTest::newRow("stop during DELAY")
        << QStringList{"DELAY=1000", "V1=1"}
        << QStringList{"SR=1", "+10", "SPC0 == 1", "SR=0", "SASTAT0 == 0", "SPC0 == 0", "+2000", "V1 == 0"};
    QTest::newRow("stop during WAITX")
        << QStringList{"J+", "WAITX", "V1=1"}
        << QStringList{"SR=1", "+100", "SPC0 == 2", "SR0=0", "SASTAT0 == 0", "ABORT", "+10", "V1 == 0"};
    QTest::newRow("ABORT ends a WAITX")
        << QStringList{"J+", "WAITX", "V1=1"}
        << QStringList{"SR=1", "+100", "V1 == 0", "ABORT", "+0", "V1 == 1", "SASTAT0 == 0"};

    // Power.
    const QStringList both{"PRG 0", "V1=V1+1", "PRG 1", "V2=V2+1"};
    QTest::newRow("auto run thread 0") << both << QStringList{"SLOAD=1", "STORE", "!power", "SASTAT0 == 1",
                                                              "SASTAT1 == 0", "+1", "V1 == 1", "V2 == 0"};
    QTest::newRow("auto run thread 1") << both << QStringList{"SLOAD=2", "STORE", "!power", "+1", "V1 == 0",
                                                              "V2 == 1"};
    QTest::newRow("auto run both") << both << QStringList{"SLOAD=3", "STORE", "!power", "+1", "V1 == 1", "V2 == 1"};
    QTest::newRow("no auto run") << both << QStringList{"STORE", "!power", "+1", "V1 == 0", "V2 == 0"};
    QTest::newRow("auto run without that program")
        << QStringList{"PRG 1", "V2=1"} << QStringList{"SLOAD=1", "STORE", "!power", "+1", "SASTAT == 0", "V2 == 0"};
    QTest::newRow("power cycle stops both")
        << QStringList{"PRG 0", "loop: DELAY=1", "GOTO loop", "PRG 1", "J+", "WAITX"}
        << QStringList{"SR=1", "+10", "SASTAT0 == 1", "SASTAT1 == 1", "!power", "SASTAT == 0", "SPC0 == 0",
                       "SPC1 == 0"};
}

void InterpreterTest::programs()
{
    QFETCH(QStringList, source);
    QFETCH(QStringList, script);
    Device d;
    const QString loaded = d.download(source);
    QVERIFY2(loaded.isEmpty(), qPrintable(loaded));
    for (int i = 0; i < script.size(); ++i) {
        const QString fault = d.play(script[i]);
        QVERIFY2(fault.isEmpty(), qPrintable(QString("step %1 (%2): %3").arg(i + 1).arg(script[i], fault)));
    }
}

void InterpreterTest::statementTimeOption()
{
    Device r;
    QVERIFY(!r.m.setStatementTime(0));
    QVERIFY(!r.m.setStatementTime(Interpreter::kMaxStatementUs + 1));
    QVERIFY(r.m.setStatementTime(1000));
    QCOMPARE(r.download({"loop: V1=V1+1", "GOTO loop"}), QString());
    QCOMPARE(r.ask("SR=1"), std::string("OK"));
    r.afterUs(10'000);  // statements at 0, 1, ... 10 ms
    QCOMPARE(r.ask("V1"), std::string("6"));
}

// A step far longer than the thread can fill runs a bounded number of
// statements and leaves the thread running from there on.
void InterpreterTest::fallsBehindInsteadOfHanging()
{
    Device r;
    QCOMPARE(r.download({"loop: V1=V1+1", "GOTO loop"}), QString());
    QCOMPARE(r.ask("SR=1"), std::string("OK"));
    r.afterUs(1'000'000'000'000LL);  // 11 days of device time
    QCOMPARE(r.ask("V1"), std::to_string(Interpreter::kMaxStepsPerRun / 2));
    QCOMPARE(r.ask("SASTAT0"), std::string("1"));
    r.afterUs(1000);
    QCOMPARE(r.ask("V1"), std::to_string(Interpreter::kMaxStepsPerRun / 2 + 6));
}

void InterpreterTest::nextWakeUp()
{
    Device r;
    QVERIFY(!r.m.nextWakeUp());
    QCOMPARE(r.download({"PRG 0", "DELAY=20", "PRG 1", "HSPD=1000", "ACC=100", "X1000", "WAITX", "V1=1"}),
             QString());
    QVERIFY(!r.m.nextWakeUp());
    QCOMPARE(r.ask("SR=1"), std::string("OK"));
    QCOMPARE(r.m.nextWakeUp(), std::optional<Micros>(0));
    r.afterUs(300);  // thread 0 waits until 20 ms, thread 1 until the move ends
    QCOMPARE(r.m.nextWakeUp(), std::optional<Micros>(20'000));
    r.afterUs(20'000);
    QCOMPARE(r.m.nextWakeUp(), std::optional<Micros>(1'100'200));
    QCOMPARE(r.ask("SR1=2"), std::string("OK"));
    QVERIFY(!r.m.nextWakeUp());  // paused or idle: nothing to wake for
    QCOMPARE(r.ask("SR1=3"), std::string("OK"));
    QCOMPARE(r.ask("ABORT"), std::string("OK"));
    QCOMPARE(r.m.nextWakeUp(), std::optional<Micros>(r.m.now()));
}

// Breakpoints, steps and errors of a run that is watched, as a dry run of
// the panel watches it: each "run" or "step" names why it stopped.
void InterpreterTest::watchedRuns_data()
{
    QTest::addColumn<QStringList>("source");
    QTest::addColumn<QList<int>>("breaks");
    QTest::addColumn<QStringList>("script");

    const QList<int> none;
    QTest::newRow("a breakpoint stops before its line, going on runs it")
        << QStringList{"V1=1", "V2=2", "V3=3"} << QList<int>{2}
        << QStringList{"SR=1", "run => break 0 at 2", "V1 == 1", "V2 == 0", "now == 100", "run => due", "V2 == 2",
                       "V3 == 3", "SASTAT0 == 0"};
    QTest::newRow("a breakpoint in a loop stops every time round")
        << QStringList{"loop: V1=V1+1", "GOTO loop"} << QList<int>{1}
        << QStringList{"SR=1", "run => break 0 at 1", "V1 == 0", "run => break 0 at 1", "V1 == 1", "now == 200",
                       "run => break 0 at 1", "V1 == 2"};
    QTest::newRow("a breakpoint on the first line stops before anything runs")
        << QStringList{"V1=1"} << QList<int>{1} << QStringList{"SR=1", "run => break 0 at 1", "V1 == 0", "now == 0"};
    QTest::newRow("a breakpoint in thread 1 while thread 0 counts")
        << QStringList{"PRG 0", "loop: V1=V1+1", "GOTO loop", "PRG 1", "DELAY=10", "V2=V1"} << QList<int>{6}
        << QStringList{"SR=1", "run => break 1 at 6", "V2 == 0", "now == 10000", "SASTAT0 == 1", "step 1 => stepped 1 at 0",
                       "V2 == 51"};
    // Both threads are due at 0: thread 0 goes first, as in any run.
    QTest::newRow("steps in each thread")
        << QStringList{"PRG 0", "V1=1", "V1=2", "PRG 1", "V2=1", "V2=2"} << none
        << QStringList{"SR=1", "step 1 => stepped 1 at 6", "V1 == 1", "V2 == 1", "now == 0",
                       "step 0 => stepped 0 at 0", "V1 == 2", "V2 == 1", "now == 100", "step 1 => stepped 1 at 0",
                       "V2 == 2", "run => due", "SASTAT == 0"};
    QTest::newRow("a step takes a DELAY whole")
        << QStringList{"DELAY=50", "V1=1"} << none
        << QStringList{"SR=1", "step 0 => stepped 0 at 2", "now == 50000", "V1 == 0", "step 0 => stepped 0 at 0",
                       "V1 == 1"};
    // X1000 with 1000 pulses/s and 100 ms ramps from 100 us: standstill at 1.1001 s.
    QTest::newRow("a step takes a WAITX whole")
        << QStringList{"HSPD=1000", "ACC=100", "X1000", "WAITX", "V1=PX"} << none
        << QStringList{"SR=1", "step 0 => stepped 0 at 2", "step 0 => stepped 0 at 3", "step 0 => stepped 0 at 4",
                       "step 0 => stepped 0 at 5", "now == 1100200", "PX == 1000"};
    QTest::newRow("a step stops at a breakpoint of the other thread")
        << QStringList{"PRG 0", "DELAY=10", "V1=1", "PRG 1", "V2=1", "V2=2"} << QList<int>{6}
        << QStringList{"SR=1", "step 0 => break 1 at 6", "V2 == 1", "now == 100", "step 0 => stepped 0 at 3",
                       "V2 == 2", "now == 10000"};
    QTest::newRow("a step onto a breakpoint goes past it with the next step")
        << QStringList{"V1=1", "V1=2", "V1=3"} << QList<int>{2}
        << QStringList{"SR=1", "step 0 => stepped 0 at 2", "step 0 => stepped 0 at 3", "V1 == 2"};
    QTest::newRow("division by zero")
        << QStringList{"V1=5", "V3=V1/V2", "V4=1"} << none
        << QStringList{"SR=1", "run => error 0 at 2: division by zero", "V4 == 0"};
    QTest::newRow("RETURN without GOSUB")
        << QStringList{"V1=1", "RETURN"} << none << QStringList{"SR=1", "run => error 0 at 2: RETURN without GOSUB"};
    QTest::newRow("GOSUB too deep")
        << QStringList{"deep: GOSUB deep"} << none << QStringList{"SR=1", "run => error 0 at 1: GOSUB nested more than 16 deep"};
    QTest::newRow("a refused command")
        << QStringList{"V2=0", "HSPD=V2"} << none
        << QStringList{"SR=1", "run => error 0 at 2: the device answered ?RANGE to HSPD=0"};
    QTest::newRow("a refused move")
        << QStringList{"EO=0", "X100"} << none << QStringList{"SR=1", "run => error 0 at 2: the device answered ?DISABLED to X100"};
    QTest::newRow("an error in thread 1 while thread 0 runs")
        << QStringList{"PRG 0", "loop: DELAY=1", "GOTO loop", "PRG 1", "DELAY=5", "RETURN"} << none
        << QStringList{"SR=1", "run => error 1 at 6: RETURN without GOSUB", "now == 5000", "SASTAT0 == 1"};
    QTest::newRow("inputs changed between runs")
        << QStringList{"WHILE DI1=0", "DELAY=10", "ENDWHILE", "V1=1"} << QList<int>{2}
        << QStringList{"SR=1", "run => break 0 at 2", "run => break 0 at 2", "!di 1", "run => due", "V1 == 1"};
}

void InterpreterTest::watchedRuns()
{
    QFETCH(QStringList, source);
    QFETCH(QList<int>, breaks);
    QFETCH(QStringList, script);
    Device d;
    QCOMPARE(d.download(source), QString());
    d.breakLines.assign(20, false);
    for (int line : breaks)
        d.breakLines[static_cast<std::size_t>(line)] = true;
    for (int i = 0; i < script.size(); ++i) {
        const QString fault = d.play(script[i]);
        QVERIFY2(fault.isEmpty(), qPrintable(QString("step %1 (%2): %3").arg(i + 1).arg(script[i], fault)));
    }
}

void InterpreterTest::changedVariables()
{
    Device d;
    QCOMPARE(d.download({"V3=7", "V3=0", "V50=-1", "V1=V1"}), QString());
    const Model::Variables before = d.m.variables();
    QCOMPARE(d.ask("SR=1"), std::string("OK"));
    d.afterUs(1000);
    const auto changed = d.m.changedVariables(before);
    QCOMPARE(changed.size(), std::size_t(1));  // V3 came back, V1 kept its value
    QCOMPARE(changed[0].first, 50);
    QCOMPARE(changed[0].second, -1);
}

QTEST_APPLESS_MAIN(InterpreterTest)
#include "interpreter_test.moc"

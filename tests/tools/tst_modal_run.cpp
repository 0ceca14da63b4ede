// The helper that drives modal windows in tests: a window that comes late
// still gets its body, and one that comes too late, or never, cannot hang
// the test in a nested event loop.
#include "ModalRun.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QtTest>

namespace {

// Runs the event loop for a while before the window is shown, as a click
// handler that starts a tool or talks to a device does.
void busyFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

}  // namespace

class ModalRunTest : public QObject {
    Q_OBJECT

    // A dialog shown modally after `delayMs`; a watchdog ends it after a few
    // seconds, so a helper that lets it hang fails here instead of at the
    // time-out of the whole test.
    struct Late {
        QDialog dialog;
        bool watchdogFired = false;
        void open(int delayMs)
        {
            QTimer watchdog;
            watchdog.setSingleShot(true);
            QObject::connect(&watchdog, &QTimer::timeout, &dialog, [this] {
                watchdogFired = true;
                dialog.reject();
            });
            busyFor(delayMs);
            watchdog.start(3000);
            dialog.exec();
        }
    };

private slots:
    void lateWindowGetsItsBody_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::newRow("at once") << 0;
        QTest::newRow("late") << 200;
    }
    void lateWindowGetsItsBody()
    {
        QFETCH(int, delayMs);
        Late late;
        QDialog *seen = nullptr;
        const bool ran = runWhileOpen<QDialog>([&] { late.open(delayMs); }, [&](QDialog *d) { seen = d; });
        QVERIFY(ran);
        QCOMPARE(seen, &late.dialog);
        QVERIFY(!late.watchdogFired);
        QVERIFY(!late.dialog.isVisible());
    }

    void windowTooLateIsClosedUnrun()
    {
        Late late;
        bool bodyRan = false;
        const bool ran = runWhileOpen<QDialog>([&] { late.open(300); }, [&](QDialog *) { bodyRan = true; }, 50);
        QVERIFY(!ran);
        QVERIFY(!bodyRan);
        QVERIFY(!late.watchdogFired);
    }

    void noWindowAtAll()
    {
        bool bodyRan = false;
        QVERIFY(!runWhileOpen<QDialog>([] { busyFor(50); }, [&](QDialog *) { bodyRan = true; }));
        QVERIFY(!bodyRan);
    }
};

QTEST_MAIN(ModalRunTest)
#include "tst_modal_run.moc"

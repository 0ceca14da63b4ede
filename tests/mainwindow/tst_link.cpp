// The operator's hold on the axis and the link: Esc stops the axis from every
// window the panel opens, and a lost link comes back only through Reconnect,
// to the same device, wherever it is listed by then.
#include "PanelFixture.h"
#include "device/Reopen.h"
#include "mainwindow/LinkControl.h"
#include "mainwindow/StatusPoll.h"
#include "plot/PlotForm.h"
#include "program/ViewCompiledForm.h"
#include "program/XThreadForm.h"
#include "tools/TerminalForm.h"
#include "tools/VariableForm.h"
#include "ui_MainControlForm.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QtTest>

namespace {

const QStringList kStop{"PA", "HSPD=1000", "ACC=300", "STOP"};

// The window a row names, shown, and the control in it that gets the key.
struct Target {
    std::unique_ptr<QWidget> owned;  // windows the test made itself
    QWidget *window = nullptr;
    QWidget *focus = nullptr;
};

Target open(PanelFixture &f, const QString &which)
{
    Target t;
    auto &ui = *f.main->ui();
    if (which.startsWith("main")) {
        t.window = f.main.get();
        t.focus = which == "main editor" ? static_cast<QWidget *>(ui.OrgProgram) : ui.SetPosition;
    } else if (which == "plot") {
        t.window = &f.main->plot();
        t.focus = t.window->findChild<QWidget *>("Span");
    } else if (which == "thread window") {
        t.owned = std::make_unique<XThreadForm>();
    } else if (which == "variable monitor") {
        t.owned = std::make_unique<VariableForm>();
    } else if (which == "terminal") {
        t.owned = std::make_unique<TerminalForm>(f.main.get());
        t.owned->setParent(nullptr);
        t.focus = t.owned->findChild<QWidget *>("SendText");
    } else if (which == "compiled viewer") {
        t.owned = std::make_unique<ViewCompiledForm>();
    }
    if (t.owned)
        t.window = t.owned.get();
    if (!t.focus)
        t.focus = t.window->findChild<QLineEdit *>() ? static_cast<QWidget *>(t.window->findChild<QLineEdit *>())
                                                     : t.window;
    t.window->show();
    t.focus->setFocus();
    return t;
}

}  // namespace

class LinkTest : public QObject {
    Q_OBJECT
private slots:
    void escapeStopsFromEveryWindow_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QStringList>("notices");
        const QStringList refusal{"Turn on USB Control to move."};
        for (const char *w : {"main editor", "main line edit", "plot", "thread window", "variable monitor",
                              "terminal", "compiled viewer"}) {
            QTest::addRow("%s, USB control", w) << w << "usb" << kStop << QStringList{};
            QTest::addRow("%s, analog mode", w) << w << "analog" << QStringList{"PA"} << refusal;
            QTest::addRow("%s, link closed", w) << w << "closed" << QStringList{} << refusal;
        }
    }
    void escapeStopsFromEveryWindow()
    {
        QFETCH(QString, window);
        QFETCH(QString, state);
        QFETCH(QStringList, log);
        QFETCH(QStringList, notices);
        PanelFixture f;
        f.load();
        f.main->ui()->SelUSBControl->setChecked(true);
        if (state == "analog")
            f.dev.replies["PA"] = "2";
        if (state == "closed")
            modTollan::CommOpen = false;
        Target t = open(f, window);
        QVERIFY(t.focus->hasFocus() || !QApplication::focusWidget());
        QTest::keyClick(t.focus, Qt::Key_Escape);
        QCOMPARE(f.dev.log, log);
        QCOMPARE(f.dialogs.notices(), notices);
        QVERIFY2(t.window->isVisible(), "Esc must not close our windows");
        // Held down, it stops once.
        f.dev.clearLog();
        f.dialogs.shown.clear();
        QTest::keyPress(t.focus, Qt::Key_Escape, Qt::NoModifier);
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(t.focus, &repeat);
        QCOMPARE(f.dev.log, log);
    }

    // Boxes and dialogs that are not ours keep Esc as cancel.
    void escapeStillCancelsOtherDialogs()
    {
        PanelFixture f;
        f.load();
        f.main->ui()->SelUSBControl->setChecked(true);
        QMessageBox box(QMessageBox::Question, "Title", "Text", QMessageBox::Yes | QMessageBox::No, f.main.get());
        box.show();
        QVERIFY(box.isVisible());
        QTest::keyClick(&box, Qt::Key_Escape);
        QVERIFY(!box.isVisible());
        QVERIFY(f.dev.log.isEmpty());
    }

    void stopButtonNamesTheKey()
    {
        PanelFixture f;
        QVERIFY(f.main->ui()->rstop->toolTip().contains("Esc"));
    }

    // Lost, then taken up again by the operator: the same reads as start-up,
    // no setting sent, normal colours, the poll from its first group.
    void reconnectAfterALostLink_data()
    {
        QTest::addColumn<QList<QByteArray>>("products");
        QTest::addColumn<int>("openedIndex");
        QTest::newRow("where it was") << QList<QByteArray>{"CFG05", "CFG09"} << 0;
        QTest::newRow("moved down the list") << QList<QByteArray>{"CFG02", "CFG09", "CFG05"} << 2;
    }
    void reconnectAfterALostLink()
    {
        QFETCH(QList<QByteArray>, products);
        QFETCH(int, openedIndex);
        PanelFixture f;
        modTollan::DeviceProduct = "CFG05";
        modTollan::DeviceIndex = 0;
        f.load();
        auto &ui = *f.main->ui();
        QVERIFY(!ui.Reconnect->isVisibleTo(f.main.get()));
        f.dev.silent = true;
        f.main->statusPoll().Timer1_Timer();
        QCOMPARE(f.dialogs.notices(), QStringList{"Communication Error!"});
        QVERIFY(!modTollan::CommOpen);
        f.main->statusPoll().Timer1_Timer();
        QVERIFY(ui.Reconnect->isVisibleTo(f.main.get()));
        QVERIFY(ui.Pos->styleSheet().contains("#ff0000"));

        f.dev.silent = false;
        f.dev.products = products;
        f.dev.clearLog();
        f.dialogs.shown.clear();
        f.dev.closedHandles.clear();
        QTest::mouseClick(ui.Reconnect, Qt::LeftButton);
        QCOMPARE(f.dialogs.notices(), QStringList{});
        QVERIFY(modTollan::CommOpen);
        QCOMPARE(f.dev.openedIndexes.last(), openedIndex);
        QCOMPARE(modTollan::DeviceIndex, openedIndex);
        QCOMPARE(f.dev.log.mid(0, 2), (QStringList{"DN", "VER"}));
        for (const QString &c : f.dev.log)
            QVERIFY2(!c.contains('='), qPrintable("a setting was sent: " + c));
        QVERIFY(f.dev.log.contains("HSPD") && f.dev.log.contains("ACC") && f.dev.log.contains("P6"));
        QVERIFY(!ui.Reconnect->isVisibleTo(f.main.get()));
        QVERIFY(ui.Pos->styleSheet().contains("#e0e0e0"));
        QVERIFY(ui.Stat->styleSheet().contains("#e0e0e0"));
        f.dev.clearLog();
        f.main->statusPoll().Timer1_Timer();
        QCOMPARE(f.dev.log, (QStringList{"PX", "SPC", "MST"}));
        QCOMPARE(ui.Pos->text(), QString("0"));
    }

    void reconnectRefusals_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("message");
        QTest::newRow("gone") << "gone" << "The device CFG05 is not connected.";
        QTest::newRow("held by another program") << "busy" << "The device CFG05 is in use by another program.";
        QTest::newRow("another device answers")
            << "other" << "Another device answers in place of CFG05: it calls itself CFG07.";
        QTest::newRow("silent") << "silent" << "The device CFG05 does not answer.";
        QTest::newRow("two of that name")
            << "two" << "More than one device is named CFG05, and the panel cannot tell which one it was using. "
                        "Close the panel and choose the device again.";
        QTest::newRow("version refused") << "version" << "This version of ZENTA-KDR-V3 is not compatible with this software";
    }
    void reconnectRefusals()
    {
        QFETCH(QString, how);
        QFETCH(QString, message);
        PanelFixture f;
        modTollan::DeviceProduct = "CFG05";
        f.load();
        modTollan::CommOpen = false;
        f.main->statusPoll().Timer1_Timer();
        f.dev.products = {how == "gone" ? "CFG06" : "CFG05"};
        if (how == "two")
            f.dev.products << "CFG05";
        if (how == "busy")
            f.dev.openStatus = 0;
        if (how == "other")
            f.dev.replies["DN"] = "CFG07";
        if (how == "silent")
            f.dev.silent = true;
        if (how == "version")
            f.dev.replies["VER"] = "V113XXXX";
        f.dev.clearLog();
        f.dev.closedHandles.clear();
        f.main->link().Reconnect_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{message});
        QVERIFY(!modTollan::CommOpen);
        QVERIFY(f.main->ui()->Reconnect->isVisibleTo(f.main.get()));
        for (const QString &c : f.dev.log)
            QVERIFY2(!c.contains('='), qPrintable(c));
        // A device left open would be busy to the next attempt.
        if (how == "other" || how == "silent" || how == "version")
            QCOMPARE(f.dev.closedHandles.count(f.dev.openedHandle), 2);
        // The poll stays off the device.
        f.dev.clearLog();
        f.main->statusPoll().Timer1_Timer();
        QVERIFY(f.dev.log.isEmpty());
        QCOMPARE(f.main->ui()->Pos->text(), QString("COM ERR"));
    }

    // A USB driver's product string is fixed in its firmware: it may name no
    // device, and then the device is who it says it is to "DN", the name it
    // gave when the panel read it (or the one the panel set since).
    void reconnectByTheNameTheDeviceGives_data()
    {
        QTest::addColumn<QByteArray>("product");
        QTest::addColumn<QString>("renamedTo");  // DeviceRenamedTo, as a Down that set a new ID leaves it
        QTest::addColumn<QString>("dnNow");      // its answer to "DN" at the reconnect
        QTest::addColumn<QString>("message");    // empty: reconnected
        const QByteArray generic("ZENTA CFG USB driver");
        QTest::newRow("names none, same answer") << generic << "" << "CFG05" << "";
        QTest::newRow("names it in lower case") << QByteArray("zenta cfg05") << "" << "CFG05" << "";
        QTest::newRow("names none, the new name set") << generic << "CFG07" << "CFG07" << "";
        QTest::newRow("names none, another answer")
            << generic << "" << "CFG07" << "Another device answers in place of ZENTA CFG USB driver: it calls itself CFG07.";
        QTest::newRow("names none, no device name")
            << generic << "" << "ERR"
            << "The device ZENTA CFG USB driver does not give its name: it answers \"ERR\" to \"DN\".";
        QTest::newRow("names one, another answer")
            << QByteArray("zenta cfg05") << "" << "CFG07" << "Another device answers in place of zenta cfg05: it calls itself CFG07.";
    }
    void reconnectByTheNameTheDeviceGives()
    {
        QFETCH(QByteArray, product);
        QFETCH(QString, renamedTo);
        QFETCH(QString, dnNow);
        QFETCH(QString, message);
        PanelFixture f;
        modTollan::DeviceProduct = QString::fromLatin1(product);
        modTollan::DeviceSerial = "unit-a";
        f.dev.products = {product};
        f.dev.serials = {"unit-a"};
        f.load();  // its "DN": CFG05
        modTollan::DeviceRenamedTo = renamedTo;
        modTollan::CommOpen = false;
        f.main->statusPoll().Timer1_Timer();
        f.dev.replies["DN"] = dnNow;
        f.dev.clearLog();
        f.main->link().Reconnect_Click();
        QCOMPARE(f.dialogs.notices(), message.isEmpty() ? QStringList{} : QStringList{message});
        QCOMPARE(modTollan::CommOpen, message.isEmpty());
        QCOMPARE(f.dev.log.value(0), QString("DN"));
        for (const QString &c : f.dev.log)
            QVERIFY2(!c.contains('='), qPrintable("a setting was sent: " + c));
    }

    void f5Reconnects()
    {
        PanelFixture f;
        modTollan::DeviceProduct = "CFG05";
        f.dev.products = {"CFG05"};
        f.load();
        f.main->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.main.get()));
        f.main->activateWindow();
        QTest::keyClick(f.main.get(), Qt::Key_F5);  // link open: nothing to do
        QVERIFY(f.dev.openedIndexes.isEmpty());
        modTollan::CommOpen = false;
        f.main->statusPoll().Timer1_Timer();
        QTest::keyClick(f.main.get(), Qt::Key_F5);
        QVERIFY(modTollan::CommOpen);
        QCOMPARE(f.dev.openedIndexes, QList<int32_t>{0});
    }

    // Identical units share a product string: the panel finds its own again
    // by its serial, wherever it is listed.
    void reconnectFindsItsOwnDeviceByItsSerial()
    {
        PanelFixture f;
        modTollan::DeviceProduct = "CFG05";
        modTollan::DeviceSerial = "unit-b";
        modTollan::DeviceProductUnique = false;  // two were named CFG05 at selection
        f.load();
        modTollan::CommOpen = false;
        f.dev.products = {"CFG05", "CFG09", "CFG05"};
        f.dev.serials = {"unit-a", "unit-c", "unit-b"};
        f.main->link().Reconnect_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{});
        QVERIFY(modTollan::CommOpen);
        QCOMPARE(f.dev.openedIndexes, QList<int32_t>{2});
        QCOMPARE(modTollan::DeviceIndex, int16_t(2));

        // Gone, with another of its name still there: never that one.
        modTollan::CommOpen = false;
        f.dev.products = {"CFG05"};
        f.dev.serials = {"unit-a"};
        f.dev.openedIndexes.clear();
        f.main->link().Reconnect_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{"The device CFG05 is not connected."});
        QVERIFY(f.dev.openedIndexes.isEmpty());
        QVERIFY(!modTollan::CommOpen);
    }

    // Reconnect waits for a device another program holds in the event loop,
    // and each open (which can take the library's time-out) runs off the GUI
    // thread: timers, repaints and Esc go on meanwhile; clicks wait.
    void reconnectKeepsTheWindowAlive()
    {
        PanelFixture f;
        modTollan::DeviceProduct = "CFG05";
        f.load();
        f.main->show();
        modTollan::CommOpen = false;
        f.main->statusPoll().Timer1_Timer();
        f.dev.products = {"CFG05"};
        f.dev.openStatus = 0;
        f.dev.openDelayMs = 300;
        f.dev.clearLog();
        // Only a timer can let the device go: it must fire while Reconnect
        // waits. Before that it clicks Reconnect again, which must wait.
        bool reconnectClickedAgain = false;
        QTimer beat;
        QObject::connect(&beat, &QTimer::timeout, [&] {
            if (f.dev.openCalls < 2)
                return;
            if (!reconnectClickedAgain) {
                QTest::mouseClick(f.main->ui()->Reconnect, Qt::LeftButton);
                reconnectClickedAgain = true;
            } else {
                f.dev.openStatus = 1;  // the other program lets go
            }
        });
        beat.start(10);
        f.main->link().Reconnect_Click();
        beat.stop();
        QVERIFY2(modTollan::CommOpen, qPrintable(f.dialogs.notices().join('|')));
        QVERIFY(reconnectClickedAgain);
        // One reconnect read the device, not two.
        QCOMPARE(f.dev.log.count("HSPD"), 1);
    }
};

QTEST_MAIN(LinkTest)
#include "tst_link.moc"

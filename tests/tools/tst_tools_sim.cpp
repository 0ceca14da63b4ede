// The terminal and the monitor end to end: the real device library against a
// real simulator process in lockstep.
#include "ModalRun.h"
#include "ScriptedDialogs.h"
#include "SimProcess.h"
#include "common/AppExit.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"
#include "tools/TerminalForm.h"
#include "tools/VariableForm.h"
#include "ui_MainControlForm.h"
#include "ui_TerminalForm.h"
#include "ui_VariableForm.h"

#include <QtTest>

using namespace modTollan;

class ToolsSimTest : public QObject {
    Q_OBJECT
private slots:
    void terminalAndMonitorTalkToTheDevice()
    {
        simtest::SimProcess sim;
        QVERIFY(sim.start({"--name", "CFG07", "--lockstep"}));
        qputenv("TOLLANCOM_DIR", sim.folder().toLocal8Bit());
        QString error;
        QVERIFY2(loadTollanLibrary(qEnvironmentVariable("ZENTA_BIN_DIR"), &error), qPrintable(error));
        TollanApi &api = tollanApi();
        api.SetTimeouts(simtest::kWaitMs, simtest::kWaitMs);
        int32_t count = 0;
        QCOMPARE(api.GetNumDevices(&count), 1);
        QCOMPARE(count, 1);
        int32_t handle = 0;
        QVERIFY(api.Open(0, &handle) != 0);
        resetLinkState();
        DeviceHandle = handle;
        CommOpen = true;

        ScriptedDialogs dialogs;
        setEndProgramHandler([](int) {});
        MainControlForm main;
        main.Timer1()->stop();

        auto enter = [](QLineEdit *line, const QString &text) {
            QTest::keyClicks(line, text);
            QTest::keyClick(line, Qt::Key_Return);
        };
        QVERIFY(runWhileOpen<TerminalForm>([&] { main.ui()->ManualTerminal->click(); }, [&](TerminalForm *t) {
            QCOMPARE(t->ui()->DeviceID->text(), QString("07"));
            enter(t->ui()->SendText, "ID");
            enter(t->ui()->SendText, "HSPD=2500");
            enter(t->ui()->SendText, "HSPD");
            enter(t->ui()->SendText, "NOSUCH");
            const QStringList lines = t->ui()->Pad->toPlainText().split('\n');
            QCOMPARE(lines.mid(0, 7), (QStringList{"ID", "<KVL-CFG-UV-USB", "HSPD=2500", "<OK", "HSPD", "<2500", "NOSUCH"}));
            QVERIFY2(lines.value(7).startsWith("<?"), qPrintable(lines.value(7)));
        }));

        QVERIFY(runWhileOpen<VariableForm>([&] { main.ui()->Command5->click(); }, [&](VariableForm *v) {
            v->Timer1()->stop();
            QVERIFY(main.PausePolling);
            enter(v->ui()->Text2, "V7=123");
            QCOMPARE(v->ui()->Text2->text(), QString());
            v->Timer1_Timer();
            QCOMPARE(v->ui()->V6->text(), QString("123"));
            QCOMPARE(v->ui()->V5->text(), QString("0"));
            QCOMPARE(v->ui()->V49->text(), QString("0"));
        }));
        QVERIFY(!main.PausePolling);
        QVERIFY(dialogs.shown.isEmpty());

        api.Close(handle);
        setEndProgramHandler({});
        resetTollanApi();
    }
};

QTEST_MAIN(ToolsSimTest)
#include "tst_tools_sim.moc"

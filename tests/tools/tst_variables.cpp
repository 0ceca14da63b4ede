// The variable monitor on its real widgets, opened from the main window,
// against the scripted device.
#include "ModalRun.h"
#include "ScriptedDevice.h"
#include "ScriptedDialogs.h"
#include "common/AppExit.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"
#include "mainwindow/StatusPoll.h"
#include "tools/VariableForm.h"
#include "ui_MainControlForm.h"
#include "ui_VariableForm.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QtTest>

using namespace modTollan;

namespace {

QStringList allVariables()
{
    QStringList out;
    for (int k = 1; k <= 50; ++k)
        out << QStringLiteral("V%1").arg(k);
    return out;
}

QLineEdit *box(const VariableForm &form, int index)
{
    return form.findChild<QLineEdit *>(QStringLiteral("V%1").arg(index));
}

}  // namespace

class VariablesTest : public QObject {
    Q_OBJECT
    std::unique_ptr<ScriptedDevice> dev;
    std::unique_ptr<ScriptedDialogs> dialogs;

private slots:
    void init()
    {
        resetLinkState();
        dev = std::make_unique<ScriptedDevice>();
        dialogs = std::make_unique<ScriptedDialogs>();
        setEndProgramHandler([](int) {});
        // Each variable answers with its own name, so a box shows whose reply it got.
        dev->responder = [](const QString &c) { return QStringLiteral("=") + c; };
    }
    void cleanup()
    {
        setEndProgramHandler({});
        dialogs.reset();
        dev.reset();
    }

    void layoutNamesAndLabels()
    {
        VariableForm form;
        form.Form_Load();
        QCOMPARE(form.windowTitle(), QString("Variables"));
        auto *frame1 = form.findChild<QGroupBox *>("Frame1");
        auto *frame2 = form.findChild<QGroupBox *>("Frame2");
        QVERIFY(frame1 && frame2);
        QCOMPARE(frame1->title(), QString("Volatile Variables"));
        QCOMPARE(frame2->title(), QString("Non-Volatile Variables"));
        QCOMPARE(form.findChild<QLabel *>("Label31")->text(), QString("Command:"));
        QCOMPARE(form.findChild<QPushButton *>("Close")->text(), QString("Close"));
        QCOMPARE(form.Timer1()->interval(), 1);
        QVERIFY(form.Timer1()->isActive());
        form.Timer1()->stop();

        for (int k = 1; k <= 50; ++k) {
            QLineEdit *b = box(form, k - 1);
            QVERIFY2(b, qPrintable(QString("no box V%1").arg(k - 1)));
            QCOMPARE(b, form.boxForVariable(k));
            QCOMPARE(b->text(), QString("0"));
            QGroupBox *frame = k <= 25 ? frame1 : frame2;
            QCOMPARE(b->parentWidget(), frame);
            // The label beside each box names the variable, one above the box's number.
            auto *grid = qobject_cast<QGridLayout *>(frame->layout());
            int row, column, rs, cs;
            grid->getItemPosition(grid->indexOf(b), &row, &column, &rs, &cs);
            auto *label = qobject_cast<QLabel *>(grid->itemAtPosition(row, column - 1)->widget());
            QVERIFY(label);
            QCOMPARE(label->text(), QString("V%1").arg(k));
            // 13 down the left, the rest down the right, in order.
            const int inFrame = (k - 1) % 25;
            QCOMPARE(column - 1, inFrame < 13 ? 0 : 2);
            QCOMPARE(row, inFrame < 13 ? inFrame : inFrame - 13);
        }
    }

    void aTickReadsAllFiftyInOrderIntoTheBoxBelow()
    {
        VariableForm form;
        form.Form_Load();
        form.Timer1()->stop();
        form.Timer1_Timer();
        QCOMPARE(dev->log, allVariables());
        QCOMPARE(box(form, 0)->text(), QString("=V1"));
        QCOMPARE(box(form, 25)->text(), QString("=V26"));
        QCOMPARE(box(form, 49)->text(), QString("=V50"));
        for (int k = 1; k <= 50; ++k)
            QCOMPARE(box(form, k - 1)->text(), QString("=V%1").arg(k));
    }

    // While the device answers, ticks follow each other at once; a tick that
    // got nothing back rests the 1 ms interval before the next.
    void theTimerRestsOnlyWhenNothingAnswers()
    {
        VariableForm form;
        form.Form_Load();
        QCOMPARE(form.Timer1()->interval(), 1);
        form.Timer1_Timer();
        QCOMPARE(form.Timer1()->interval(), 0);
        QVERIFY(form.Timer1()->isActive());
        dev->silent = true;
        form.Timer1_Timer();
        QCOMPARE(form.Timer1()->interval(), 1);
        QVERIFY(form.Timer1()->isActive());
        dev->silent = false;
        dev->silentCommands = allVariables().mid(0, 49);  // one answer is enough
        form.Timer1_Timer();
        QCOMPARE(form.Timer1()->interval(), 0);
        form.Close_Click();
        form.Form_Load();
        QCOMPARE(form.Timer1()->interval(), 1);
        form.Timer1()->stop();
    }

    void repliesAreShownVerbatim()
    {
        VariableForm form;
        form.Form_Load();
        form.Timer1()->stop();
        const QString full(64, u'9');
        dev->responder = {};
        dev->setReply("V1", " -12 ");
        dev->setReply("V2", "?RANGE");
        dev->setReply("V3", full);
        dev->silentCommands << "V4";
        form.Timer1_Timer();
        QCOMPARE(box(form, 0)->text(), QString(" -12 "));
        QCOMPARE(box(form, 1)->text(), QString("?RANGE"));
        QCOMPARE(box(form, 2)->text(), full);
        QCOMPARE(box(form, 3)->text(), QString());  // no answer: an empty box
        QCOMPARE(box(form, 4)->text(), QString("OK"));
        // A later answer fills the box again; nothing is reported.
        dev->silentCommands.clear();
        dev->setReply("V4", "5");
        form.Timer1_Timer();
        QCOMPARE(box(form, 3)->text(), QString("5"));
        QVERIFY(dialogs->shown.isEmpty());
    }

    void aBoxIsWrittenOnlyWhenItsValueChanged()
    {
        VariableForm form;
        form.Form_Load();
        form.Timer1()->stop();
        form.Timer1_Timer();
        // A write resets the caret and selection; an unchanged value keeps
        // what the operator marked.
        for (int i : {0, 7})
            box(form, i)->setSelection(1, 2);
        dev->responder = [](const QString &c) { return c == "V8" ? QStringLiteral("new") : "=" + c; };
        form.Timer1_Timer();
        QCOMPARE(box(form, 0)->selectedText(), QString("V1"));
        QCOMPARE(box(form, 7)->text(), QString("new"));
        QVERIFY(!box(form, 7)->hasSelectedText());
    }

    void commandBoxSendsWhatWasTyped_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("key");
        QTest::addColumn<QStringList>("sent");
        QTest::newRow("set a variable") << "V7=123" << int(Qt::Key_Return) << QStringList{"V7=123"};
        QTest::newRow("keypad enter, blanks kept") << " v7 " << int(Qt::Key_Enter) << QStringList{" v7 "};
        QTest::newRow("empty") << "" << int(Qt::Key_Return) << QStringList{""};
        QTest::newRow("longer than a frame") << QString(65, u'V') << int(Qt::Key_Return) << QStringList{};
    }
    void commandBoxSendsWhatWasTyped()
    {
        QFETCH(QString, typed);
        QFETCH(int, key);
        QFETCH(QStringList, sent);
        VariableForm form;
        form.Form_Load();
        form.Timer1()->stop();
        QLineEdit *text2 = form.ui()->Text2;
        QTest::keyClicks(text2, typed);
        QTest::keyClick(text2, Qt::Key_F1);  // no other key is acted on
        QTest::keyClick(text2, Qt::Key_Up);
        QCOMPARE(dev->log, QStringList{});
        QTest::keyClick(text2, Qt::Key(key));
        QCOMPARE(dev->log, sent);
        QCOMPARE(text2->text(), QString());
        // The reply goes nowhere.
        for (int i = 0; i < 50; ++i)
            QCOMPARE(box(form, i)->text(), QString("0"));
    }

    void commandBoxRefusesWhatCannotBeSentAsTyped()
    {
        VariableForm form;
        form.Form_Load();
        form.Timer1()->stop();
        QLineEdit *text2 = form.ui()->Text2;
        const QString typed = QString::fromUtf8("V3=5\u2212"); // a minus sign Latin-1 lacks
        text2->setText(typed);
        QTest::keyClick(text2, Qt::Key_Return);
        QCOMPARE(dev->log, QStringList{});
        QCOMPARE(dialogs->notices().size(), 1);
        QVERIFY2(dialogs->notices().first().contains("U+2212"), qPrintable(dialogs->notices().first()));
        QCOMPARE(text2->text(), typed);  // kept for mending
    }

    void loadingPutsTheStartValuesBack()
    {
        VariableForm form;
        form.Form_Load();
        form.Timer1_Timer();
        form.Close_Click();
        QVERIFY(!form.Timer1()->isActive());
        form.ui()->Text2->setText("left over");
        form.Form_Load();
        QVERIFY(form.Timer1()->isActive());
        form.Timer1()->stop();
        for (int i = 0; i < 50; ++i)
            QCOMPARE(box(form, i)->text(), QString("0"));
        QCOMPARE(form.ui()->Text2->text(), QString());
    }

    void theMainPollRestsExactlyWhileTheMonitorIsOpen_data()
    {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("Close button") << false;
        QTest::newRow("close box") << true;
    }
    void theMainPollRestsExactlyWhileTheMonitorIsOpen()
    {
        QFETCH(bool, closeBox);
        MainControlForm main;
        main.Timer1()->stop();
        CommOpen = true;
        dev->responder = {};
        dev->setReply("PX", "100");
        main.statusPoll().Timer1_Timer();
        QCOMPARE(main.ui()->Pos->text(), QString("100"));
        QVERIFY(!main.PausePolling);
        dev->setReply("PX", "200");

        QPointer<QTimer> monitorTimer;
        const bool ran = runWhileOpen<VariableForm>([&] { main.ui()->Command5->click(); }, [&](VariableForm *v) {
            QVERIFY(main.PausePolling);
            QCOMPARE(v->parentWidget(), nullptr);
            QVERIFY(v->isModal());
            monitorTimer = v->Timer1();
            QVERIFY(monitorTimer->isActive());
            monitorTimer->stop();  // ticks are called by hand from here
            dev->clearLog();
            // The main poll's ticks touch neither the device nor its fields.
            main.statusPoll().Timer1_Timer();
            QCOMPARE(dev->log, QStringList{});
            QCOMPARE(main.ui()->Pos->text(), QString("100"));
            // The monitor's tick is the only talk, 50 exchanges in a row.
            v->Timer1_Timer();
            main.statusPoll().Timer1_Timer();
            v->Timer1_Timer();
            QCOMPARE(dev->log, allVariables() + allVariables());
            monitorTimer->start();
            if (closeBox)
                v->close();
            else
                v->ui()->Close->click();
            QVERIFY(!monitorTimer->isActive());
            QVERIFY(main.PausePolling);  // until the window is gone
        });
        QVERIFY(ran);
        QVERIFY(!main.PausePolling);
        QVERIFY(!monitorTimer);  // a fresh monitor every opening
        dev->clearLog();
        main.statusPoll().Timer1_Timer();
        QCOMPARE(dev->log.first(), QString("PX"));
        QCOMPARE(main.ui()->Pos->text(), QString("200"));
    }
};

QTEST_MAIN(VariablesTest)
#include "tst_variables.moc"

// Pictures the program workbench without a device: the main window with an
// error marked while typing, and the dry-run window stopped at a breakpoint
// after a run of the program on the device model.
//
//   workbench_screenshot PROGRAM.prg MAIN.png DRYRUN.png
#include "mainwindow/MainControlForm.h"
#include "program/DryRunForm.h"
#include "program/ProgramCheck.h"
#include "program/ProgramEdit.h"
#include "program/ProgramTools.h"
#include "ui_DryRunForm.h"
#include "ui_MainControlForm.h"

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QTextBlock>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int kGiveUpMs = 30000;

bool save(QWidget &w, const char *path)
{
    if (w.grab().save(QString::fromLocal8Bit(path), "PNG"))
        return true;
    std::fprintf(stderr, "workbench_screenshot: cannot write %s\n", path);
    return false;
}

}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: workbench_screenshot PROGRAM.prg MAIN.png DRYRUN.png\n");
        return 2;
    }
    QFile program(QString::fromLocal8Bit(argv[1]));
    if (!program.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "workbench_screenshot: cannot read %s\n", argv[1]);
        return 1;
    }
    QTimer::singleShot(kGiveUpMs, [] {
        std::fprintf(stderr, "workbench_screenshot: gave up waiting\n");
        QCoreApplication::exit(1);
    });

    MainControlForm main;
    main.Timer1()->stop();
    main.resize(1250, 720);
    main.show();
    // What the main window shows of a connected driver.
    auto &ui = *main.ui();
    ui.EO->setState(1);
    ui.Par6->setCurrentIndex(9);
    ui.Par8->setCurrentIndex(4);
    ui.Par9->setCurrentIndex(3);
    ui.SelUSBControl->setChecked(true);
    ui.DOBoot->setText(QStringLiteral("0"));
    ui.TimeOut->setText(QStringLiteral("100"));
    ProgramEdit *editor = main.ui()->OrgProgram;
    const QString text = QString::fromLatin1(program.read(64 * 1024));
    editor->setPlainText(text);

    // The dry run of the program as it is, stopped at a breakpoint.
    auto *button = main.findChild<QPushButton *>(QStringLiteral("DryRun"));
    button->click();
    DryRunForm *form = main.program().dryRun;
    form->resize(1100, 800);
    form->toggleBreakpoint(16);
    form->ui()->DryRunAI->setValue(300);
    form->DryRunRun_Click();
    QObject::connect(&form->engine(), &DryRun::finished, &app, [&] {
        form->DryRunRun_Click();
        QObject::connect(&form->engine(), &DryRun::finished, &app, [&] {
            // Then a slip of the pen in the editor, marked while typing.
            QTextCursor cursor(editor->document()->findBlockByNumber(11));
            cursor.movePosition(QTextCursor::EndOfBlock);
            cursor.insertText(QStringLiteral("0O"));
            main.program().check->checkNow();
            QTimer::singleShot(300, &app, [&] {
                const bool ok = save(main, argv[2]) && save(*form, argv[3]);
                QCoreApplication::exit(ok ? 0 : 1);
            });
        }, Qt::SingleShotConnection);
    }, Qt::SingleShotConnection);
    return app.exec();
}

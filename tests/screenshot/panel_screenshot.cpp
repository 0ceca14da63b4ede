// Opens the panel's main window on the first listed device, as an operator
// would through the selection window, starts a move and saves a picture of
// the window while the axis travels, with a program shown in the editor.
//
//   panel_screenshot BIN_DIR OUT.png [PROGRAM.prg]
#include "device/TollanApi.h"
#include "device/frmSelect.h"
#include "mainwindow/MainControlForm.h"
#include "mainwindow/MotionControl.h"
#include "ui_MainControlForm.h"
#include "ui_frmSelect.h"

#include <QApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int kIntoTheMoveMs = 1800;  // past the ramp, well before the target
constexpr int kGiveUpMs = 30000;      // a dialog nobody answers must not keep it running

}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: panel_screenshot BIN_DIR OUT.png [PROGRAM.prg]\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[2]);
    QString error;
    if (!loadTollanLibrary(QString::fromLocal8Bit(argv[1]), &error)) {
        std::fprintf(stderr, "panel_screenshot: %s\n", qPrintable(error));
        return 1;
    }
    QTimer::singleShot(kGiveUpMs, [] {
        std::fprintf(stderr, "panel_screenshot: gave up waiting\n");
        QCoreApplication::exit(1);
    });

    MainControlForm main;
    frmSelect select({[&main] {
                          main.Form_Load();
                          main.show();
                      },
                      [] {}});
    select.Form_Load();
    if (select.ui()->DeviceList->count() == 0) {
        std::fprintf(stderr, "panel_screenshot: no device listed\n");
        return 1;
    }
    select.ui()->DeviceList->setCurrentRow(0);
    select.cmdOK_Click();

    auto &ui = *main.ui();
    if (argc == 4) {
        QFile program(QString::fromLocal8Bit(argv[3]));
        if (!program.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "panel_screenshot: cannot read %s\n", argv[3]);
            return 1;
        }
        ui.OrgProgram->setPlainText(QString::fromLatin1(program.read(64 * 1024)));
    }
    ui.SetPosition->setText("25000");
    ui.SetSpeed->setText("4000");
    ui.Accel->setText("600");
    main.motion().ABS_Click();

    int code = 1;
    QTimer::singleShot(kIntoTheMoveMs, [&] {
        if (main.grab().save(out, "PNG"))
            code = 0;
        else
            std::fprintf(stderr, "panel_screenshot: cannot write %s\n", qPrintable(out));
        QCoreApplication::exit(code);
    });
    const int exitCode = app.exec();
    return exitCode == 0 ? code : exitCode;
}

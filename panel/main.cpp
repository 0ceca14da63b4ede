#include "common/Dialogs.h"
#include "device/TollanApi.h"
#include "device/frmSelect.h"
#include "mainwindow/MainControlForm.h"

#include <QApplication>
#include <QEventLoop>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(applicationTitle());
    // The panel ends through its own windows (Close, Cancel), not when the
    // selection list is hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    QString error;
    if (!loadTollanLibrary(QCoreApplication::applicationDirPath(), &error)) {
        Dialogs::get().notice(nullptr, QStringLiteral(
            "The device library libTollanCom.so could not be loaded from %1 (%2). "
            "The panel carries on without a device.").arg(QCoreApplication::applicationDirPath(), error));
    }

    MainControlForm mainForm;
    frmSelect::HandOver handOver;
    handOver.showMain = [&mainForm] {
        mainForm.Form_Load();
        mainForm.show();
    };
    handOver.runMainModal = [&mainForm] {
        mainForm.setWindowModality(Qt::ApplicationModal);
        mainForm.Form_Load();
        // Closing it ends the program from inside its close handler.
        mainForm.show();
        QEventLoop().exec();
    };

    frmSelect select(handOver);
    select.Form_Load();
    return app.exec();
}

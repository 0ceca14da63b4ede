#include "common/Dialogs.h"
#include "device/TollanApi.h"
#include "device/frmSelect.h"
#include "mainwindow/MainControlForm.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QEventLoop>

#include <cstdio>
#include <cstdlib>

namespace {

void refuseArguments(const QCommandLineParser &parser)
{
    if (parser.positionalArguments().isEmpty())
        return;
    std::fprintf(stderr, "zenta-panel: takes no arguments (%s)\n",
                 qPrintable(parser.positionalArguments().join(' ')));
    std::exit(1);
}

// --help and --version are answered before the application object exists, so
// they need no display. An option this first look does not know may be one of
// Qt's own (-platform ...), which QApplication takes out of argv; the second
// look, after it, refuses whatever is left.
void answerEarly(QCommandLineParser &parser, int argc, char *argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (!parser.parse(args))
        return;
    refuseArguments(parser);
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"))) {
        // A core application names the program in the usage line.
        QCoreApplication core(argc, argv);
        parser.process(core);
    }
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("zenta-panel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZENTA_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Control panel for the ZENTA-KDR-V3 stepper motor driver."));
    parser.addHelpOption();
    parser.addVersionOption();
    answerEarly(parser, argc, argv);

    QApplication app(argc, argv);
    parser.process(app);
    refuseArguments(parser);
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

#pragma once

// The real main window with scripted dialogs, a closed device link and the
// EXE folder pointed at a temporary folder of the test's own.
#include "ScriptedDialogs.h"
#include "common/AppExit.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"
#include "program/ExternalTools.h"
#include "program/ProgramEdit.h"
#include "program/ProgramTools.h"
#include "ui_MainControlForm.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>
#include <memory>

struct ProgramFixture {
    ProgramFixture()
    {
        modTollan::resetLinkState();
        setEndProgramHandler([this](int code) { exits << code; });
        main = std::make_unique<MainControlForm>();
        // The poll is driven by hand where a test needs it.
        main->Timer1()->stop();
        ExternalTools::setExeFolderForTests(exe.path());
    }
    ~ProgramFixture()
    {
        main.reset();
        ExternalTools::setExeFolderForTests({});
        setEndProgramHandler({});
    }

    Ui::MainControlForm &ui() const { return *main->ui(); }
    ProgramEdit *editor() const { return main->ui()->OrgProgram; }
    ProgramFiles &files() const { return main->program().files; }
    CompileControl &compile() const { return main->program().compile; }
    QString exeFile(const QString &name) const { return exe.filePath(name); }

    ScriptedDialogs dialogs;
    QTemporaryDir exe;
    QTemporaryDir work;
    std::unique_ptr<MainControlForm> main;
    QList<int> exits;
};

inline void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(f.write(bytes), bytes.size());
}

inline QByteArray readBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

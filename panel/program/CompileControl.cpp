#include "CompileControl.h"

#include "ExternalTools.h"
#include "ProgramEdit.h"
#include "ProgramTools.h"
#include "ViewCompiledForm.h"
#include "common/Dialogs.h"
#include "common/TextFile.h"
#include "mainwindow/MainControlForm.h"
#include "ui_MainControlForm.h"

#include <QFile>
#include <QTextBlock>

using namespace ExternalTools;

namespace {

const QString sourceName = QStringLiteral("Program.prg");
const QString resultName = QStringLiteral("CompileOut.txt");

}  // namespace

QString CompileControl::linesCaption(int32_t count)
{
    return QStringLiteral("Lines: ") + (count >= 0 ? QStringLiteral(" ") : QString()) + QString::number(count);
}

void CompileControl::CompileAll_Click()
{
    ProgramEdit *editor = main_.ui()->OrgProgram;
    const QString text = TextFile::documentText(*editor);
    if (text.isEmpty()) {
        Dialogs::get().notice(&main_, QStringLiteral("Nothing to compile!"));
        return;
    }
    const std::optional<QByteArray> bytes = TextFile::editorTextToBytes(text);
    if (!bytes) {
        Dialogs::get().notice(&main_, QStringLiteral("Not compiled: ") + TextFile::findNonLatin1(text)->inLine() +
                                          QStringLiteral("."));
        return;
    }
    if (!exeFolderReady(&main_))
        return;
    RunningLine &running = main_.program().running;
    ResultRead report;
    {
        // From the program written to the report read: no other panel's run
        // in between. The report is shown once the tools are free again.
        const ToolLock lock(&main_);
        if (!lock.held())
            return;
        forgetCompiledOutput();
        const QString source = exePath(sourceName);
        if (!TextFile::writeReplacing(source, *bytes)) {
            Dialogs::get().notice(&main_, "The program could not be written to " + source + "!");
            return;
        }
        const QString setup = exePath(QStringLiteral("vorlag_setup.txt"));
        if (!writeSetupFile(setup, {QStringLiteral("MOD:ZENTA-QLX"), QStringLiteral("OPE:COMPILE"), "FIL:" + sourceName})) {
            Dialogs::get().notice(&main_, "The setup file " + setup + " could not be written!");
            return;
        }
        // An old report must never pass for the answer of this run.
        const QString result = exePath(resultName);
        QFile::remove(result);
        running.compileLost();
        if (!LaunchAndWait(&main_, exePath(QStringLiteral("Vorlag"))))
            return;
        report = readResultFile(result);
        if (resultSucceeded(report))
            rememberCompiledOutput();
    }

    switch (judgeResult(&main_, report)) {
    case ResultOk:
        running.compiled(text);
        // The report is the compiled file: its lines less the result line.
        main_.ui()->CompiledLines->setText(linesCaption(int32_t(report.lines->size()) - 1));
        break;
    case ResultFailed:
        if (const auto line = ReadErrorLine(&main_, report)) {
            main_.Highlight1(*line, editor);
            editor->markFailingLine(*line);
        }
        break;
    default:
        break;
    }
}

void CompileControl::Highlight1(int16_t lineNumber, QPlainTextEdit *OrgProgram)
{
    if (lineNumber < 1)
        return;
    const QTextBlock block = OrgProgram->document()->findBlockByNumber(lineNumber - 1);
    if (!block.isValid())
        return;
    OrgProgram->setFocus();
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    OrgProgram->setTextCursor(cursor);
}

void CompileControl::ViewCompiled_Click()
{
    // The poll stays off the device from here until the viewer is gone,
    // whichever way this ends.
    MainControlForm::PollPause pause(main_);
    const auto lines = TextFile::readLines(exePath(resultName));
    if (!lines)
        return;
    ViewCompiledForm viewer(&main_);
    viewer.txt = TextFile::joinLines(*lines);
    viewer.exec();
}

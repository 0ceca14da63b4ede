#include "RunningLine.h"

#include "ProgramEdit.h"
#include "common/NumberText.h"
#include "common/TextFile.h"

#include <QTextDocument>

RunningLine::RunningLine(ProgramEdit &editor) : editor_(editor)
{
    // Colouring reports changes too; comparing the text settles it either
    // way, and an edit undone gives the mark back.
    QObject::connect(editor_.document(), &QTextDocument::contentsChange, &editor_,
                     [this](int, int, int) { textChanged(); });
}

void RunningLine::compiled(const QString &text)
{
    compiledText_ = text;
}

void RunningLine::compileLost()
{
    compiledText_.reset();
}

void RunningLine::downloaded(bool ok)
{
    // A failed download may or may not have left the old program; a mark
    // on the wrong text is worse than none.
    deviceText_ = ok ? compiledText_ : std::nullopt;
    running_ = false;
    textChanged();
}

void RunningLine::uploaded(bool ok)
{
    deviceText_ = ok ? std::optional<QString>(TextFile::documentText(editor_)) : std::nullopt;
    // Not read while no program text was known: no mark until the poll has.
    running_ = false;
    textChanged();
}

void RunningLine::counterRead(const QString &reply)
{
    const auto line = parseInt32(reply);
    line_ = line ? *line : 0;
    show();
}

void RunningLine::stateRead(int32_t code)
{
    // The same codes the status box shows; others leave it as it was.
    if (code == 1 || code == 2)
        running_ = true;
    else if (code == 0 || code == 4)
        running_ = false;
    show();
}

void RunningLine::textChanged()
{
    // The text as compiled holds what toPlainText() would turn into blanks.
    holds_ = deviceText_ && TextFile::documentText(editor_) == *deviceText_;
    show();
}

void RunningLine::show()
{
    editor_.setRunningLine(holds_ && running_ ? line_ : 0);
}

#include "TerminalForm.h"

#include "common/StopKey.h"

#include "ui_TerminalForm.h"
#include "common/Dialogs.h"
#include "common/NumberText.h"
#include "common/TextFile.h"
#include "device/modTollan.h"

#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

#include <algorithm>
#include <optional>

namespace {

// Why the ID box would refuse to be read as a signed 16-bit number; empty when
// it reads fine. The value itself is not needed: the check only keeps lines
// away from a device that did not say who it is.
QString deviceIdProblem(const QString &id)
{
    if (parseInt16(id))
        return {};
    if (id.trimmed().isEmpty())
        return QStringLiteral("No device ID.");
    if (parseNumber(id))
        return QStringLiteral("Device ID \"%1\" is out of range.").arg(id);
    return QStringLiteral("Device ID \"%1\" is not a number.").arg(id);
}

}  // namespace

TerminalForm::TerminalForm(QWidget *owner) : QDialog(owner), ui_(std::make_unique<Ui::TerminalForm>())
{
    ui_->setupUi(this);
    StopKey::cover(this);
    // "Courier" may be missing; any fixed-pitch face keeps replies aligned.
    for (QWidget *w : {static_cast<QWidget *>(ui_->Pad), static_cast<QWidget *>(ui_->SendText)}) {
        QFont mono = w->font();
        mono.setStyleHint(QFont::TypeWriter);
        mono.setFixedPitch(true);
        w->setFont(mono);
    }
    // Every appended line would otherwise pile up in the undo stack for the
    // whole session.
    ui_->Pad->setUndoRedoEnabled(false);
    ui_->SendText->installEventFilter(this);
    connect(ui_->Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
    connect(ui_->Close, &QPushButton::clicked, this, [this] { Close_Click(); });
}

TerminalForm::~TerminalForm() = default;

TerminalForm *TerminalForm::ManualTerminal_Click(QWidget *owner)
{
    QString dn;
    modTollan::SendRecvString(QStringLiteral("DN"), dn);
    auto *terminal = owner->findChild<TerminalForm *>(QString(), Qt::FindDirectChildrenOnly);
    if (!terminal)
        terminal = new TerminalForm(owner);
    terminal->Form_Load();
    // "CFG" and the two-digit ID: the ID starts at the fourth character.
    terminal->ui_->DeviceID->setText(dn.mid(3, 5));
    terminal->ui_->DeviceID->setEnabled(false);
    terminal->exec();
    return terminal;
}

void TerminalForm::Form_Load()
{
    ui_->SendText->clear();
    ui_->Pad->clear();
    browse_ = history_.size();
    draft_.clear();
}

void TerminalForm::Form_Activate()
{
    ui_->SendText->setFocus(Qt::ActiveWindowFocusReason);
}

bool TerminalForm::SendText_KeyDown(int key)
{
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        enterLine();
        return true;
    case Qt::Key_F1:
        ui_->SendText->setText(PreviousCommand);
        browse_ = history_.size();
        return true;
    case Qt::Key_Up:
        browseHistory(-1);
        return true;
    case Qt::Key_Down:
        browseHistory(+1);
        return true;
    default:
        return false;
    }
}

void TerminalForm::enterLine()
{
    const QString line = ui_->SendText->text();
    PreviousCommand = line;
    if (line.isEmpty())
        return;
    if (history_.isEmpty() || history_.last() != line)
        history_ << line;
    browse_ = history_.size();
    draft_.clear();
    ui_->SendText->clear();

    if (const QString problem = deviceIdProblem(ui_->DeviceID->text()); !problem.isEmpty()) {
        Dialogs::get().notice(this, QStringLiteral("Communication Error! ") + problem);
        return;
    }
    // Sent exactly as typed or not at all; F1 brings the line back to mend.
    if (const QString refusal = TextFile::commandRefusal(line); !refusal.isEmpty()) {
        Dialogs::get().notice(this, refusal);
        return;
    }

    appendLine(line);
    // A line over one frame is refused unsent and leaves the reply empty.
    QString reply;
    modTollan::SendRecvString(line, reply);
    if (!reply.isEmpty()) {
        appendLine(QLatin1Char('<') + reply);
        return;
    }
    appendLine(QStringLiteral("<NO REPLY!"));
    // Mark the unanswered line: the selection is the line break right after
    // "NO REPLY!", the one character the transcript's CR LF became.
    QTextCursor mark(ui_->Pad->document());
    mark.movePosition(QTextCursor::End);
    const int end = mark.position();
    mark.setPosition(end - 1);
    mark.setPosition(end, QTextCursor::KeepAnchor);
    ui_->Pad->setTextCursor(mark);
    ui_->Pad->ensureCursorVisible();
    ui_->SendText->setFocus();
}

// Adds one transcript line at the end. The operator's caret and selection in
// the transcript stay where they were; only the view follows the new line.
void TerminalForm::appendLine(const QString &line)
{
    QPlainTextEdit *pad = ui_->Pad;
    const QTextCursor before = pad->textCursor();
    const int anchor = before.anchor();
    const int position = before.position();

    QTextCursor end(pad->document());
    end.movePosition(QTextCursor::End);
    end.insertText(line + QLatin1Char('\n'));

    QTextCursor after = pad->textCursor();
    if (after.anchor() != anchor || after.position() != position) {
        after.setPosition(anchor);
        after.setPosition(position, QTextCursor::KeepAnchor);
        pad->setTextCursor(after);
    }
    scrollToEnd();
}

void TerminalForm::scrollToEnd()
{
    QScrollBar *bar = ui_->Pad->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void TerminalForm::browseHistory(int step)
{
    const qsizetype n = history_.size();
    if (browse_ == n && step < 0)
        draft_ = ui_->SendText->text();
    const qsizetype next = std::clamp<qsizetype>(browse_ + step, 0, n);
    if (next == browse_)
        return;
    browse_ = next;
    ui_->SendText->setText(browse_ == n ? draft_ : history_.at(browse_));
}

std::optional<QByteArray> TerminalForm::transcriptBytes(const QString &text)
{
    QString t = text;
    t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (t.isEmpty())
        return QByteArray();
    if (!t.endsWith(QLatin1Char('\n')))
        t += QLatin1Char('\n');
    t += QLatin1Char('\n');
    t.replace(QLatin1String("\n"), QLatin1String("\r\n"));
    return TextFile::toLatin1(t);
}

void TerminalForm::Command2_Click()
{
    const QString text = TextFile::documentText(*ui_->Pad);
    // The operator may have typed into the transcript; refused before a name is asked for.
    const std::optional<QByteArray> bytes = transcriptBytes(text);
    if (!bytes) {
        Dialogs::get().notice(this, QStringLiteral("Not saved: ") + TextFile::findNonLatin1(text)->inLine() +
                                        QStringLiteral("."));
        return;
    }
    const std::optional<QString> name = Dialogs::get().saveFileName(
        this, QStringLiteral("Save Terminal Text As"), QStringLiteral("Terminal Text Files (*.txt)|*.txt"), QString());
    if (!name)
        return;
    if (name->isEmpty()) {
        Dialogs::get().notice(this, QStringLiteral("No Program Name!"));
        return;
    }
    if (name->contains(QLatin1Char('*')))
        return;
    // A failed write leaves any earlier file as it was, and says so.
    QString error;
    if (!TextFile::writeReplacing(*name, *bytes, &error)) {
        Dialogs::get().notice(this, QStringLiteral("Save Failed! ") + error);
        return;
    }
    Dialogs::get().notice(this, QStringLiteral("Save Done!"));
}

void TerminalForm::Close_Click()
{
    reject();
}

// Closing by button or close box ends this opening: transcript and command
// line go, PreviousCommand and the history stay.
void TerminalForm::done(int result)
{
    QDialog::done(result);
    ui_->Pad->clear();
    ui_->SendText->clear();
}

bool TerminalForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui_->SendText && event->type() == QEvent::KeyPress
        && SendText_KeyDown(static_cast<QKeyEvent *>(event)->key()))
        return true;
    return QDialog::eventFilter(watched, event);
}

bool TerminalForm::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate)
        Form_Activate();
    return QDialog::event(event);
}

// Escape would close the window and drop the transcript; only "Close" and the
// close box do that.
void TerminalForm::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

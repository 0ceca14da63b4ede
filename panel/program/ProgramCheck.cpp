#include "ProgramCheck.h"

#include "ProgramEdit.h"
#include "common/TextFile.h"

#include "zenta/lang/compiler.hpp"

#include <QLabel>
#include <QSet>
#include <QTextDocument>
#include <QTimer>

ProgramCheck::ProgramCheck(ProgramEdit &editor, QLabel &label) : QObject(&editor), editor_(editor), label_(label)
{
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    timer_->setInterval(kDelayMs);
    connect(timer_, &QTimer::timeout, this, &ProgramCheck::checkNow);
    // Colouring reports changes too; only characters count.
    connect(editor_.document(), &QTextDocument::contentsChange, this, [this](int, int removed, int added) {
        if (removed || added)
            timer_->start();
    });
    checkNow();
}

ProgramCheck::Result ProgramCheck::check(const QString &text)
{
    Result result;
    QSet<int> refused;
    // A line with a character Latin-1 cannot hold is named for it; the
    // compiler reads the line with blanks there, so the lines around it keep
    // their meaning.
    QByteArray bytes;
    bytes.reserve(text.size());
    const QStringList lines = text.split(u'\n');
    for (qsizetype k = 0; k < lines.size(); ++k) {
        if (k)
            bytes += '\n';
        const auto bad = TextFile::findNonLatin1(lines[k]);
        if (!bad) {
            bytes += lines[k].toLatin1();
            continue;
        }
        const int line = int(k) + 1;
        refused.insert(line);
        ++result.count;
        if (result.errors.size() < zenta::lang::kMaxKeptDiagnostics)
            result.errors << Error{line, bad->character()};
        for (QChar c : lines[k])
            bytes += c.unicode() <= 0xFF ? char(c.unicode()) : ' ';
    }
    const zenta::lang::CheckResult r = zenta::lang::check(std::string_view(bytes.constData(), size_t(bytes.size())));
    result.count += r.count;
    for (const zenta::lang::Diagnostic &d : r.errors) {
        if (refused.contains(d.line)) {
            --result.count;
            continue;
        }
        if (result.errors.size() < zenta::lang::kMaxKeptDiagnostics)
            result.errors << Error{d.line, QString::fromLatin1(d.message.data(), qsizetype(d.message.size()))};
    }
    return result;
}

QString ProgramCheck::summary(const Result &result)
{
    if (result.errors.isEmpty())
        return QStringLiteral("No errors");
    QString text = QStringLiteral("Line %1: %2").arg(result.errors.first().line).arg(result.errors.first().message);
    if (result.count > 1)
        text += QStringLiteral(" (and %1 more)").arg(result.count - 1);
    return text;
}

void ProgramCheck::checkNow()
{
    timer_->stop();
    last_ = check(TextFile::documentText(editor_));
    QHash<int, QString> marks;
    for (const Error &e : last_.errors)
        marks.insert(e.line, e.message);
    editor_.setCheckErrors(marks);
    const QString text = summary(last_);
    if (label_.text() != text) {
        label_.setText(text);
        label_.setToolTip(last_.errors.isEmpty() ? QString() : text);
        label_.setStyleSheet(last_.errors.isEmpty() ? QStringLiteral("color: #207020;")
                                                    : QStringLiteral("color: #b00000;"));
    }
}

#include "ProgramFiles.h"

#include "ProgramEdit.h"
#include "common/Dialogs.h"
#include "common/TextFile.h"
#include "mainwindow/MainControlForm.h"
#include "ui_MainControlForm.h"

#include <QFileInfo>

namespace {
const QString programFilter = QStringLiteral("ZENTA Program Files (*.prg)|*.prg");
}

void saveTextAs(QWidget *parent, const QString &title, const QString &filter, const QString &text)
{
    // Refused before a name is asked for: there is nothing the name could change.
    const std::optional<QByteArray> bytes = TextFile::editorTextToBytes(text);
    if (!bytes) {
        Dialogs::get().notice(parent, QStringLiteral("Not saved: ") + TextFile::findNonLatin1(text)->inLine() +
                                          QStringLiteral("."));
        return;
    }
    const auto name = Dialogs::get().saveFileName(parent, title, filter, QString());
    if (!name)
        return;
    if (name->isEmpty()) {
        Dialogs::get().notice(parent, QStringLiteral("No Program Name!"));
        return;
    }
    if (name->contains(u'*'))
        return;
    QString error;
    if (!TextFile::writeReplacing(*name, *bytes, &error)) {
        Dialogs::get().notice(parent, QStringLiteral("Save Failed! ") + error);
        return;
    }
    Dialogs::get().notice(parent, QStringLiteral("Save Done!"));
}

QString editorTextOf(const QStringList &lines)
{
    QString text;
    for (const QString &line : lines)
        text += line + u'\n';
    return text;
}

void ProgramFiles::NewProg_Click()
{
    main_.ui()->OrgProgram->clear();
}

void ProgramFiles::OpenProg_Click()
{
    const auto name = Dialogs::get().openFileName(&main_, QStringLiteral("Open ZENTA Program"), programFilter,
                                                  QStringLiteral("*.prg"));
    // The pattern still in the name field means nothing was chosen.
    if (!name || name->isEmpty() || name->contains(u'*'))
        return;
    const QFileInfo info(*name);
    if (!info.exists() || info.isDir()) {
        Dialogs::get().notice(&main_, "File " + *name + " does not exist!");
        return;
    }
    // The whole file is read before the editor is touched, so a failed read
    // leaves the text as it was.
    const auto lines = TextFile::readLines(*name);
    if (!lines)
        return;
    main_.ui()->OrgProgram->setPlainText(editorTextOf(*lines));
}

void ProgramFiles::SaveProg_Click()
{
    saveTextAs(&main_, QStringLiteral("Save ZENTA Program As"), programFilter, TextFile::documentText(*main_.ui()->OrgProgram));
}

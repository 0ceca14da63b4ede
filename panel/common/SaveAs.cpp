#include "SaveAs.h"

#include "Dialogs.h"
#include "TextFile.h"

#include <QFileInfo>

bool saveAs(QWidget *parent, const QString &title, const QString &filter, const QString &suggestedName,
            QString &folder, const QByteArray &bytes, const QString &failure)
{
    const QString initial = folder.isEmpty() ? suggestedName : folder + u'/' + suggestedName;
    const auto name = Dialogs::get().saveFileName(parent, title, filter, initial);
    if (!name || name->isEmpty())
        return false;
    const QFileInfo info(*name);
    folder = info.absolutePath();
    if (info.isDir()) {
        Dialogs::get().notice(parent, failure + QStringLiteral("%1 is a folder.").arg(*name));
        return false;
    }
    // The file dialog is told not to ask, so the question is asked here.
    if (info.exists()
        && !Dialogs::get().question(parent, title, QStringLiteral("%1 already exists. Replace it?").arg(info.fileName())))
        return false;
    if (TextFile::writeReplacing(*name, bytes))
        return true;
    Dialogs::get().notice(parent, failure + QStringLiteral("%1 could not be written%2.")
                                                .arg(*name, info.exists() ? QStringLiteral("; the file there is unchanged")
                                                                          : QString()));
    return false;
}

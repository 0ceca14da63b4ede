#pragma once

#include <QByteArray>
#include <QString>

class QWidget;

// The save path the panel's own files share (settings, plot exports): asks
// for a name in `folder` (the folder remembered for the session, updated to
// the chosen one), asks before replacing an existing file, writes the file
// whole, and tells the operator when that failed, starting with `failure`.
// True only when the file was written.
bool saveAs(QWidget *parent, const QString &title, const QString &filter, const QString &suggestedName,
            QString &folder, const QByteArray &bytes, const QString &failure);

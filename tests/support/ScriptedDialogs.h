#pragma once

#include "common/Dialogs.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// Records every message and file dialog; answers from scripts.
class ScriptedDialogs : public Dialogs {
public:
    struct Shown {
        QString kind;  // "notice", "question", "open", "save"
        QString title;
        QString text;  // message text, or the filter of a file dialog
        QString initialName;
    };

    ScriptedDialogs();   // installs itself
    ~ScriptedDialogs() override;

    QList<Shown> shown;
    QList<bool> answers;                       // question answers in order; Yes when empty
    QList<std::optional<QString>> fileNames;   // file dialog answers; cancel when empty
    std::function<void(const Shown &)> onShow; // runs while the dialog is "open"

    QStringList notices() const;

    void notice(QWidget *parent, const QString &text) override;
    bool question(QWidget *parent, const QString &title, const QString &text) override;
    std::optional<QString> openFileName(QWidget *parent, const QString &title, const QString &filter,
                                        const QString &initialName) override;
    std::optional<QString> saveFileName(QWidget *parent, const QString &title, const QString &filter,
                                        const QString &initialName) override;
};

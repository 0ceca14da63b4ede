#include "ScriptedDialogs.h"

ScriptedDialogs::ScriptedDialogs()
{
    Dialogs::install(this);
}

ScriptedDialogs::~ScriptedDialogs()
{
    Dialogs::install(nullptr);
}

QStringList ScriptedDialogs::notices() const
{
    QStringList out;
    for (const Shown &s : shown)
        if (s.kind == QLatin1String("notice"))
            out << s.text;
    return out;
}

void ScriptedDialogs::notice(QWidget *, const QString &text)
{
    shown << Shown{QStringLiteral("notice"), applicationTitle(), text, {}};
    if (onShow)
        onShow(shown.last());
}

bool ScriptedDialogs::question(QWidget *, const QString &title, const QString &text)
{
    shown << Shown{QStringLiteral("question"), title, text, {}};
    if (onShow)
        onShow(shown.last());
    return answers.isEmpty() ? true : answers.takeFirst();
}

std::optional<QString> ScriptedDialogs::openFileName(QWidget *, const QString &title, const QString &filter,
                                                     const QString &initialName)
{
    shown << Shown{QStringLiteral("open"), title, filter, initialName};
    if (onShow)
        onShow(shown.last());
    return fileNames.isEmpty() ? std::nullopt : fileNames.takeFirst();
}

std::optional<QString> ScriptedDialogs::saveFileName(QWidget *, const QString &title, const QString &filter,
                                                     const QString &initialName)
{
    shown << Shown{QStringLiteral("save"), title, filter, initialName};
    if (onShow)
        onShow(shown.last());
    return fileNames.isEmpty() ? std::nullopt : fileNames.takeFirst();
}

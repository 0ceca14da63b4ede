#pragma once

#include <QString>
#include <optional>

class QWidget;

// Every message box and file dialog of the panel goes through this interface,
// so tests can script the answers and see exactly what an operator was shown.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // A notice with an OK button only, titled with the application's title.
    virtual void notice(QWidget *parent, const QString &text) = 0;
    // A Yes/No question with a title of its own; true means Yes.
    virtual bool question(QWidget *parent, const QString &title, const QString &text) = 0;
    // File dialogs. `filter` has the form "Description (*.ext)|*.ext".
    // An empty optional means the operator cancelled. An existing folder as
    // `initialName` opens the dialog in that folder.
    virtual std::optional<QString> openFileName(QWidget *parent, const QString &title,
                                                const QString &filter, const QString &initialName) = 0;
    virtual std::optional<QString> saveFileName(QWidget *parent, const QString &title,
                                                const QString &filter, const QString &initialName) = 0;

    static Dialogs &get();
    // Replaces the production dialogs (nullptr puts them back). Not owned.
    static void install(Dialogs *dialogs);
};

// The caption of message boxes that have no title of their own.
QString applicationTitle();

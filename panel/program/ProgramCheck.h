#pragma once

#include <QList>
#include <QObject>
#include <QString>

class ProgramEdit;
class QLabel;
class QTimer;

// The check while typing: a moment after the last change the editor's text
// is compiled in-process by the language library, the same compiler the
// compile tool uses, and every failing line is marked in the editor while
// the label names the first. The "Compile" button is not involved.
class ProgramCheck : public QObject {
    Q_OBJECT
public:
    static constexpr int kDelayMs = 300;

    struct Error {
        int line = 0;  // 1-based
        QString message;
        friend bool operator==(const Error &, const Error &) = default;
    };
    struct Result {
        QList<Error> errors;  // the first is the one the compile step names first
        int count = 0;        // failing lines, kept or not
    };

    ProgramCheck(ProgramEdit &editor, QLabel &label);

    // What the text holds wrong. A character Latin-1 has no code for comes
    // first, as the compile step refuses the text for it before compiling.
    static Result check(const QString &text);
    // "No errors", or "Line N: message" and " (and K more)".
    static QString summary(const Result &result);

    // Checks the editor's text now; the timer calls it.
    void checkNow();
    QTimer *timer() const { return timer_; }
    const Result &last() const { return last_; }

private:
    ProgramEdit &editor_;
    QLabel &label_;
    QTimer *timer_ = nullptr;
    Result last_;
};

#pragma once

#include <QHash>
#include <QPlainTextEdit>
#include <QSet>

class ProgramHighlighter;

// The program editor control (OrgProgram): a plain text box with a gutter of
// line numbers, the language coloured, the failing line of the last compile
// marked in the gutter until the text is changed, and the line the device's
// program is at marked with an arrow and a soft background.
class ProgramEdit : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit ProgramEdit(QWidget *parent = nullptr);

    // Marks a 1-based line as the one that failed to compile; lines outside
    // the text mark nothing. Any change of the text clears the mark.
    void markFailingLine(int lineNumber);
    int failingLine() const { return failingLine_; }

    // Marks the 1-based line the device is running; 0, or a line outside the
    // text, removes the mark. Whether the text is the device's program is the
    // caller's judgement.
    void setRunningLine(int lineNumber);
    int runningLine() const { return runningLines_.value(0); }
    // One mark per thread, each in its thread's colour; 0 marks nothing for
    // that thread.
    void setRunningLines(const QList<int> &lineNumbers);
    const QList<int> &runningLines() const { return runningLines_; }

    // The errors of the check while typing, by 1-based line: a wavy
    // underline, a mark in the gutter and the message as a tooltip.
    void setCheckErrors(const QHash<int, QString> &errors);
    const QHash<int, QString> &checkErrors() const { return checkErrors_; }
    // What the tooltip over a 1-based line says; empty for a line without.
    QString checkMessage(int lineNumber) const { return checkErrors_.value(lineNumber); }

    // Breakpoints, by 1-based line, drawn as a dot in the gutter.
    void setBreakpoints(const QSet<int> &lines);
    const QSet<int> &breakpoints() const { return breakpoints_; }
    // The 1-based line at a point of the gutter or the text; 0 for none.
    int lineAt(int y) const;

    QWidget *gutter() const { return gutter_; }
    ProgramHighlighter *highlighter() const { return highlighter_; }
    int gutterWidth() const;
    void paintGutter(QPaintEvent *event);

signals:
    // A press on the gutter beside a line.
    void gutterClicked(int lineNumber);

protected:
    bool viewportEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;

private:
    void updateGutterWidth();
    void placeGutter();
    void updateGutter(const QRect &rect, int dy);
    void applyMarks();

    QWidget *gutter_ = nullptr;
    ProgramHighlighter *highlighter_ = nullptr;
    int failingLine_ = 0;
    QList<int> runningLines_;
    QHash<int, QString> checkErrors_;
    QSet<int> breakpoints_;
};

#pragma once

#include <QPlainTextEdit>

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
    int runningLine() const { return runningLine_; }

    QWidget *gutter() const { return gutter_; }
    ProgramHighlighter *highlighter() const { return highlighter_; }
    int gutterWidth() const;
    void paintGutter(QPaintEvent *event);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;

private:
    void updateGutterWidth();
    void placeGutter();
    void updateGutter(const QRect &rect, int dy);

    QWidget *gutter_ = nullptr;
    ProgramHighlighter *highlighter_ = nullptr;
    int failingLine_ = 0;
    int runningLine_ = 0;
};

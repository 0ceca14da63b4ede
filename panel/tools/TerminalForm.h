#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

namespace Ui {
class TerminalForm;
}

// The manual command terminal: any typed line goes to the device through the
// raw exchange, and the transcript shows it with the device's answer.
class TerminalForm : public QDialog {
    Q_OBJECT
public:
    explicit TerminalForm(QWidget *owner);
    ~TerminalForm() override;

    Ui::TerminalForm *ui() const { return ui_.get(); }

    // The main window's "Terminal" button: reads the device ID, creates the
    // window on first use (a child of `owner`, so it lives as long as the main
    // window) and shows it modally. Returns the window used.
    static TerminalForm *ManualTerminal_Click(QWidget *owner);

    // The last line entered, kept across openings for F1.
    QString PreviousCommand;
    // Every non-empty line entered this run, oldest first, for Up and Down.
    const QStringList &history() const { return history_; }

    void Form_Load();
    void Form_Activate();
    // True when the key was acted on (Enter, F1, Up, Down).
    bool SendText_KeyDown(int key);
    void Command2_Click();
    void Close_Click();

    // The bytes a save writes for a transcript text: CR LF line ends, the
    // last line ended, one empty line after it; empty for an empty text; no
    // value when the text is not Latin-1.
    static std::optional<QByteArray> transcriptBytes(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void done(int result) override;

private:
    void enterLine();
    void appendLine(const QString &line);
    void scrollToEnd();
    void browseHistory(int step);

    std::unique_ptr<Ui::TerminalForm> ui_;
    QStringList history_;
    qsizetype browse_ = 0;  // position in history_; history_.size() is the draft
    QString draft_;         // what was typed before browsing started
};

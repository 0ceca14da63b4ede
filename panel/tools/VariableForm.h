#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <memory>

class MainControlForm;
class QLineEdit;
class QTimer;

namespace Ui {
class VariableForm;
}

// The live view of the device's 50 variables, with a one-line command box.
// Box Vk shows variable k+1.
class VariableForm : public QDialog {
    Q_OBJECT
public:
    static constexpr int VariableCount = 50;
    // Timer1's interval in milliseconds at load and while nothing answers.
    static constexpr int RestInterval = 1;

    explicit VariableForm(QWidget *parent = nullptr);
    ~VariableForm() override;

    Ui::VariableForm *ui() const { return ui_.get(); }
    QTimer *Timer1() const { return timer1_; }
    // The box showing variable `number` (1 to 50).
    QLineEdit *boxForVariable(int number) const { return boxes_.at(static_cast<size_t>(number - 1)); }

    // The main window's "Variables" button: the main poll stays paused for
    // exactly as long as a freshly loaded monitor is open.
    static void Command5_Click(MainControlForm &main);

    void Form_Load();
    void Timer1_Timer();
    // True when the key was acted on (Enter).
    bool Text2_KeyDown(int key);
    void Close_Click();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void done(int result) override;

private:
    std::unique_ptr<Ui::VariableForm> ui_;
    QTimer *timer1_ = nullptr;
    std::array<QLineEdit *, VariableCount> boxes_{};
    std::array<QString, VariableCount> commands_;
};

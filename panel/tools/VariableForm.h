#pragma once

#include "common/WatchDialog.h"

#include <QString>
#include <array>
#include <memory>

class MainControlForm;
class QLineEdit;

namespace Ui {
class VariableForm;
}

// The live view of the device's 50 variables, with a one-line command box.
// Box Vk shows variable k+1.
class VariableForm : public WatchDialog {
    Q_OBJECT
public:
    static constexpr int VariableCount = 50;

    explicit VariableForm(QWidget *parent = nullptr);
    ~VariableForm() override;

    Ui::VariableForm *ui() const { return ui_.get(); }
    // The box showing variable `number` (1 to 50).
    QLineEdit *boxForVariable(int number) const { return boxes_.at(static_cast<size_t>(number - 1)); }

    // The main window's "Variables" button.
    static void Command5_Click(MainControlForm &main);

    void Form_Load();
    // True when the key was acted on (Enter).
    bool Text2_KeyDown(int key);
    void Close_Click();

protected:
    bool pollRound() override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::unique_ptr<Ui::VariableForm> ui_;
    std::array<QLineEdit *, VariableCount> boxes_{};
    std::array<QString, VariableCount> commands_;
};

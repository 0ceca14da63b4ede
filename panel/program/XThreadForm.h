#pragma once

#include "common/WatchDialog.h"

#include <QString>
#include <memory>

class QLineEdit;

namespace Ui {
class XThreadForm;
}

// "Multi-Thread Control": runs, stops, pauses and continues one chosen
// program thread, and shows the state and line of both, polled back to back.
class XThreadForm : public WatchDialog {
    Q_OBJECT
public:
    explicit XThreadForm(QWidget *parent = nullptr);
    ~XThreadForm() override;

    Ui::XThreadForm *ui() const { return ui_.get(); }

    void Form_Load();
    void RunProg_Click();
    void StopProg_Click();
    void ContProg_Click();
    void PauseProg_Click();
    void Command1_Click();

protected:
    bool pollRound() override;

private:
    // "SR0=" or "SR1=" with the action for the selected thread, then a bare
    // "ABORT" when asked; replies are not looked at.
    void sendToSelected(char action, bool thenAbort);

    std::unique_ptr<Ui::XThreadForm> ui_;
};

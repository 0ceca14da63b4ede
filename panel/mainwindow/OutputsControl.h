#pragma once

#include <QString>

class MainControlForm;

// Output toggles, the control-mode options and the hidden command box.
class OutputsControl {
public:
    explicit OutputsControl(MainControlForm &main) : main_(main) {}

    void EOSet_Click();
    void DOSet1_Click();
    void DOSet2_Click();
    void SelUSBControl_Click();
    void SelJoyControl_Click();
    void Command1_Click();

private:
    void toggle(const QString &output);

    MainControlForm &main_;
};

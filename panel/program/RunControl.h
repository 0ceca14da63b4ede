#pragma once

class MainControlForm;

// The main window's "Program Control" buttons: the device's program as a
// whole, and the way into the thread window.
class RunControl {
public:
    explicit RunControl(MainControlForm &main) : main_(main) {}

    void RunProg_Click();
    void StopProg_Click();
    void ContProg_Click();
    void PauseProg_Click();
    void XThread_Click();

private:
    MainControlForm &main_;
};

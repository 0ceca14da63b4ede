#pragma once

class MainControlForm;

// Store to flash, the program's exit, and the two buttons below the window.
class FlashStore {
public:
    explicit FlashStore(MainControlForm &main) : main_(main) {}

    void SetSN_Click();
    void Close_Click();
    void SetDN_Click() {}
    void DownloadPar_Click();

private:
    MainControlForm &main_;
};

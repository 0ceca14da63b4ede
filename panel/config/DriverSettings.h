#pragma once

class MainControlForm;
class QComboBox;
class QString;

// Moves the driver settings between the "Configuration" controls and the device.
class DriverSettings {
public:
    explicit DriverSettings(MainControlForm &main) : main_(main) {}

    void DownloadDrv_Click();
    void UploadDriver_Click();

private:
    MainControlForm &main_;
};

// Shows `text` in a list when it is one of its items, else no selection.
void setComboText(QComboBox *combo, const QString &text);

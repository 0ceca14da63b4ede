#pragma once

#include <QStringList>

class MainControlForm;
class QComboBox;
class QString;
namespace Ui {
class MainControlForm;
}

// Moves the driver settings between the "Configuration" controls and the device.
class DriverSettings {
public:
    explicit DriverSettings(MainControlForm &main) : main_(main) {}

    void DownloadDrv_Click();
    void UploadDriver_Click();

    // Every command "Down" sends, in its order, from what the window shows:
    // "DN=CFG<id>" first, then the settings (core/DownCommands.h).
    static QStringList downCommands(const Ui::MainControlForm &ui);
    // The same less the device ID's: the settings alone.
    static QStringList settingCommands(const Ui::MainControlForm &ui);

private:
    MainControlForm &main_;
};

// Shows `text` in a list when it is one of its items, else no selection.
void setComboText(QComboBox *combo, const QString &text);

#pragma once

#include "core/SettingsFile.h"

#include <QString>

class MainControlForm;

// "Save Settings..." and "Load Settings...": the "Configuration" controls to
// and from a settings file. Nothing here talks to the device; a loaded file
// reaches it only through "Down".
class SettingsFileControl {
public:
    explicit SettingsFileControl(MainControlForm &main) : main_(main) {}

    void SaveSettings_Click();
    void LoadSettings_Click();

    // The dialogs open here next; the last folder used this session.
    QString folder() const { return folder_; }

    static const QString filter;

private:
    struct Field;
    QList<Field> fields() const;

    MainControlForm &main_;
    QString folder_;
};

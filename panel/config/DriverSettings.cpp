#include "DriverSettings.h"

#include "mainwindow/MainControlForm.h"
#include "mainwindow/OutputsControl.h"
#include "ui_MainControlForm.h"
#include "common/Dialogs.h"
#include "device/modTollan.h"
#include "common/NumberText.h"
#include "core/DownCommands.h"

#include <functional>

using namespace modTollan;

namespace {

// A list value from the device: out of range selects the first item; a reply
// that is no 16-bit number leaves the list as it was.
void selectFromReply(QComboBox *list, const QString &reply, int upper)
{
    const auto v = replyToInt16(reply);
    if (!v)
        return;
    const int position = (*v > upper || *v < 1) ? 1 : *v;
    list->setCurrentIndex(position - 1);
}

}  // namespace

void setComboText(QComboBox *combo, const QString &text)
{
    combo->setCurrentIndex(combo->findText(text, Qt::MatchExactly));
}

void DriverSettings::DownloadDrv_Click()
{
    auto &ui = *main_.ui();
    auto send = [this](const QString &command) { return main_.SendReceive(command); };
    if (!CommOpen) {
        Dialogs::get().notice(&main_, QStringLiteral("Communication not open!"));
        return;
    }

    const QString wanted = ui.DeviceName->currentText();
    const QString dn = send(QStringLiteral("DN"));
    if (!CommOpen)
        return;  // the lost link has been reported
    const std::optional<QString> current = DeviceIdOf(dn);
    if (!current) {
        Dialogs::get().notice(&main_, QStringLiteral("Down refused: the device did not give its name (it answered "
                                                     "\"%1\" to \"DN\"). Nothing was sent.")
                                          .arg(dn));
        return;
    }
    QStringList commands = downCommands(ui);
    // The panel's order: the device ID first, asked for, then the settings.
    const QString setName = commands.takeFirst();
    if (*current != wanted) {
        if (Dialogs::get().question(&main_, QStringLiteral("Device ID"),
                                    QStringLiteral("Are you sure you want change Device ID to %1?").arg(wanted))) {
            if (send(setName) == QLatin1String("OK")) {
                // After a store and a power cycle the device is listed under
                // its new name; a reconnect must still find it.
                modTollan::DeviceRenamedTo = QStringLiteral("CFG") + wanted;
                Dialogs::get().notice(&main_, QStringLiteral("Device ID Set.  Perform store to flash and reset "
                                                             "power for new Device ID to take effect."));
            } else
                Dialogs::get().notice(&main_, QStringLiteral("Error setting device ID"));
        } else {
            setComboText(ui.DeviceName, *current);
        }
    }

    for (const QString &command : std::as_const(commands))
        send(command);
}

QStringList DriverSettings::settingCommands(const Ui::MainControlForm &ui)
{
    QStringList commands = downCommands(ui);
    commands.removeFirst();  // the device ID's
    return commands;
}

QStringList DriverSettings::downCommands(const Ui::MainControlForm &ui)
{
    // The window's values as the settings file holds them. Texts go as UTF-8
    // and come back the same way, so a character the link cannot carry still
    // reaches the exchange, which refuses it.
    auto text = [](const QString &t) { return t.toUtf8().toStdString(); };
    auto flag = [](const QAbstractButton *box) { return std::string(box->isChecked() ? "1" : "0"); };
    const std::string mode = ui.SelUSBControl->isChecked()   ? "USB"
                             : ui.SelJoyControl->isChecked() ? "Analog"
                                                             : "";
    const std::vector<SettingsFile::Entry> settings{
        {"DeviceName", text(ui.DeviceName->currentText())},
        {"RunCurrent", text(ui.Par6->currentText())},
        {"IdleCurrent", text(ui.Par8->currentText())},
        {"Microstep", text(ui.Par9->currentText())},
        {"ControlMode", mode},
        {"TimeOut", text(ui.TimeOut->text())},
        {"DOPolarity", flag(ui.DOPolarity)},
        {"DIPolarity", flag(ui.DIPolarity)},
        {"DOBoot", text(ui.DOBoot->text())},
        {"AutoRun0", flag(ui.SLOAD0)},
        {"AutoRun1", flag(ui.SLOAD1)},
    };
    QStringList out;
    for (const DownCommands::Command &c : DownCommands::build(settings))
        out << QString::fromUtf8(c.text());
    return out;
}

void DriverSettings::UploadDriver_Click()
{
    auto &ui = *main_.ui();
    if (!CommOpen) {
        Dialogs::get().notice(&main_, QStringLiteral("Communication not open!"));
        return;
    }
    ui.ID->setText(main_.SendReceive(QStringLiteral("ID")));
    if (ui.ID->text() != QLatin1String("KVL-CFG-UV-USB")) {
        CommOpen = false;
        Dialogs::get().notice(&main_, QStringLiteral("Reply Error!"));
        return;
    }

    using Apply = std::function<void(const QString &)>;
    const Apply ignore;
    const std::pair<const char *, Apply> steps[] = {
        {"VER", [&](const QString &r) { ui.Version->setText(r); }},
        {"DN",
         [&](const QString &r) {
             const std::optional<QString> id = DeviceIdOf(r);
             setComboText(ui.DeviceName, id.value_or(QString()));
             if (id)
                 modTollan::DeviceAnswered = r;
         }},
        {"P1", ignore},
        {"P2", ignore},
        {"P3", ignore},
        {"P4", ignore},
        {"P5", ignore},
        {"P6", [&](const QString &r) { selectFromReply(ui.Par6, r, 20); }},
        {"P7", ignore},
        {"P8", [&](const QString &r) { selectFromReply(ui.Par8, r, 21); }},
        {"P9", [&](const QString &r) { selectFromReply(ui.Par9, r, 4); }},
        {"PA",
         [&](const QString &r) {
             // Only 1 and 2 have an option; other modes leave both as they are.
             const auto mode = replyToInt16(r);
             if (mode == 1) {
                 ui.SelUSBControl->setChecked(true);
                 main_.outputs().SelUSBControl_Click();
             } else if (mode == 2) {
                 ui.SelJoyControl->setChecked(true);
                 main_.outputs().SelJoyControl_Click();
             }
         }},
        {"PB", [&](const QString &r) { ui.TimeOut->setText(r); }},
        {"POL",
         [&](const QString &r) {
             if (const auto v = replyToInt16(r); v && *v >= 0 && *v <= 3) {
                 ui.DOPolarity->setChecked(*v & 1);
                 ui.DIPolarity->setChecked(*v & 2);
             }
         }},
        {"DOBOOT", [&](const QString &r) { ui.DOBoot->setText(r); }},
        {"SLOAD",
         [&](const QString &r) {
             if (const auto v = replyToInt32(r)) {
                 ui.SLOAD0->setChecked(BitAnd24(*v, 1) == 1);
                 ui.SLOAD1->setChecked(BitAnd24(*v, 2) == 2);
             }
         }},
    };
    for (const auto &[command, apply] : steps) {
        const QString reply = main_.SendReceive(QLatin1String(command));
        // Once the link is lost every reply is empty; filling controls from
        // those would show settings the device never had.
        if (!CommOpen)
            return;
        if (apply)
            apply(reply);
    }
}

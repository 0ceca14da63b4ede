#include "SettingsFileControl.h"

#include "DriverSettings.h"
#include "common/Dialogs.h"
#include "common/SaveAs.h"
#include "mainwindow/MainControlForm.h"
#include "mainwindow/OutputsControl.h"
#include "ui_MainControlForm.h"
#include "zenta/lang/regularfile.hpp"

#include <QFile>
#include <QFileInfo>

namespace {

// Far beyond any settings file; a larger pick is the wrong file.
constexpr std::size_t kMaxFileBytes = 64 * 1024;

QStringList itemsOf(const QComboBox *list)
{
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items << list->itemText(i);
    return items;
}

QString flag(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

}  // namespace

const QString SettingsFileControl::filter = QStringLiteral("Driver settings (*.ini)|*.ini");

struct SettingsFileControl::Field {
    SettingsFile::Rule rule;
    // The control's value; none when it shows none (a list without selection).
    std::function<std::optional<QString>()> read;
    std::function<void(const QString &)> apply;
};

QList<SettingsFileControl::Field> SettingsFileControl::fields() const
{
    using SettingsFile::checkFlag;
    using SettingsFile::checkOneOf;
    auto &ui = *main_.ui();
    MainControlForm &main = main_;

    auto list = [](const char *key, QComboBox *combo) {
        return Field{{QLatin1String(key), [combo](const QString &v) { return checkOneOf(v, itemsOf(combo)); }},
                     [combo]() -> std::optional<QString> {
                         if (combo->currentIndex() < 0)
                             return std::nullopt;
                         return combo->currentText();
                     },
                     [combo](const QString &v) { setComboText(combo, v); }};
    };
    // Free text goes to the device as typed, so the file keeps it as typed.
    auto text = [](const char *key, QLineEdit *box) {
        return Field{{QLatin1String(key),
                      [box](const QString &v) -> std::optional<QString> {
                          if (v.size() > box->maxLength())
                              return QStringLiteral("longer than the %1 characters the box holds").arg(box->maxLength());
                          return std::nullopt;
                      }},
                     [box]() -> std::optional<QString> { return box->text(); },
                     [box](const QString &v) { box->setText(v); }};
    };
    auto tick = [](const char *key, QCheckBox *box) {
        return Field{{QLatin1String(key), checkFlag},
                     [box]() -> std::optional<QString> { return flag(box->isChecked()); },
                     [box](const QString &v) { box->setChecked(v == QLatin1String("1")); }};
    };
    const Field controlMode{
        {QStringLiteral("ControlMode"),
         [](const QString &v) { return checkOneOf(v, {QStringLiteral("USB"), QStringLiteral("Analog")}); }},
        [&ui]() -> std::optional<QString> {
            if (ui.SelUSBControl->isChecked())
                return QStringLiteral("USB");
            if (ui.SelJoyControl->isChecked())
                return QStringLiteral("Analog");
            return std::nullopt;
        },
        // As the upload does: the option's own click action follows.
        [&ui, &main](const QString &v) {
            if (v == QLatin1String("USB")) {
                ui.SelUSBControl->setChecked(true);
                main.outputs().SelUSBControl_Click();
            } else {
                ui.SelJoyControl->setChecked(true);
                main.outputs().SelJoyControl_Click();
            }
        }};

    return {list("DeviceName", ui.DeviceName), list("RunCurrent", ui.Par6),  list("IdleCurrent", ui.Par8),
            list("Microstep", ui.Par9),        controlMode,                   text("TimeOut", ui.TimeOut),
            tick("DOPolarity", ui.DOPolarity), tick("DIPolarity", ui.DIPolarity), text("DOBoot", ui.DOBoot),
            tick("AutoRun0", ui.SLOAD0),       tick("AutoRun1", ui.SLOAD1)};
}

void SettingsFileControl::SaveSettings_Click()
{
    auto refuse = [this](const QString &why) {
        Dialogs::get().notice(&main_, QStringLiteral("The settings were not saved: ") + why);
    };
    QList<SettingsFile::Entry> entries;
    for (const Field &f : fields()) {
        const auto value = f.read();
        if (!value) {
            refuse(QStringLiteral("key \"%1\": the window shows no value for it.").arg(f.rule.key));
            return;
        }
        entries << SettingsFile::Entry{f.rule.key, *value};
    }
    const auto bytes = SettingsFile::format(entries);
    if (const auto *why = std::get_if<SettingsFile::Refusal>(&bytes)) {
        refuse(why->message());
        return;
    }

    saveAs(&main_, QStringLiteral("Save Settings"), filter,
           QStringLiteral("CFG%1.ini").arg(main_.ui()->DeviceName->currentText()), folder_,
           std::get<QByteArray>(bytes), QStringLiteral("The settings were not saved: "));
}

void SettingsFileControl::LoadSettings_Click()
{
    const auto name = Dialogs::get().openFileName(&main_, QStringLiteral("Load Settings"), filter, folder_);
    if (!name || name->isEmpty())
        return;
    auto refuse = [this, &name](const QString &why) {
        Dialogs::get().notice(&main_, QStringLiteral("The settings were not loaded from %1: %2").arg(*name, why));
    };
    folder_ = QFileInfo(*name).absolutePath();
    // A FIFO or a device picked here would wait for a writer, with the window dead.
    const zenta::lang::FileRead file = zenta::lang::readRegularFile(QFile::encodeName(*name).toStdString(), kMaxFileBytes);
    switch (file.status) {
    case zenta::lang::FileStatus::Ok:
        break;
    case zenta::lang::FileStatus::NotRegular:
        refuse(QStringLiteral("it is not a regular file."));
        return;
    case zenta::lang::FileStatus::TooLarge:
        refuse(file.size > kMaxFileBytes
                   ? QStringLiteral("at %1 bytes it is too large to be a settings file.").arg(file.size)
                   : QStringLiteral("it grew beyond %1 bytes while it was read.").arg(kMaxFileBytes));
        return;
    default:
        refuse(QStringLiteral("the file cannot be read."));
        return;
    }
    const QByteArray bytes(file.bytes.data(), qsizetype(file.bytes.size()));

    const QList<Field> all = fields();
    QList<SettingsFile::Rule> rules;
    for (const Field &f : all)
        rules << f.rule;
    const auto parsed = SettingsFile::parse(bytes, rules);
    if (const auto *why = std::get_if<SettingsFile::Refusal>(&parsed)) {
        refuse(why->message());
        return;
    }
    // Every value has passed its check: now, and only now, the controls change.
    const auto &entries = std::get<QList<SettingsFile::Entry>>(parsed);
    for (int i = 0; i < all.size(); ++i)
        all[i].apply(entries[i].value);
}

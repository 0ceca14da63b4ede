#include "SettingsFileControl.h"

#include "DriverSettings.h"
#include "common/Dialogs.h"
#include "common/SaveAs.h"
#include "common/TextFile.h"
#include "mainwindow/MainControlForm.h"
#include "mainwindow/OutputsControl.h"
#include "ui_MainControlForm.h"
#include "zenta/lang/regularfile.hpp"

#include <QFile>
#include <QFileInfo>

namespace {

constexpr std::size_t kMaxFileBytes = SettingsFile::kMaxFileBytes;

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
    auto &ui = *main_.ui();
    MainControlForm &main = main_;
    using Read = std::function<std::optional<QString>()>;
    using Apply = std::function<void(const QString &)>;

    auto list = [](QComboBox *combo) {
        return std::pair<Read, Apply>{[combo]() -> std::optional<QString> {
                                          if (combo->currentIndex() < 0)
                                              return std::nullopt;
                                          return combo->currentText();
                                      },
                                      [combo](const QString &v) { setComboText(combo, v); }};
    };
    // Free text goes to the device as typed, so the file keeps it as typed.
    auto text = [](QLineEdit *box) {
        return std::pair<Read, Apply>{[box]() -> std::optional<QString> { return box->text(); },
                                      [box](const QString &v) { box->setText(v); }};
    };
    auto tick = [](QCheckBox *box) {
        return std::pair<Read, Apply>{[box]() -> std::optional<QString> { return flag(box->isChecked()); },
                                      [box](const QString &v) { box->setChecked(v == QLatin1String("1")); }};
    };
    const std::pair<Read, Apply> controlMode{
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

    // In the order of SettingsFile::keys.
    const std::pair<Read, Apply> controls[] = {
        list(ui.DeviceName), list(ui.Par6),       list(ui.Par8),         list(ui.Par9),
        controlMode,         text(ui.TimeOut),    tick(ui.DOPolarity),   tick(ui.DIPolarity),
        text(ui.DOBoot),     tick(ui.SLOAD0),     tick(ui.SLOAD1)};
    const std::vector<SettingsFile::Rule> rules = SettingsFile::rules();
    QList<Field> all;
    for (std::size_t i = 0; i < rules.size(); ++i)
        all << Field{rules[i], controls[i].first, controls[i].second};
    return all;
}

void SettingsFileControl::SaveSettings_Click()
{
    auto refuse = [this](const QString &why) {
        Dialogs::get().notice(&main_, QStringLiteral("The settings were not saved: ") + why);
    };
    std::vector<SettingsFile::Entry> entries;
    for (const Field &f : fields()) {
        const auto value = f.read();
        if (!value) {
            refuse(QStringLiteral("key \"%1\": the window shows no value for it.").arg(QString::fromStdString(f.rule.key)));
            return;
        }
        // Line 1 of the value ends at its first line break: whichever comes first is named.
        if (const auto bad = TextFile::findNonLatin1(*value); bad && bad->line == 1) {
            const QString character = QString::fromUcs4(&bad->code, 1);
            const SettingsFile::Refusal why{0, f.rule.key, "the value holds \"" + character.toStdString() +
                                                               "\", which the file's Latin-1 text cannot keep"};
            refuse(QString::fromStdString(why.message()));
            return;
        }
        entries.push_back({f.rule.key, value->toLatin1().toStdString()});
    }
    const auto bytes = SettingsFile::format(entries);
    if (const auto *why = std::get_if<SettingsFile::Refusal>(&bytes)) {
        refuse(QString::fromLatin1(why->message()));
        return;
    }

    saveAs(&main_, QStringLiteral("Save Settings"), filter,
           QStringLiteral("CFG%1.ini").arg(main_.ui()->DeviceName->currentText()), folder_,
           QByteArray::fromStdString(std::get<std::string>(bytes)), QStringLiteral("The settings were not saved: "));
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

    const QList<Field> all = fields();
    std::vector<SettingsFile::Rule> rules;
    for (const Field &f : all)
        rules.push_back(f.rule);
    const auto parsed = SettingsFile::parse(file.bytes, rules);
    if (const auto *why = std::get_if<SettingsFile::Refusal>(&parsed)) {
        refuse(QString::fromLatin1(why->message()));
        return;
    }
    // Every value has passed its check: now, and only now, the controls change.
    const auto &entries = std::get<std::vector<SettingsFile::Entry>>(parsed);
    for (int i = 0; i < all.size(); ++i)
        all[i].apply(QString::fromLatin1(entries[size_t(i)].value));
}

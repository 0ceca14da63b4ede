#include "MotionControl.h"

#include "MainControlForm.h"
#include "ui_MainControlForm.h"
#include "../common/Dialogs.h"
#include "../common/NumberText.h"

namespace {

std::optional<int32_t> fieldValue(MainControlForm &main, const QLineEdit *field, const QString &name)
{
    const auto v = parseInt32(field->text());
    if (!v)
        Dialogs::get().notice(&main, QStringLiteral("%1: \"%2\" is not a whole number from -2147483648 to "
                                                    "2147483647. Nothing was sent.")
                                         .arg(name, field->text()));
    return v;
}

}  // namespace

bool MotionControl::QueryUSBMode()
{
    return main_.SendReceive(QStringLiteral("PA")) == QLatin1String("1");
}

bool MotionControl::SendSpeedAccel()
{
    auto &ui = *main_.ui();
    // Both fields are checked before either goes out, so the device never
    // gets half of a new setting.
    const auto speed = fieldValue(main_, ui.SetSpeed, QStringLiteral("Speed (PPS)"));
    if (!speed)
        return false;
    const auto accel = fieldValue(main_, ui.Accel, QStringLiteral("Accel (msec)"));
    if (!accel)
        return false;
    main_.SendReceive(QStringLiteral("HSPD=") + QString::number(*speed));
    main_.SendReceive(QStringLiteral("ACC=") + QString::number(*accel));
    return true;
}

bool MotionControl::SendUSBCommand(const QString &command)
{
    if (!main_.ui()->SelUSBControl->isChecked()) {
        Dialogs::get().notice(&main_, QStringLiteral("Not USB Control!  Please set to USB Control first."));
        return false;
    }
    if (!SendSpeedAccel())
        return false;
    main_.SendReceive(command);
    return true;
}

bool MotionControl::guardAllows()
{
    const bool selected = main_.ui()->SelUSBControl->isChecked();
    // "PA" goes out whatever the option shows.
    const bool deviceInUsbMode = QueryUSBMode();
    if (!deviceInUsbMode || !selected) {
        Dialogs::get().notice(&main_, QStringLiteral("Turn on USB Control to move."));
        return false;
    }
    return true;
}

void MotionControl::abortThen(const QString &command)
{
    if (!guardAllows())
        return;
    if (SendUSBCommand(QStringLiteral("ABORT")))
        SendUSBCommand(command);
}

void MotionControl::ABS_Click()
{
    abortThen(QStringLiteral("X") + main_.ui()->SetPosition->text());
}

void MotionControl::Datum_Click()
{
    abortThen(QStringLiteral("X0"));
}

void MotionControl::JOGN_Click()
{
    abortThen(QStringLiteral("J-"));
}

void MotionControl::JOGP_Click()
{
    abortThen(QStringLiteral("J+"));
}

void MotionControl::rstop_Click()
{
    if (guardAllows())
        SendUSBCommand(QStringLiteral("STOP"));
}

void MotionControl::Command2_Click()
{
    main_.SendReceive(QStringLiteral("ABS"));
}

void MotionControl::Command3_Click()
{
    main_.SendReceive(QStringLiteral("INC"));
}

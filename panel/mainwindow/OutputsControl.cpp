#include "OutputsControl.h"

#include "MainControlForm.h"
#include "ui_MainControlForm.h"
#include "../common/Dialogs.h"
#include "../common/NumberText.h"
#include "../common/TextFile.h"
#include "../device/modTollan.h"

void OutputsControl::toggle(const QString &output)
{
    const QString reply = main_.SendReceive(output);
    // An empty reply (closed link) counts as 0; anything else that is not a
    // number tells us nothing about the output, so nothing is switched.
    const auto value = reply.isEmpty() ? std::optional<double>(0) : parseNumber(reply);
    if (!value)
        return;
    main_.SendReceive(output + (*value == 0 ? QStringLiteral("=1") : QStringLiteral("=0")));
}

void OutputsControl::EOSet_Click()
{
    toggle(QStringLiteral("EO"));
}

void OutputsControl::DOSet1_Click()
{
    toggle(QStringLiteral("DO1"));
}

void OutputsControl::DOSet2_Click()
{
    toggle(QStringLiteral("DO2"));
}

// The time-out is the device's, read back by the settings upload; once a
// control mode is chosen it is no longer typed by hand.
void OutputsControl::SelUSBControl_Click()
{
    main_.ui()->TimeOut->setEnabled(false);
}

void OutputsControl::SelJoyControl_Click()
{
    main_.ui()->TimeOut->setEnabled(false);
}

void OutputsControl::Command1_Click()
{
    auto &ui = *main_.ui();
    if (modTollan::CommOpen) {
        const QString command = ui.Text2->text();
        // Sent as typed or not at all; the box keeps the text to be mended.
        if (const QString refusal = TextFile::commandRefusal(command); !refusal.isEmpty()) {
            Dialogs::get().notice(&main_, refusal);
            return;
        }
        ui.Text1->setText(main_.SendReceive(command));
        ui.Sent->setText(QStringLiteral("@") + command);
    }
    ui.Text2->clear();
}

#include "LinkControl.h"

#include "MainControlForm.h"
#include "StatusPoll.h"
#include "common/Dialogs.h"
#include "device/Reopen.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"

#include <QApplication>

using namespace modTollan;

namespace {

// Keeps the wait cursor up for as long as it lives.
struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

}  // namespace

void LinkControl::Reconnect_Click()
{
    if (CommOpen)
        return;
    QString problem;
    {
        WaitCursor wait;
        // Our own connection, if one is left, would make the device busy to us.
        tollanApi().Close(DeviceHandle);
        const Reopen::Result result = Reopen::reopenDevice();
        if (result != Reopen::Result::Opened) {
            problem = Reopen::failureText(result);
        } else {
            QString name;
            SendRecvString(QStringLiteral("DN"), name);
            if (name.isEmpty())
                problem = QStringLiteral("The device %1 does not answer.").arg(DeviceProduct);
            else if (!DeviceProduct.contains(name))
                problem = QStringLiteral("Another device answers in place of %1: it calls itself %2.")
                              .arg(DeviceProduct, name);
            if (!problem.isEmpty())
                tollanApi().Close(DeviceHandle);
        }
    }
    if (!problem.isEmpty()) {
        Dialogs::get().notice(&main_, problem);
        return;
    }
    CommOpen = true;
    // The same checks and reads as at start-up; a refused version closes
    // the link again and says so.
    if (!main_.readDeviceIntoWindow()) {
        tollanApi().Close(DeviceHandle);
        return;
    }
    main_.statusPoll().linkRestored();
}

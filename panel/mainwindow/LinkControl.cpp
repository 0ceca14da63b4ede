#include "LinkControl.h"

#include "MainControlForm.h"
#include "StatusPoll.h"
#include "common/Dialogs.h"
#include "device/Reopen.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"
#include "DeviceName.h"

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
            QString answer;
            SendRecvString(QStringLiteral("DN"), answer);
            if (answer.isEmpty()) {
                problem = QStringLiteral("The device %1 does not answer.").arg(DeviceProduct);
            } else {
                // Who it is by the one rule: its product string, else this
                // answer, which then must be the name it gave before.
                const std::string product = DeviceProduct.toLatin1().toStdString();
                const zenta::device::DeviceName now = zenta::device::nameOf(product, [&answer](std::string_view) {
                    return zenta::device::Reply{zenta::device::Outcome::Answered, answer.toLatin1().toStdString()};
                });
                const QString was = now.from == zenta::device::DeviceName::From::Product
                                        ? QString::fromLatin1(now.name)
                                        : DeviceAnswered;
                if (!now.known())
                    problem = QStringLiteral("The device %1 does not give its name: it answers \"%2\" to \"DN\".")
                                  .arg(DeviceProduct, answer);
                else if (answer != was && answer != DeviceRenamedTo && !was.isEmpty())
                    problem = QStringLiteral("Another device answers in place of %1: it calls itself %2.")
                                  .arg(DeviceProduct, answer);
            }
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

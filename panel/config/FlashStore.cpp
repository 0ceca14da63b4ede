#include "FlashStore.h"

#include "mainwindow/MainControlForm.h"
#include "mainwindow/MotionControl.h"
#include "common/AppExit.h"
#include "common/Dialogs.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"

using namespace modTollan;

void FlashStore::SetSN_Click()
{
    if (!CommOpen) {
        Dialogs::get().notice(&main_, QStringLiteral("Communication not open!"));
        return;
    }
    if (!Dialogs::get().question(&main_, QStringLiteral("Store to Flash"),
                                 QStringLiteral("Are you sure you want to save parameters to flash?")))
        return;
    if (main_.SendReceive(QStringLiteral("STORE")) == QLatin1String("OK"))
        Dialogs::get().notice(&main_, QStringLiteral("Store to Flash done!"));
    else
        Dialogs::get().notice(&main_, QStringLiteral("Error setting flash!"));
}

void FlashStore::Close_Click()
{
    if (CommOpen)
        tollanApi().Close(DeviceHandle);
    endProgram(0);
}

// Stops the standalone program and the axis. The transfer it once began has
// no selection to choose its mode from, so it goes no further.
void FlashStore::DownloadPar_Click()
{
    if (!CommOpen) {
        Dialogs::get().notice(&main_, QStringLiteral("Communication not open!"));
        return;
    }
    main_.SendReceive(QStringLiteral("SR=0"));
    main_.motion().SendUSBCommand(QStringLiteral("ABORT"));
}

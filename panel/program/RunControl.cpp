#include "RunControl.h"

#include "XThreadForm.h"
#include "mainwindow/MainControlForm.h"
#include "mainwindow/MotionControl.h"

void RunControl::RunProg_Click()
{
    main_.SendReceive(QStringLiteral("SR=1"));
}

// The program is told to stop before the USB-control check, so it stops
// even when the axis itself cannot be aborted from here.
void RunControl::StopProg_Click()
{
    main_.SendReceive(QStringLiteral("SR=0"));
    main_.motion().SendUSBCommand(QStringLiteral("ABORT"));
}

void RunControl::ContProg_Click()
{
    main_.SendReceive(QStringLiteral("SR=3"));
}

void RunControl::PauseProg_Click()
{
    main_.SendReceive(QStringLiteral("SR=2"));
}

void RunControl::XThread_Click()
{
    WatchDialog::openWhilePollPaused<XThreadForm>(main_);
}

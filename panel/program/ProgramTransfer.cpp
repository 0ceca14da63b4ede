#include "ProgramTransfer.h"

#include "ExternalTools.h"
#include "ProgramEdit.h"
#include "ProgramFiles.h"
#include "ProgramTools.h"
#include "common/Dialogs.h"
#include "common/TextFile.h"
#include "device/GuardedExchange.h"
#include "device/Reopen.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"
#include "ui_MainControlForm.h"
#include "zenta/lang/transfer.hpp"

#include <QFile>
#include <optional>
#include <QTextCursor>
#include <QThread>
#include <QTimer>

using namespace ExternalTools;
using namespace modTollan;

namespace {

const QString setupName = QStringLiteral("merrow_setup.txt");
const QString compiledName = QStringLiteral("CompileOut.txt");
const QString downloadResult = QStringLiteral("DownloadOut.txt");
const QString uploadName = QStringLiteral("UploadOut.txt");
const QString decompileResult = QStringLiteral("DecompileOut.prg");

QStringList loaderSetup(const QString &lin, const QString &id, const QString &operation, const QString &file)
{
    return {"LIN:" + lin,   QStringLiteral("COM:USB"), QStringLiteral("POR:1"), QStringLiteral("BAU:9600"),
            "DEV:" + id,    "OPE:" + operation,        "FIL:" + file,           QStringLiteral("MOD:ZENTA-KDR-V3")};
}

// Control characters written out, so a message shows what was there.
QString visible(const QString &text)
{
    QString out;
    for (QChar c : text)
        out += c < u' ' ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0')) : QString(c);
    return out;
}

// Writes a setup file, or says why not. A value from the device that would
// break the file into other lines, or that Latin-1 cannot hold, is refused
// rather than written.
bool writeSetup(QWidget *parent, const QString &name, const QStringList &entries)
{
    const QString path = exePath(name);
    for (const QString &entry : entries)
        for (QChar c : entry)
            if (c < u' ' || c.unicode() > 0xff) {
                Dialogs::get().notice(parent, "The line \"" + visible(entry) + "\" cannot be written to the setup file " +
                                                  path + "!");
                return false;
            }
    if (!writeSetupFile(path, entries)) {
        Dialogs::get().notice(parent, "The setup file " + path + " could not be written!");
        return false;
    }
    return true;
}

// A result file left by an earlier run must never pass for this run's.
void forget(const QString &name)
{
    QFile::remove(exePath(name));
}

// Keeps the status timer stopped for as long as it lives: how the upload
// keeps the poll off the device the loader holds. The download pauses the
// poll instead (MainControlForm::PollPause): its ticks still come and skip,
// and the cycle starts again at its first step afterwards; the upload's
// stopped timer sends no tick at all, and the cycle goes on where it was.
// Either keeps the device free for the loader. Both stay because what the
// main window's timer does during each transfer is part of that transfer's
// contract with the window, not because the poll needs two guards.
class TimerStop {
public:
    explicit TimerStop(QTimer *timer) : timer_(timer) { timer_->stop(); }
    ~TimerStop() { timer_->start(); }
    TimerStop(const TimerStop &) = delete;
    TimerStop &operator=(const TimerStop &) = delete;

private:
    QTimer *timer_;
};

// Gives the device back to the panel on every way out of a transfer: the
// same device, found by its product string, not whatever now stands at its
// old place in the list. One that cannot be had back is a lost link.
class DeviceLoan {
public:
    explicit DeviceLoan(QWidget *parent) : parent_(parent) { tollanApi().Close(DeviceHandle); }
    ~DeviceLoan()
    {
        if (Reopen::reopenDevice() != Reopen::Result::Opened)
            loseLink(parent_);
    }
    DeviceLoan(const DeviceLoan &) = delete;
    DeviceLoan &operator=(const DeviceLoan &) = delete;

private:
    QWidget *parent_;
};

// The loader takes an empty or odd device ID as "the only device present";
// only a name of the device-name form may go into its setup.
bool isDeviceName(const QString &dn)
{
    // A character outside Latin-1 becomes '?', which is no digit.
    return zenta::lang::isDeviceName(dn.toLatin1().toStdString());
}

bool refuseOddName(QWidget *parent, const QString &what, const QString &dn)
{
    if (isDeviceName(dn))
        return false;
    Dialogs::get().notice(parent, what + " refused: the device did not give its name (it answered \"" + dn +
                                      "\" to \"DN\"). Nothing was sent.");
    return true;
}

}  // namespace

QString ProgramTransfer::deviceId(const QString &dnReply)
{
    return dnReply.mid(3, 2);
}

void ProgramTransfer::DownloadSAP_Click()
{
    if (!CommOpen) {
        Dialogs::get().notice(&main_, QStringLiteral("Communication not open!"));
        return;
    }
    QString reply;
    SendRecvString(QStringLiteral("SR0=0"), reply);
    SendRecvString(QStringLiteral("SR1=0"), reply);
    QString dn;
    SendRecvString(QStringLiteral("DN"), dn);
    if (refuseOddName(&main_, QStringLiteral("Download"), dn))
        return;

    if (!exeFolderReady(&main_))
        return;
    // From the check of the compiled file to the report read: no other
    // panel's compile or transfer in between. The report is shown once the
    // device is back and the tools are free again.
    std::optional<ToolLock> lock(std::in_place, &main_);
    if (!lock->held())
        return;
    if (!compiledOutputIsOurs()) {
        lock.reset();
        Dialogs::get().notice(&main_, compiledInThisRun()
                                          ? "The compiled program " + exePath(compiledName) +
                                                " is not the one this panel compiled last (another panel may have "
                                                "compiled since). Compile again, then download."
                                          : QStringLiteral("This panel has not compiled a program since it started. "
                                                           "Compile, then download."));
        return;
    }
    bool ok = false;
    {
        // Timers run under the report's box; the poll stays off the device
        // until the transfer's outcome has been taken in.
        MainControlForm::PollPause pause(main_);
        QThread::msleep(100);
        bool ran = false;
        {
            DeviceLoan loan(&main_);
            QThread::msleep(100);
            ran = download(deviceId(dn));
        }
        const ResultRead report = ran ? readResultFile(exePath(downloadResult)) : ResultRead{};
        lock.reset();
        ok = ran && judgeResult(&main_, report) == ResultOk;
        main_.PollPhase = 1;
    }
    main_.program().running.downloaded(ok);
}

bool ProgramTransfer::download(const QString &id)
{
    if (!exeFolderReady(&main_) ||
        !writeSetup(&main_, setupName, loaderSetup(QStringLiteral(" 1275"), id, "DOWNLOAD", compiledName)))
        return false;
    forget(downloadResult);
    return LaunchAndWait(&main_, exePath(QStringLiteral("Merrow")));
}

void ProgramTransfer::UploadSAP_Click()
{
    if (!CommOpen)
        return;
    QString dn;
    SendRecvString(QStringLiteral("DN"), dn);
    if (refuseOddName(&main_, QStringLiteral("Upload"), dn))
        return;

    if (!exeFolderReady(&main_))
        return;
    std::optional<ToolLock> lock(std::in_place, &main_);
    if (!lock->held())
        return;
    bool ok = false;
    {
        TimerStop stopped(main_.Timer1());
        bool ran = false;
        {
            DeviceLoan loan(&main_);
            ran = upload(deviceId(dn));
        }
        // The device is back (or lost) and the tools free before the report is shown.
        const ResultRead report = ran ? readResultFile(exePath(decompileResult)) : ResultRead{};
        lock.reset();
        ok = ran && takeUpload(report);
    }
    main_.program().running.uploaded(ok);
}

bool ProgramTransfer::upload(const QString &id)
{
    if (!exeFolderReady(&main_) ||
        !writeSetup(&main_, setupName, loaderSetup(QStringLiteral("1275"), id, "UPLOAD", uploadName)))
        return false;
    forget(uploadName);
    forget(decompileResult);
    // The loader's own outcome is judged through the decompile, which
    // passes a failed upload's reason on.
    if (!LaunchAndWait(&main_, exePath(QStringLiteral("Merrow"))) ||
        !writeSetup(&main_, QStringLiteral("vorlag_setup.txt"),
                    {QStringLiteral("MOD:ZENTA-QLX"), QStringLiteral("OPE:DECOMPILE"), "FIL:" + uploadName}) ||
        !LaunchAndWait(&main_, exePath(QStringLiteral("Vorlag"))))
        return false;
    return true;
}

bool ProgramTransfer::takeUpload(const ResultRead &report)
{
    // Replaced in one edit, so one Undo brings back what the operator had;
    // a result that cannot be read leaves the editor alone.
    if (const auto &lines = report.lines) {
        QTextCursor all(main_.ui()->OrgProgram->document());
        all.beginEditBlock();
        all.select(QTextCursor::Document);
        all.insertText(editorTextOf(*lines));
        all.endEditBlock();
    }
    return judgeResult(&main_, report) == ResultOk;
}

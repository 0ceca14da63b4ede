#include "ProgramTransfer.h"

#include "ExternalTools.h"
#include "ProgramEdit.h"
#include "ProgramFiles.h"
#include "ProgramTools.h"
#include "common/Dialogs.h"
#include "common/TextFile.h"
#include "CompiledProgram.h"
#include "DeviceName.h"
#include "device/EventWait.h"
#include "device/GuardedExchange.h"
#include "device/Reopen.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"
#include "ui_MainControlForm.h"
#include "zenta/lang/regularfile.hpp"
#include "zenta/lang/transfer.hpp"

#include <QFile>
#include <optional>
#include <string>
#include <vector>
#include <QTextCursor>
#include <QTimer>

using namespace ExternalTools;
using namespace modTollan;

namespace {

const QString setupName = QStringLiteral("merrow_setup.txt");
const QString compiledName = QStringLiteral("CompileOut.txt");
const QString downloadResult = QStringLiteral("DownloadOut.txt");
const QString uploadName = QStringLiteral("UploadOut.txt");
const QString decompileResult = QStringLiteral("DecompileOut.prg");
// The most compiled lines the device holds: the setup's LIN.
constexpr int kLoaderLines = 1275;

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

// The device ID for the loader's setup, or none after telling the operator
// why: the loader takes an empty or odd ID as "the only device present", so
// only the ID of a reply of the device-name form may go into it.
std::optional<QString> idFor(QWidget *parent, const QString &what, const QString &dn)
{
    if (const auto id = DeviceIdOf(dn))
        return id;
    Dialogs::get().notice(parent, what + " refused: the device did not give its name (it answered \"" + dn +
                                      "\" to \"DN\"). Nothing was sent.");
    return std::nullopt;
}

// What the loader would refuse in the compiled file, in its words; nothing
// when it would send it. Read while the tools are held, so it is the file the
// loader gets.
std::optional<QString> loaderRefusal()
{
    const zenta::lang::FileRead file = zenta::lang::readRegularFile(
        QFile::encodeName(exePath(compiledName)).toStdString(), zenta::lang::kMaxTextFile);
    if (file.status != zenta::lang::FileStatus::Ok)
        return "The compiled program " + exePath(compiledName) + " cannot be read. Nothing was sent.";
    const auto program = zenta::device::compiledProgram(file.bytes, compiledName.toStdString(), kLoaderLines);
    const auto *failure = std::get_if<zenta::device::Failure>(&program);
    if (!failure)
        return std::nullopt;
    QStringList lines;
    for (const std::string &line : failure->lines)
        lines << QString::fromLatin1(line);
    return lines.join(u'\n');
}

// How many listed devices have the ID `id` by the one rule (DeviceName.h),
// ours among them: what the loader will find. Another device whose product
// string names nobody is opened and asked, off the GUI thread; one that is
// busy or silent has no known ID and counts for none, as the loader cannot
// open or ask it either.
std::size_t devicesWithId(const QString &id)
{
    const std::string wanted = id.toStdString();
    if (DeviceSerial.isEmpty()) {
        // Without serials ours cannot be told from the rest: product strings only.
        std::vector<std::string> products;
        for (const QString &product : Reopen::listedProducts())
            products.push_back(product.toStdString());
        return zenta::lang::productsNaming(products, wanted);
    }
    const std::string ours = DeviceSerial.toLatin1().toStdString();
    EventWait::InputHold hold;
    return EventWait::offThread<std::size_t>([wanted, ours] {
        zenta::device::Library lib = deviceLibrary();
        const auto text = [&lib](int32_t index, int32_t selector) {
            char buffer[TOLLANCOM_PRODUCT_BUFFER] = {};
            if (lib.getProductString(index, buffer, selector) != 1)
                return std::string();
            buffer[sizeof buffer - 1] = '\0';
            return std::string(buffer);
        };
        std::size_t n = 1;  // ours: its "DN" gave the ID
        int32_t count = 0;
        if ((lib.getNumDevices(&count) & 0xFFFF) != 1)
            return n;
        for (int32_t i = 0; i < count && i < 1000; ++i)
            if (text(i, 1) != ours && zenta::device::nameOfListed(lib, i, text(i, 0)).id() == wanted)
                ++n;
        return n;
    });
}

}  // namespace

// The device lent to the tools: the panel's handle is closed from the start
// of the loan until giveBack(), which takes the same device back (found by
// its serial, Reopen) or counts it lost. Meanwhile no input reaches the
// panel's windows but Esc, which stops the running tool and whatever it
// started, lets no further tool start (stopped()), and has STOP sent as soon
// as the device is back.
class ProgramTransfer::DeviceLoan {
public:
    explicit DeviceLoan(MainControlForm &main) : main_(main)
    {
        hold_.emplace([this] {
            stopped_ = true;
            stopRunningTool();
        });
        tollanApi().Close(DeviceHandle);
    }
    ~DeviceLoan() { giveBack(); }
    DeviceLoan(const DeviceLoan &) = delete;
    DeviceLoan &operator=(const DeviceLoan &) = delete;

    bool stopped() const { return stopped_; }

    // On every way out of a transfer; once.
    void giveBack()
    {
        if (!hold_)
            return;
        const bool back = Reopen::reopenDevice() == Reopen::Result::Opened;
        // From here Esc is the stop key's again.
        hold_.reset();
        if (!back)
            loseLink(&main_);
        else if (stopped_)
            main_.SendReceive(QStringLiteral("STOP"));
    }

private:
    MainControlForm &main_;
    std::optional<EventWait::InputHold> hold_;
    bool stopped_ = false;
};

std::optional<QString> ProgramTransfer::deviceId(const QString &dnReply)
{
    return DeviceIdOf(dnReply);
}

void ProgramTransfer::DownloadSAP_Click()
{
    if (!CommOpen) {
        Dialogs::get().notice(&main_, QStringLiteral("Communication not open!"));
        return;
    }
    // A refusal leaves the device as it was: every check comes before the
    // programs are stopped.
    QString dn;
    SendRecvString(QStringLiteral("DN"), dn);
    const std::optional<QString> id = idFor(&main_, QStringLiteral("Download"), dn);
    if (!id || !exeFolderReady(&main_))
        return;
    // From the check of the compiled file to the report read: no other
    // panel's compile or transfer in between. The report is shown once the
    // device is back and the tools are free again.
    std::optional<ToolLock> lock(std::in_place, &main_);
    if (!lock->held())
        return;
    // The poll ran while the panel waited for the tools: a link lost
    // meanwhile has been reported and let go, and stays so.
    if (!CommOpen)
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
    if (const auto refusal = loaderRefusal()) {
        lock.reset();
        Dialogs::get().notice(&main_, *refusal);
        return;
    }
    // Units share a name until one is renamed; the loader then takes neither.
    const std::size_t sharing = devicesWithId(*id);
    // Others were asked meanwhile, with the poll running: a link lost then stays let go.
    if (!CommOpen)
        return;
    if (sharing > 1) {
        lock.reset();
        Dialogs::get().notice(&main_, "More than one device has the ID " + *id +
                                          ": the loader cannot tell which to load. Give each its own ID, then "
                                          "download. Nothing was sent.");
        return;
    }
    QString reply;
    SendRecvString(QStringLiteral("SR0=0"), reply);
    SendRecvString(QStringLiteral("SR1=0"), reply);
    bool ok = false;
    {
        // Timers run under the report's box; the poll stays off the device
        // until the transfer's outcome has been taken in.
        MainControlForm::PollPause pause(main_);
        EventWait::InputHold hold;
        EventWait::sleep(100);
        bool ran = false;
        // Esc meanwhile went to the device, and may have found it gone.
        if (CommOpen) {
            DeviceLoan loan(main_);
            EventWait::sleep(100);
            ran = !loan.stopped() && download(*id);
            loan.giveBack();
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
        !writeSetup(&main_, setupName, loaderSetup(" " + QString::number(kLoaderLines), id, "DOWNLOAD", compiledName)))
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
    const std::optional<QString> id = idFor(&main_, QStringLiteral("Upload"), dn);
    if (!id || !exeFolderReady(&main_))
        return;
    std::optional<ToolLock> lock(std::in_place, &main_);
    if (!lock->held())
        return;
    // As for a download: a link lost while the panel waited stays let go.
    if (!CommOpen)
        return;
    bool ok = false;
    {
        TimerStop stopped(main_.Timer1());
        bool ran = false;
        {
            DeviceLoan loan(main_);
            ran = upload(*id, loan);
            loan.giveBack();
        }
        // The device is back (or lost) and the tools free before the report is shown.
        const ResultRead report = ran ? readResultFile(exePath(decompileResult)) : ResultRead{};
        lock.reset();
        ok = ran && takeUpload(report);
    }
    main_.program().running.uploaded(ok);
}

bool ProgramTransfer::upload(const QString &id, const DeviceLoan &loan)
{
    if (!exeFolderReady(&main_) ||
        !writeSetup(&main_, setupName, loaderSetup(QString::number(kLoaderLines), id, "UPLOAD", uploadName)))
        return false;
    forget(uploadName);
    forget(decompileResult);
    // The loader's own outcome is judged through the decompile, which
    // passes a failed upload's reason on.
    if (!LaunchAndWait(&main_, exePath(QStringLiteral("Merrow"))) || loan.stopped() ||
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

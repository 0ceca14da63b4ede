#pragma once

#include "ExternalTools.h"

#include <QString>
#include <optional>

class MainControlForm;

// Download and Upload of the standalone program through the loader Merrow.
// The loader reaches the device itself, so the panel hands the device over
// for the tool's run and takes it back afterwards, whatever happened. A
// refused transfer leaves the device as it was: every check the panel can
// make comes before anything is sent but "DN".
class ProgramTransfer {
public:
    explicit ProgramTransfer(MainControlForm &main) : main_(main) {}

    void DownloadSAP_Click();
    void UploadSAP_Click();

    // The device ID as the loader's setup wants it: characters 4 and 5 of
    // a reply to "DN" that is "CFG" and two digits (modTollan::DeviceIdOf);
    // none for any other reply, and then nothing is sent.
    static std::optional<QString> deviceId(const QString &dnReply);

private:
    class DeviceLoan;

    // The tool runs, with the device handed over. False, after telling the
    // operator why, when a step failed or the tools reported failure.
    bool download(const QString &id);
    bool upload(const QString &id, const DeviceLoan &loan);
    // The decompiled upload into the editor, and its report judged.
    bool takeUpload(const ExternalTools::ResultRead &report);

    MainControlForm &main_;
};

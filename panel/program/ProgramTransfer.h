#pragma once

#include "ExternalTools.h"

#include <QString>

class MainControlForm;

// Download and Upload of the standalone program through the loader Merrow.
// The loader reaches the device itself, so the panel hands the device over
// for the tool's run and takes it back afterwards, whatever happened.
class ProgramTransfer {
public:
    explicit ProgramTransfer(MainControlForm &main) : main_(main) {}

    void DownloadSAP_Click();
    void UploadSAP_Click();

    // The device ID as the loader's setup wants it: characters 4 and 5 of
    // the reply to "DN", fewer when the reply is shorter.
    static QString deviceId(const QString &dnReply);

private:
    // The tool runs, with the device handed over. False, after telling the
    // operator why, when a step failed or the tools reported failure.
    bool download(const QString &id);
    bool upload(const QString &id);
    // The decompiled upload into the editor, and its report judged.
    bool takeUpload(const ExternalTools::ResultRead &report);

    MainControlForm &main_;
};

#include "mainwindow/MainControlForm.h"

#include "DriverSettings.h"
#include "FlashStore.h"
#include "SettingsFileControl.h"
#include "ui_MainControlForm.h"

void MainControlForm::wireConfig()
{
    settings_ = std::make_unique<DriverSettings>(*this);
    store_ = std::make_unique<FlashStore>(*this);
    settingsFile_ = std::make_unique<SettingsFileControl>(*this);
    DriverSettings *s = settings_.get();
    FlashStore *f = store_.get();
    connect(ui_->DownloadDrv, &QPushButton::clicked, this, [s] { s->DownloadDrv_Click(); });
    connect(ui_->UploadDriver, &QPushButton::clicked, this, [s] { s->UploadDriver_Click(); });
    connect(ui_->UploadPar, &QPushButton::clicked, this, [this] { UploadPar_Click(); });
    connect(ui_->SetSN, &QPushButton::clicked, this, [f] { f->SetSN_Click(); });
    connect(ui_->SetDN, &QPushButton::clicked, this, [f] { f->SetDN_Click(); });
    connect(ui_->DownloadPar, &QPushButton::clicked, this, [f] { f->DownloadPar_Click(); });
    connect(ui_->Close, &QPushButton::clicked, this, [f] { f->Close_Click(); });
    SettingsFileControl *file = settingsFile_.get();
    connect(ui_->SaveSettings, &QPushButton::clicked, this, [file] { file->SaveSettings_Click(); });
    connect(ui_->LoadSettings, &QPushButton::clicked, this, [file] { file->LoadSettings_Click(); });
}

void MainControlForm::UploadPar_Click()
{
    settings_->UploadDriver_Click();
}

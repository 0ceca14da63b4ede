#include "mainwindow/MainControlForm.h"

#include "DriverSettings.h"
#include "FlashStore.h"
#include "ui_MainControlForm.h"

void MainControlForm::wireConfig()
{
    settings_ = std::make_unique<DriverSettings>(*this);
    store_ = std::make_unique<FlashStore>(*this);
    DriverSettings *s = settings_.get();
    FlashStore *f = store_.get();
    connect(ui_->DownloadDrv, &QPushButton::clicked, this, [s] { s->DownloadDrv_Click(); });
    connect(ui_->UploadDriver, &QPushButton::clicked, this, [s] { s->UploadDriver_Click(); });
    connect(ui_->UploadPar, &QPushButton::clicked, this, [this] { UploadPar_Click(); });
    connect(ui_->SetSN, &QPushButton::clicked, this, [f] { f->SetSN_Click(); });
    connect(ui_->SetDN, &QPushButton::clicked, this, [f] { f->SetDN_Click(); });
    connect(ui_->DownloadPar, &QPushButton::clicked, this, [f] { f->DownloadPar_Click(); });
    connect(ui_->Close, &QPushButton::clicked, this, [f] { f->Close_Click(); });
}

void MainControlForm::UploadPar_Click()
{
    settings_->UploadDriver_Click();
}

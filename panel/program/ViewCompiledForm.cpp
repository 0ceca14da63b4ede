#include "ViewCompiledForm.h"

#include "common/StopKey.h"

#include "ProgramFiles.h"
#include "ui_ViewCompiledForm.h"
#include "common/TextFile.h"

ViewCompiledForm::ViewCompiledForm(QWidget *parent)
    : QDialog(parent), ui_(std::make_unique<Ui::ViewCompiledForm>())
{
    ui_->setupUi(this);
    StopKey::cover(this);
    QFont mono(QStringLiteral("Courier"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setFixedPitch(true);
    ui_->ProgText->setFont(mono);
    connect(ui_->Save, &QPushButton::clicked, this, [this] { Save_Click(); });
    connect(ui_->Close, &QPushButton::clicked, this, [this] { Close_Click(); });
}

ViewCompiledForm::~ViewCompiledForm() = default;

void ViewCompiledForm::Form_Load()
{
    ui_->ProgText->setPlainText(txt);
    loaded_ = true;
}

void ViewCompiledForm::showEvent(QShowEvent *event)
{
    if (!loaded_)
        Form_Load();
    QDialog::showEvent(event);
}

void ViewCompiledForm::Save_Click()
{
    saveTextAs(this, QStringLiteral("Save Compiled Program As"), QStringLiteral("Compiled Program Files (*.cpg)|*.cpg"),
               TextFile::documentText(*ui_->ProgText));
}

void ViewCompiledForm::Close_Click()
{
    reject();
}

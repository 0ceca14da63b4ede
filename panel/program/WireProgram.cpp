#include "mainwindow/MainControlForm.h"

#include "DryRunForm.h"
#include "ExternalTools.h"
#include "ProgramCheck.h"
#include "ProgramTools.h"
#include "mainwindow/StatusPoll.h"
#include "ui_MainControlForm.h"

#include <QLabel>

ProgramTools::ProgramTools(MainControlForm &main)
    : QObject(&main), files(main), compile(main), transfer(main), running(*main.ui()->OrgProgram), run(main)
{
}

// Connects the program editor, compile, transfer, viewer and run control
// buttons of the main window, and the running-line mark to what the status
// poll reads.
void MainControlForm::wireProgram()
{
    program_ = new ProgramTools(*this);
    ProgramFiles *f = &program_->files;
    CompileControl *c = &program_->compile;
    connect(ui_->NewProg, &QPushButton::clicked, this, [f] { f->NewProg_Click(); });
    connect(ui_->OpenProg, &QPushButton::clicked, this, [f] { f->OpenProg_Click(); });
    connect(ui_->SaveProg, &QPushButton::clicked, this, [f] { f->SaveProg_Click(); });
    connect(ui_->CompileAll, &QPushButton::clicked, this, [c] { c->CompileAll_Click(); });
    connect(ui_->ViewCompiled, &QPushButton::clicked, this, [c] { c->ViewCompiled_Click(); });
    ProgramTransfer *t = &program_->transfer;
    connect(ui_->DownloadSAP, &QPushButton::clicked, this, [t] { t->DownloadSAP_Click(); });
    connect(ui_->UploadSAP, &QPushButton::clicked, this, [t] { t->UploadSAP_Click(); });
    RunningLine *r = &program_->running;
    poll_->readProgram0StateWhile([r] { return r->knowsDeviceProgram(); });
    connect(poll_.get(), &StatusPoll::polled, this, [r](const PollReading &reading) {
        if (reading.programCounter)
            r->counterRead(*reading.programCounter);
        if (reading.program0State)
            r->stateRead(*reading.program0State);
    });
    RunControl *rc = &program_->run;
    connect(ui_->RunProg, &QPushButton::clicked, this, [rc] { rc->RunProg_Click(); });
    connect(ui_->StopProg, &QPushButton::clicked, this, [rc] { rc->StopProg_Click(); });
    connect(ui_->ContProg, &QPushButton::clicked, this, [rc] { rc->ContProg_Click(); });
    connect(ui_->PauseProg, &QPushButton::clicked, this, [rc] { rc->PauseProg_Click(); });
    connect(ui_->XThread, &QPushButton::clicked, this, [rc] { rc->XThread_Click(); });
    wireWorkbench();
}

// The check while typing, its label beside "Lines:", and the "Dry Run..."
// button under "Compile". Made here rather than in the form so the layout
// the form describes stays as it is.
void MainControlForm::wireWorkbench()
{
    auto *label = new QLabel(this);
    label->setObjectName(QStringLiteral("ProgramCheck"));
    // A long message must not widen the window: the whole text is the tooltip.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    label->setMinimumWidth(120);
    ui_->box_53->insertWidget(ui_->box_53->indexOf(ui_->CompiledLines) + 1, label, 1);
    ui_->box_53->insertSpacing(ui_->box_53->indexOf(label), 12);
    program_->check = new ProgramCheck(*ui_->OrgProgram, *label);

    auto *button = new QPushButton(QStringLiteral("Dry Run..."), this);
    button->setObjectName(QStringLiteral("DryRun"));
    button->setToolTip(QStringLiteral("Run the program on the device model, never on the device"));
    ui_->buttonColumn->insertWidget(ui_->buttonColumn->indexOf(ui_->CompileAll) + 1, button);
    connect(button, &QPushButton::clicked, this, [this] {
        if (!program_->dryRun)
            program_->dryRun = new DryRunForm(*this);
        program_->dryRun->DryRun_Click();
    });
}

int32_t MainControlForm::CountCompiledLines()
{
    return ExternalTools::CountCompiledLines();
}

void MainControlForm::Highlight1(int16_t lineNumber, QPlainTextEdit *OrgProgram)
{
    CompileControl::Highlight1(lineNumber, OrgProgram);
}

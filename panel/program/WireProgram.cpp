#include "mainwindow/MainControlForm.h"

#include "ExternalTools.h"
#include "ProgramTools.h"
#include "mainwindow/StatusPoll.h"
#include "ui_MainControlForm.h"

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
}

int32_t MainControlForm::CountCompiledLines()
{
    return ExternalTools::CountCompiledLines();
}

void MainControlForm::Highlight1(int16_t lineNumber, QPlainTextEdit *OrgProgram)
{
    CompileControl::Highlight1(lineNumber, OrgProgram);
}

#include "mainwindow/MainControlForm.h"

#include "ExternalTools.h"
#include "ProgramTools.h"
#include "ui_MainControlForm.h"

ProgramTools::ProgramTools(MainControlForm &main) : QObject(&main), files(main), compile(main)
{
}

// Connects the program editor, compile and viewer buttons of the main window.
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
}

int32_t MainControlForm::CountCompiledLines()
{
    return ExternalTools::CountCompiledLines();
}

void MainControlForm::Highlight1(int16_t lineNumber, QPlainTextEdit *OrgProgram)
{
    CompileControl::Highlight1(lineNumber, OrgProgram);
}

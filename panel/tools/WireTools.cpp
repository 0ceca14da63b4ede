#include "mainwindow/MainControlForm.h"

#include "TerminalForm.h"
#include "VariableForm.h"
#include "ui_MainControlForm.h"

// The terminal is created on first use as a child of this window, so its
// PreviousCommand and history outlive each opening; the monitor is loaded
// afresh every time.
void MainControlForm::wireTools()
{
    connect(ui_->ManualTerminal, &QPushButton::clicked, this, [this] { TerminalForm::ManualTerminal_Click(this); });
    connect(ui_->Command5, &QPushButton::clicked, this, [this] { VariableForm::Command5_Click(*this); });
}

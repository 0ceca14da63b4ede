#include "mainwindow/MainControlForm.h"

// Connects the terminal and variable-monitor buttons of the main window.
void MainControlForm::wireTools()
{
}

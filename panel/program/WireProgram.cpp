#include "mainwindow/MainControlForm.h"

// Connects the program editor, compile and viewer buttons of the main window.
void MainControlForm::wireProgram()
{
}

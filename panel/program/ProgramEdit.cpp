#include "ProgramEdit.h"

ProgramEdit::ProgramEdit(QWidget *parent) : QPlainTextEdit(parent)
{
}

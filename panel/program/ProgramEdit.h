#pragma once

#include <QPlainTextEdit>

// The program editor control (OrgProgram).
class ProgramEdit : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit ProgramEdit(QWidget *parent = nullptr);
};

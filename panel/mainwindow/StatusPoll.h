#pragma once

#include <QString>

class MainControlForm;
class QLineEdit;

// The steady loop: position and program counter every tick, plus one of four
// rotating status groups.
class StatusPoll {
public:
    explicit StatusPoll(MainControlForm &main) : main_(main) {}

    void Timer1_Timer();

    // Program state code to its text; empty for codes that leave the display.
    static QString programStateText(int32_t code);

private:
    void readMotionState();
    void readInputsOutputs();
    void readAnalogAndMode();
    void readProgramState();

    MainControlForm &main_;
    bool showingLostLink_ = false;
};

// Writes only when the text differs, so a steady axis costs no repaint.
void setTextIfChanged(QLineEdit *box, const QString &text);

#pragma once

#include <QString>

class MainControlForm;

// The "Axis Control" buttons and the USB-control-guarded senders.
class MotionControl {
public:
    explicit MotionControl(MainControlForm &main) : main_(main) {}

    bool QueryUSBMode();
    // Pushes speed and acceleration. False (after telling the operator which
    // field) when a field holds no usable number; then nothing was sent.
    bool SendSpeedAccel();
    // Speed, acceleration, then the command. False when nothing went out.
    bool SendUSBCommand(const QString &command);

    void ABS_Click();
    void Datum_Click();
    void JOGN_Click();
    void JOGP_Click();
    void rstop_Click();
    void Command2_Click();
    void Command3_Click();

private:
    bool guardAllows();
    void abortThen(const QString &command);

    MainControlForm &main_;
};

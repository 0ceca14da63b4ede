#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

class MainControlForm;
class QLineEdit;

// What one tick of the poll read, for windows that follow the axis or the
// program without exchanges of their own. Texts are the replies as shown; a
// group not read this tick leaves its text empty or its value absent.
struct PollReading {
    bool linkOpen = true;  // false: the tick found the link closed and read nothing
    QString position;
    QString motionState;   // "IDLE", "CONST", "ACCEL" or "DECEL"
    std::optional<QString> programCounter;  // the "SPC" reply, every tick that reads
    std::optional<int32_t> programState;    // the "SASTAT" code, on the program-state step
    // Program 0's own "SASTAT0" code, on the same step while asked for:
    // "SASTAT" speaks for both programs, "SPC" for program 0 alone.
    std::optional<int32_t> program0State;
};

// The steady loop: position and program counter every tick, plus one of four
// rotating status groups.
class StatusPoll : public QObject {
    Q_OBJECT
public:
    explicit StatusPoll(MainControlForm &main) : main_(main) {}

    void Timer1_Timer();
    // The link is open again: normal colours, the poll from its first group.
    void linkRestored();

    // Reads program 0's own state on the program-state step while `wanted`
    // says so; one exchange more, asked only by whoever follows program 0.
    void readProgram0StateWhile(std::function<bool()> wanted) { program0Wanted_ = std::move(wanted); }

signals:
    // After every tick that was not skipped by PausePolling.
    void polled(const PollReading &reading);

private:
    QString readMotionState();
    void readInputsOutputs();
    void readAnalogAndMode();
    std::optional<int32_t> readProgramState();

    MainControlForm &main_;
    bool showingLostLink_ = false;
    QString normalStyle_;  // of the position and status boxes, for after a reconnect
    std::function<bool()> program0Wanted_;
};

// Writes only when the text differs, so a steady axis costs no repaint.
void setTextIfChanged(QLineEdit *box, const QString &text);

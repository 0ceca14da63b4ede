#include "StatusPoll.h"

#include "MainControlForm.h"
#include "ui_MainControlForm.h"
#include "../common/NumberText.h"
#include "../device/modTollan.h"

#include <QLocale>

using namespace modTollan;

void setTextIfChanged(QLineEdit *box, const QString &text)
{
    if (box->text() != text)
        box->setText(text);
}

QString StatusPoll::programStateText(int32_t code)
{
    switch (code) {
    case 0: return QStringLiteral("Idle");
    case 1: return QStringLiteral("Running");
    case 2: return QStringLiteral("Paused");
    case 4: return QStringLiteral("Errored");
    default: return {};
    }
}

void StatusPoll::Timer1_Timer()
{
    auto &ui = *main_.ui();
    if (!CommOpen) {
        setTextIfChanged(ui.Pos, QStringLiteral("COM ERR"));
        setTextIfChanged(ui.Stat, QStringLiteral("COM ERR"));
        if (!showingLostLink_) {
            // Red until the operator reconnects.
            normalStyle_ = ui.Pos->styleSheet();
            const QString red = QStringLiteral("background-color: #ff0000;");
            ui.Pos->setStyleSheet(red);
            ui.Stat->setStyleSheet(red);
            ui.Reconnect->setVisible(true);
            showingLostLink_ = true;
        }
        PollReading closed;
        closed.linkOpen = false;
        emit polled(closed);
        return;
    }
    if (main_.PausePolling)
        return;

    PollReading reading;
    reading.position = main_.SendReceive(QStringLiteral("PX"));
    setTextIfChanged(ui.Pos, reading.position);
    reading.programCounter = main_.SendReceive(QStringLiteral("SPC"));
    setTextIfChanged(ui.ProgIndex, *reading.programCounter);
    switch (main_.PollPhase) {
    case 1: reading.motionState = readMotionState(); break;
    case 2: readInputsOutputs(); break;
    case 3: readAnalogAndMode(); break;
    case 4:
        reading.programState = readProgramState();
        if (program0Wanted_ && program0Wanted_())
            reading.program0State = replyToInt32(main_.SendReceive(QStringLiteral("SASTAT0")));
        break;
    default: break;
    }
    main_.PollPhase = static_cast<int16_t>(main_.PollPhase + 1 > 4 ? 1 : main_.PollPhase + 1);
    reading.linkOpen = CommOpen;
    emit polled(reading);
}

void StatusPoll::linkRestored()
{
    auto &ui = *main_.ui();
    if (showingLostLink_) {
        ui.Pos->setStyleSheet(normalStyle_);
        ui.Stat->setStyleSheet(normalStyle_);
        showingLostLink_ = false;
    }
    ui.Reconnect->setVisible(false);
    main_.PollPhase = 1;
}

// A reply that is not a number leaves its displays as they are for this tick.
QString StatusPoll::readMotionState()
{
    auto &ui = *main_.ui();
    const auto m = replyToInt32(main_.SendReceive(QStringLiteral("MST")));
    if (!m)
        return {};
    QString state = QStringLiteral("IDLE");
    if (BitAnd24(*m, 1) == 1)
        state = QStringLiteral("CONST");
    if (BitAnd24(*m, 2) == 2)
        state = QStringLiteral("ACCEL");
    if (BitAnd24(*m, 4) == 4)
        state = QStringLiteral("DECEL");
    setTextIfChanged(ui.Stat, state);
    const int32_t c = ShiftRight(*m, 3);
    setTextIfChanged(ui.curCurrent, c == 21 ? QStringLiteral("0")
                                            : QLocale().toString(c / 10.0, 'g', QLocale::FloatingPointShortest));
    return state;
}

void StatusPoll::readInputsOutputs()
{
    auto &ui = *main_.ui();
    if (const auto d = replyToInt32(main_.SendReceive(QStringLiteral("DI")))) {
        Lamp *lamps[] = {ui.DI1, ui.DI2, ui.DI3, ui.DI4, ui.DI5, ui.DI6};
        for (int bit = 0; bit < 6; ++bit)
            lamps[bit]->setState(BitAnd24(*d, 1 << bit) != 0 ? 1 : 0);
    }
    if (const auto o = replyToInt32(main_.SendReceive(QStringLiteral("DO")))) {
        ui.DO1->setState(BitAnd24(*o, 1) != 0 ? 0 : 1);
        ui.DO2->setState(BitAnd24(*o, 2) != 0 ? 0 : 1);
    }
    if (const auto e = replyToInt32(main_.SendReceive(QStringLiteral("EO"))))
        ui.EO->setState(BitAnd24(*e, 1) != 0 ? 1 : 0);
}

void StatusPoll::readAnalogAndMode()
{
    auto &ui = *main_.ui();
    if (const auto a = replyToInt32(main_.SendReceive(QStringLiteral("AI"))))
        setTextIfChanged(ui.AI, QString::number(*a));
    const QString mode = main_.SendReceive(QStringLiteral("MM"));
    setTextIfChanged(ui.Mode, mode == QLatin1String("0") ? QStringLiteral("ABS") : QStringLiteral("INC"));
}

std::optional<int32_t> StatusPoll::readProgramState()
{
    const auto s = replyToInt32(main_.SendReceive(QStringLiteral("SASTAT")));
    if (!s)
        return std::nullopt;
    const QString text = programStateText(*s);
    if (!text.isEmpty())
        setTextIfChanged(main_.ui()->ProgStatus, text);
    return s;
}

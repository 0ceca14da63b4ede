#include "StatusPoll.h"

#include "MainControlForm.h"
#include "ui_MainControlForm.h"
#include "../common/NumberText.h"
#include "core/StatusDecode.h"
#include "../device/modTollan.h"

#include <QLocale>

using namespace modTollan;

namespace {
// Replies reach the panel as Latin-1 text; back to the device's bytes.
std::string bytes(const QString &reply)
{
    return reply.toLatin1().toStdString();
}
}  // namespace

void setTextIfChanged(QLineEdit *box, const QString &text)
{
    if (box->text() != text)
        box->setText(text);
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
    StatusDecode::Replies replies;
    replies.mst = bytes(main_.SendReceive(QStringLiteral("MST")));
    const StatusDecode::Status s = StatusDecode::decode(replies);
    if (!s.motionState)
        return {};
    const QString state = QString::fromStdString(*s.motionState);
    setTextIfChanged(ui.Stat, state);
    setTextIfChanged(ui.curCurrent, QLocale().toString(*s.currentTenths / 10.0, 'g', QLocale::FloatingPointShortest));
    return state;
}

void StatusPoll::readInputsOutputs()
{
    auto &ui = *main_.ui();
    StatusDecode::Replies replies;
    replies.di = bytes(main_.SendReceive(QStringLiteral("DI")));
    replies.dout = bytes(main_.SendReceive(QStringLiteral("DO")));
    replies.eo = bytes(main_.SendReceive(QStringLiteral("EO")));
    const StatusDecode::Status s = StatusDecode::decode(replies);
    if (s.inputs) {
        Lamp *lamps[] = {ui.DI1, ui.DI2, ui.DI3, ui.DI4, ui.DI5, ui.DI6};
        for (int bit = 0; bit < 6; ++bit)
            lamps[bit]->setState((*s.inputs)[bit] ? 1 : 0);
    }
    // The DO lamps take state 0 for a set output.
    if (s.outputs) {
        ui.DO1->setState((*s.outputs)[0] ? 0 : 1);
        ui.DO2->setState((*s.outputs)[1] ? 0 : 1);
    }
    if (s.outputEnabled)
        ui.EO->setState(*s.outputEnabled ? 1 : 0);
}

void StatusPoll::readAnalogAndMode()
{
    auto &ui = *main_.ui();
    StatusDecode::Replies replies;
    replies.ai = bytes(main_.SendReceive(QStringLiteral("AI")));
    replies.mm = bytes(main_.SendReceive(QStringLiteral("MM")));
    const StatusDecode::Status s = StatusDecode::decode(replies);
    if (s.analogInput)
        setTextIfChanged(ui.AI, QString::number(*s.analogInput));
    setTextIfChanged(ui.Mode, QString::fromStdString(*s.moveMode));
}

std::optional<int32_t> StatusPoll::readProgramState()
{
    StatusDecode::Replies replies;
    replies.sastat = bytes(main_.SendReceive(QStringLiteral("SASTAT")));
    const std::optional<int32_t> code = StatusDecode::decode(replies).programState;
    if (!code)
        return std::nullopt;
    const QString text = QString::fromStdString(StatusDecode::programStateText(*code));
    if (!text.isEmpty())
        setTextIfChanged(main_.ui()->ProgStatus, text);
    return code;
}

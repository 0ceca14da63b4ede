#include "XThreadForm.h"

#include "ui_XThreadForm.h"
#include "core/StatusDecode.h"
#include "device/modTollan.h"

#include <QStyle>

XThreadForm::XThreadForm(QWidget *parent) : WatchDialog(parent), ui_(std::make_unique<Ui::XThreadForm>())
{
    ui_->setupUi(this);
    const struct {
        QToolButton *button;
        QStyle::StandardPixmap icon;
        void (XThreadForm::*handler)();
    } buttons[] = {
        {ui_->RunProg, QStyle::SP_MediaPlay, &XThreadForm::RunProg_Click},
        {ui_->StopProg, QStyle::SP_MediaStop, &XThreadForm::StopProg_Click},
        {ui_->ContProg, QStyle::SP_MediaSeekForward, &XThreadForm::ContProg_Click},
        {ui_->PauseProg, QStyle::SP_MediaPause, &XThreadForm::PauseProg_Click},
    };
    for (const auto &b : buttons) {
        b.button->setIcon(style()->standardIcon(b.icon, nullptr, b.button));
        connect(b.button, &QToolButton::clicked, this, [this, h = b.handler] { (this->*h)(); });
    }
    connect(ui_->Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
}

XThreadForm::~XThreadForm() = default;

void XThreadForm::Form_Load()
{
    ui_->ProgSel0->setChecked(true);
    for (QLineEdit *status : {ui_->ProgStatus0, ui_->ProgStatus1})
        status->setText(QStringLiteral("Idle"));
    for (QLineEdit *index : {ui_->ProgIndex0, ui_->ProgIndex1})
        index->setText(QStringLiteral("1"));
    startPolling();
}

bool XThreadForm::pollRound()
{
    QString reply;
    bool answered = false;
    auto exchange = [&](const QString &command) {
        modTollan::SendRecvString(command, reply);
        answered = answered || !reply.isEmpty();
        return reply;
    };
    showReply(ui_->ProgIndex0, exchange(QStringLiteral("SPC0")));
    showReply(ui_->ProgIndex1, exchange(QStringLiteral("SPC1")));
    QLineEdit *const boxes[] = {ui_->ProgStatus0, ui_->ProgStatus1};
    for (int thread = 0; thread < 2; ++thread) {
        StatusDecode::Replies replies;
        replies.threadState[thread] = exchange(QStringLiteral("SASTAT%1").arg(thread)).toLatin1().toStdString();
        // A reply that is no whole number, or a code without a text, leaves
        // the box as it was; an empty reply here is a failed exchange, not 0.
        const auto code = StatusDecode::decode(replies).threadState[thread];
        const QString text = code ? QString::fromStdString(StatusDecode::programStateText(*code)) : QString();
        if (!text.isEmpty())
            showReply(boxes[thread], text);
    }
    return answered;
}

void XThreadForm::sendToSelected(char action, bool thenAbort)
{
    const QString command = QStringLiteral("SR") + QLatin1Char(ui_->ProgSel0->isChecked() ? '0' : '1')
                            + QLatin1Char('=') + QLatin1Char(action);
    QString reply;
    modTollan::SendRecvString(command, reply);
    if (thenAbort)
        modTollan::SendRecvString(QStringLiteral("ABORT"), reply);
}

void XThreadForm::RunProg_Click()
{
    sendToSelected('1', false);
}

void XThreadForm::StopProg_Click()
{
    sendToSelected('0', true);
}

void XThreadForm::ContProg_Click()
{
    sendToSelected('3', false);
}

void XThreadForm::PauseProg_Click()
{
    sendToSelected('2', true);
}

void XThreadForm::Command1_Click()
{
    reject();
}

#include "VariableForm.h"

#include "ui_VariableForm.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>

VariableForm::VariableForm(QWidget *parent) : QDialog(parent), ui_(std::make_unique<Ui::VariableForm>())
{
    ui_->setupUi(this);
    for (int k = 1; k <= VariableCount; ++k) {
        auto *box = findChild<QLineEdit *>(QStringLiteral("V%1").arg(k - 1));
        Q_ASSERT(box);
        boxes_[static_cast<size_t>(k - 1)] = box;
        commands_[static_cast<size_t>(k - 1)] = QStringLiteral("V%1").arg(k);
    }
    timer1_ = new QTimer(this);
    timer1_->setObjectName(QStringLiteral("Timer1"));
    timer1_->setInterval(RestInterval);
    connect(timer1_, &QTimer::timeout, this, [this] { Timer1_Timer(); });
    ui_->Text2->installEventFilter(this);
    connect(ui_->Close, &QPushButton::clicked, this, [this] { Close_Click(); });
}

VariableForm::~VariableForm() = default;

void VariableForm::Command5_Click(MainControlForm &main)
{
    MainControlForm::PollPause pause(main);

    VariableForm monitor;
    monitor.Form_Load();
    monitor.exec();
}

void VariableForm::Form_Load()
{
    for (QLineEdit *box : boxes_)
        box->setText(QStringLiteral("0"));
    ui_->Text2->clear();
    timer1_->start(RestInterval);
}

void VariableForm::Timer1_Timer()
{
    QString reply;
    bool answered = false;
    for (size_t i = 0; i < boxes_.size(); ++i) {
        modTollan::SendRecvString(commands_[i], reply);
        answered = answered || !reply.isEmpty();
        // Unchanged values cost no repaint, which keeps the window's share
        // of each tick small next to the exchanges.
        if (boxes_[i]->text() != reply)
            boxes_[i]->setText(reply);
    }
    // Qt rounds a timer's remaining wait up to whole milliseconds, so a 1 ms
    // timer leaves a fast link idle for up to half of every period. While the
    // device answers, the next tick starts as soon as the event loop is free,
    // which is what the 1 ms was meant to give; a link that answers nothing
    // rests the full interval, so a missing device does not spin a core.
    const int next = answered ? 0 : RestInterval;
    if (timer1_->interval() != next)
        timer1_->setInterval(next);
}

bool VariableForm::Text2_KeyDown(int key)
{
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return false;
    QString reply;
    modTollan::SendRecvString(ui_->Text2->text(), reply);
    ui_->Text2->clear();
    return true;
}

void VariableForm::Close_Click()
{
    reject();
}

void VariableForm::done(int result)
{
    timer1_->stop();
    QDialog::done(result);
}

bool VariableForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui_->Text2 && event->type() == QEvent::KeyPress
        && Text2_KeyDown(static_cast<QKeyEvent *>(event)->key()))
        return true;
    return QDialog::eventFilter(watched, event);
}

// Only "Close" and the close box end the monitor.
void VariableForm::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

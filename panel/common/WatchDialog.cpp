#include "WatchDialog.h"

#include <QKeyEvent>
#include <QTimer>

WatchDialog::WatchDialog(QWidget *parent) : QDialog(parent)
{
    timer1_ = new QTimer(this);
    timer1_->setObjectName(QStringLiteral("Timer1"));
    timer1_->setInterval(RestInterval);
    connect(timer1_, &QTimer::timeout, this, [this] { Timer1_Timer(); });
}

void WatchDialog::startPolling()
{
    timer1_->start(RestInterval);
}

void WatchDialog::Timer1_Timer()
{
    const bool answered = pollRound();
    // Qt rounds a timer's remaining wait up to whole milliseconds, so a 1 ms
    // timer leaves a fast link idle for up to half of every period. While the
    // device answers, the next tick starts as soon as the event loop is free,
    // which is what the 1 ms was meant to give; a link that answers nothing
    // rests the full interval, so a missing device does not spin a core.
    const int next = answered ? 0 : RestInterval;
    if (timer1_->interval() != next)
        timer1_->setInterval(next);
}

void WatchDialog::done(int result)
{
    timer1_->stop();
    QDialog::done(result);
}

// Only the window's own "Close" and its close box end it.
void WatchDialog::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

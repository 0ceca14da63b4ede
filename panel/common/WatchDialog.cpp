#include "WatchDialog.h"

#include "StopKey.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>

WatchDialog::WatchDialog(QWidget *parent) : QDialog(parent)
{
    StopKey::cover(this);
    timer1_ = new QTimer(this);
    timer1_->setObjectName(QStringLiteral("Timer1"));
    timer1_->setInterval(RestInterval);
    connect(timer1_, &QTimer::timeout, this, [this] { Timer1_Timer(); });
    repaintTimer_ = new QTimer(this);
    repaintTimer_->setSingleShot(true);
    repaintTimer_->setInterval(RepaintInterval);
    connect(repaintTimer_, &QTimer::timeout, this, [this] { RepaintHeld(); });
}

// Back to back, a running program changes the boxes a thousand times a
// second, and painting them cost five times the exchanges that fill them; no
// screen shows more than a few dozen of those pictures a second.
void WatchDialog::showReply(QLineEdit *box, const QString &text)
{
    if (box->text() == text)
        return;
    if (holding_ && box->updatesEnabled()) {
        box->setUpdatesEnabled(false);
        held_.append(box);
    }
    box->setText(text);
    repainting_ = repainting_ || !holding_;
}

void WatchDialog::RepaintHeld()
{
    repaintTimer_->stop();
    if (held_.isEmpty())
        return;
    // Enabling updates again repaints each box once, with its latest text;
    // changes in the next RepaintInterval wait for the one after.
    for (const QPointer<QLineEdit> &box : std::as_const(held_))
        if (box)
            box->setUpdatesEnabled(true);
    held_.clear();
    repaintTimer_->start();
}

void WatchDialog::startPolling()
{
    timer1_->start(RestInterval);
}

void WatchDialog::Timer1_Timer()
{
    // While the repaint timer runs, a box repainted less than
    // RepaintInterval ago; changes wait for the timer.
    holding_ = repaintTimer_->isActive();
    repainting_ = false;
    const bool answered = pollRound();
    holding_ = false;
    if (repainting_)
        repaintTimer_->start();
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
    RepaintHeld();
    repaintTimer_->stop();
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

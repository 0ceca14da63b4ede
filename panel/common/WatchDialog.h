#pragma once

#include "mainwindow/MainControlForm.h"

#include <QDialog>
#include <QList>
#include <QPointer>

class QLineEdit;
class QTimer;

// A modal window that watches the device through the raw exchange: the
// variable monitor and the thread window. Its Timer1 polls back to back for
// as long as it is open; the main window's poll rests for exactly that long.
class WatchDialog : public QDialog {
    Q_OBJECT
public:
    // Timer1's interval in milliseconds at load and while nothing answers.
    static constexpr int RestInterval = 1;
    // Shortest time in milliseconds between two repaints of a polled box.
    static constexpr int RepaintInterval = 20;

    QTimer *Timer1() const { return timer1_; }

    // One tick: the window's round of exchanges, then the pace of the next.
    void Timer1_Timer();
    // The repaint timer's tick: paints the boxes whose new text was held back.
    void RepaintHeld();
    // Runs for RepaintInterval after each repaint of a polled box.
    QTimer *repaintTimer() const { return repaintTimer_; }

    // Opens a freshly loaded window with no owner; returns when it is closed.
    template <typename Form>
    static void openWhilePollPaused(MainControlForm &main)
    {
        MainControlForm::PollPause pause(main);
        Form form;
        form.Form_Load();
        form.exec();
    }

protected:
    explicit WatchDialog(QWidget *parent);

    // The window's exchanges of one tick; true when any of them got a reply.
    virtual bool pollRound() = 0;
    // Starts Timer1 at its resting interval (part of each window's load).
    void startPolling();
    // Puts a reply into a polled box during a tick. The text is there at
    // once; the box is repainted at once too, unless a box was repainted less
    // than RepaintInterval before the tick began: then it waits for the
    // repaint timer.
    void showReply(QLineEdit *box, const QString &text);

    void keyPressEvent(QKeyEvent *event) override;
    void done(int result) override;

private:
    QTimer *timer1_ = nullptr;
    QTimer *repaintTimer_ = nullptr;
    bool holding_ = false;     // this tick's changes wait for the next repaint
    bool repainting_ = false;  // this tick changed a box that paints now
    QList<QPointer<QLineEdit>> held_;
};

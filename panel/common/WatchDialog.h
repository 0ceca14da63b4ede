#pragma once

#include "mainwindow/MainControlForm.h"

#include <QDialog>

class QTimer;

// A modal window that watches the device through the raw exchange: the
// variable monitor and the thread window. Its Timer1 polls back to back for
// as long as it is open; the main window's poll rests for exactly that long.
class WatchDialog : public QDialog {
    Q_OBJECT
public:
    // Timer1's interval in milliseconds at load and while nothing answers.
    static constexpr int RestInterval = 1;

    QTimer *Timer1() const { return timer1_; }

    // One tick: the window's round of exchanges, then the pace of the next.
    void Timer1_Timer();

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

    void keyPressEvent(QKeyEvent *event) override;
    void done(int result) override;

private:
    QTimer *timer1_ = nullptr;
};

#pragma once

#include <QString>

class QWidget;

// The main window's exchange: nothing goes out while the link is closed, and
// a lost device is reported once, closed, and never touched again this run.
// Every failure returns an empty text.
QString guardedSendReceive(QWidget *parent, const QString &command);

// A lost link as the exchange reports it: closed before the one message
// ("Communication Error!"), since timers run while it is open.
void loseLink(QWidget *parent);

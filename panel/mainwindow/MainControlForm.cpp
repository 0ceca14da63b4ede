#include "MainControlForm.h"

#include "../device/GuardedExchange.h"

#include <QCloseEvent>

MainControlForm::MainControlForm(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("MainControlForm"));
    setWindowTitle(QStringLiteral("ZENTA-KDR-V3 V113A"));
}

MainControlForm::~MainControlForm() = default;

QString MainControlForm::SendReceive(const QString &command)
{
    return guardedSendReceive(this, command);
}

void MainControlForm::Form_Load()
{
}

void MainControlForm::closeEvent(QCloseEvent *event)
{
    event->accept();
    emit closed();
}

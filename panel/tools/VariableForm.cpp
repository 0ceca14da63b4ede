#include "VariableForm.h"

#include "ui_VariableForm.h"
#include "common/Dialogs.h"
#include "common/TextFile.h"
#include "device/modTollan.h"
#include "mainwindow/MainControlForm.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>

VariableForm::VariableForm(QWidget *parent) : WatchDialog(parent), ui_(std::make_unique<Ui::VariableForm>())
{
    ui_->setupUi(this);
    for (int k = 1; k <= VariableCount; ++k) {
        auto *box = findChild<QLineEdit *>(QStringLiteral("V%1").arg(k - 1));
        Q_ASSERT(box);
        boxes_[static_cast<size_t>(k - 1)] = box;
        commands_[static_cast<size_t>(k - 1)] = QStringLiteral("V%1").arg(k);
    }
    ui_->Text2->installEventFilter(this);
    connect(ui_->Close, &QPushButton::clicked, this, [this] { Close_Click(); });
}

VariableForm::~VariableForm() = default;

void VariableForm::Command5_Click(MainControlForm &main)
{
    openWhilePollPaused<VariableForm>(main);
}

void VariableForm::Form_Load()
{
    for (QLineEdit *box : boxes_)
        box->setText(QStringLiteral("0"));
    ui_->Text2->clear();
    startPolling();
}

bool VariableForm::pollRound()
{
    QString reply;
    bool answered = false;
    for (size_t i = 0; i < boxes_.size(); ++i) {
        modTollan::SendRecvString(commands_[i], reply);
        answered = answered || !reply.isEmpty();
        showReply(boxes_[i], reply);
    }
    return answered;
}

bool VariableForm::Text2_KeyDown(int key)
{
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return false;
    // Sent as typed or not at all; the text stays so it can be mended.
    if (const QString refusal = TextFile::commandRefusal(ui_->Text2->text()); !refusal.isEmpty()) {
        Dialogs::get().notice(this, refusal);
        return true;
    }
    QString reply;
    modTollan::SendRecvString(ui_->Text2->text(), reply);
    ui_->Text2->clear();
    return true;
}

void VariableForm::Close_Click()
{
    reject();
}

bool VariableForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui_->Text2 && event->type() == QEvent::KeyPress
        && Text2_KeyDown(static_cast<QKeyEvent *>(event)->key()))
        return true;
    return WatchDialog::eventFilter(watched, event);
}

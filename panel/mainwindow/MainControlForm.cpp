#include "MainControlForm.h"

#include "LinkControl.h"
#include "MotionControl.h"
#include "OutputsControl.h"
#include "StatusPoll.h"
#include "../config/SettingsFileControl.h"
#include "core/SettingsFile.h"
#include "../config/DriverSettings.h"
#include "../config/FlashStore.h"
#include "ui_MainControlForm.h"
#include "../common/Dialogs.h"
#include "../common/StopKey.h"
#include "../device/GuardedExchange.h"
#include "../device/modTollan.h"

#include <QCloseEvent>
#include <QShortcut>
#include <QTimer>

MainControlForm::MainControlForm(QWidget *parent)
    : QWidget(parent), ui_(std::make_unique<Ui::MainControlForm>())
{
    ui_->setupUi(this);

    QFont bold = font();
    bold.setBold(true);
    for (QWidget *w : {static_cast<QWidget *>(ui_->Close), static_cast<QWidget *>(ui_->Label43)})
        w->setFont(bold);
    setStyleSheet(QStringLiteral("QGroupBox { font-weight: bold; }"));
    QFont mono(QStringLiteral("Courier"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setFixedPitch(true);
    ui_->OrgProgram->setFont(mono);

    poll_ = std::make_unique<StatusPoll>(*this);
    motion_ = std::make_unique<MotionControl>(*this);
    outputs_ = std::make_unique<OutputsControl>(*this);

    timer1_ = new QTimer(this);
    timer1_->setObjectName(QStringLiteral("Timer1"));
    timer1_->setInterval(10);
    connect(timer1_, &QTimer::timeout, this, [this] { poll_->Timer1_Timer(); });

    auto on = [this](auto *sender, auto signal, auto handler) { connect(sender, signal, this, handler); };
    MotionControl *m = motion_.get();
    on(ui_->ABS, &QPushButton::clicked, [m] { m->ABS_Click(); });
    on(ui_->Datum, &QPushButton::clicked, [m] { m->Datum_Click(); });
    on(ui_->JOGN, &QPushButton::clicked, [m] { m->JOGN_Click(); });
    on(ui_->JOGP, &QPushButton::clicked, [m] { m->JOGP_Click(); });
    on(ui_->rstop, &QPushButton::clicked, [m] { m->rstop_Click(); });
    on(ui_->Command2, &QPushButton::clicked, [m] { m->Command2_Click(); });
    on(ui_->Command3, &QPushButton::clicked, [m] { m->Command3_Click(); });

    OutputsControl *o = outputs_.get();
    on(ui_->EOSet, &ClickArea::clicked, [o] { o->EOSet_Click(); });
    on(ui_->DOSet1, &ClickArea::clicked, [o] { o->DOSet1_Click(); });
    on(ui_->DOSet2, &ClickArea::clicked, [o] { o->DOSet2_Click(); });
    on(ui_->SelUSBControl, &QRadioButton::clicked, [o] { o->SelUSBControl_Click(); });
    on(ui_->SelJoyControl, &QRadioButton::clicked, [o] { o->SelJoyControl_Click(); });
    on(ui_->Command1, &QPushButton::clicked, [o] { o->Command1_Click(); });
    on(ui_->Text2, &QLineEdit::returnPressed, [o] { o->Command1_Click(); });

    link_ = std::make_unique<LinkControl>(*this);
    LinkControl *l = link_.get();
    on(ui_->Reconnect, &QPushButton::clicked, [l] { l->Reconnect_Click(); });
    auto *f5 = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(f5, &QShortcut::activated, this, [this] {
        if (ui_->Reconnect->isVisible())
            ui_->Reconnect->click();
    });
    StopKey::cover(this);
    StopKey::install(this, [m] { m->rstop_Click(); });

    wireConfig();
    wireProgram();
    wireTools();
    wirePlot();
}

MainControlForm::~MainControlForm() = default;

QString MainControlForm::SendReceive(const QString &command)
{
    return guardedSendReceive(this, command);
}

void MainControlForm::fillVocabularies()
{
    // The settings file offers the same lists, so both come from one place.
    auto items = [](const std::vector<std::string> &list) {
        QStringList out;
        for (const std::string &item : list)
            out << QString::fromStdString(item);
        return out;
    };
    ui_->Par6->clear();
    ui_->Par6->addItems(items(SettingsFile::runCurrents()));
    ui_->Par8->clear();
    ui_->Par8->addItems(items(SettingsFile::idleCurrents()));
    ui_->Par9->clear();
    ui_->Par9->addItems(items(SettingsFile::microsteps()));
    ui_->DeviceName->addItems(items(SettingsFile::deviceIds()));
    // Adding items selects the first; the window starts with no selection.
    for (QComboBox *c : {ui_->Par6, ui_->Par8, ui_->Par9, ui_->DeviceName})
        c->setCurrentIndex(-1);
}

void MainControlForm::Form_Load()
{
    using namespace modTollan;
    // The poll runs from the moment the window loads; ticks that come before
    // start-up has set PollPhase read only position and program counter.
    timer1_->start();
    fillVocabularies();
    if (!CommOpen)
        return;
    readDeviceIntoWindow();
}

bool MainControlForm::readDeviceIntoWindow()
{
    using namespace modTollan;
    QString version;
    SendRecvString(QStringLiteral("VER"), version);
    ui_->Version->setText(version);
    if (version.mid(4, 4) != QLatin1String("BLSA")) {
        // The poll keeps ticking while the box is open: the refused device
        // must already count as gone.
        CommOpen = false;
        Dialogs::get().notice(this, QStringLiteral("This version of ZENTA-KDR-V3 is not compatible with this software"));
        return false;
    }
    PollPhase = 1;
    UploadPar_Click();
    ui_->SetSpeed->setText(SendReceive(QStringLiteral("HSPD")));
    ui_->Accel->setText(SendReceive(QStringLiteral("ACC")));
    timer1_->start();
    return CommOpen;
}

// Closing the window by its frame leaves the program as "Close" does.
void MainControlForm::closeEvent(QCloseEvent *event)
{
    event->accept();
    store_->Close_Click();
}

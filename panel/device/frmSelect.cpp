#include "frmSelect.h"

#include "TollanApi.h"
#include "modTollan.h"
#include "ui_frmSelect.h"
#include "../common/AppExit.h"
#include "../common/Dialogs.h"
#include "../common/NumberText.h"

#include <QCloseEvent>

namespace {
const QString IndexMark = QStringLiteral(" , Index=");
}

frmSelect::frmSelect(HandOver handOver, QWidget *parent)
    : QWidget(parent), ui_(std::make_unique<Ui::frmSelect>()), handOver_(std::move(handOver))
{
    ui_->setupUi(this);
    connect(ui_->cmdOK, &QPushButton::clicked, this, &frmSelect::cmdOK_Click);
    connect(ui_->cmdCancel, &QPushButton::clicked, this, &frmSelect::cmdCancel_Click);
    connect(ui_->DeviceList, &QListWidget::itemDoubleClicked, this, &frmSelect::cmdOK_Click);
}

frmSelect::~frmSelect() = default;

void frmSelect::Form_Load()
{
    modTollan::DeviceHandle = 1;
    if (!FillDeviceList()) {
        hide();
        Dialogs::get().notice(nullptr, QStringLiteral("Error finding USB device."));
        if (handOver_.runMainModal)
            handOver_.runMainModal();
        endProgram(0);
        return;
    }
    ui_->DeviceList->setCurrentRow(-1);
    ui_->DeviceList->clearSelection();
    show();
}

bool frmSelect::FillDeviceList()
{
    using namespace modTollan;
    int32_t count = 0;
    const int32_t status = tollanApi().GetNumDevices(&count);
    LastResult = static_cast<int16_t>(status & 0xFFFF);
    if (LastResult != 1)
        return false;
    char buffer[257];
    bool added = false;
    for (int32_t i = 0; i < count; ++i) {
        buffer[0] = '\0';
        LastResult = static_cast<int16_t>(tollanApi().GetProductString(i, buffer, 0) & 0xFFFF);
        buffer[sizeof buffer - 1] = '\0';  // a library that fills the whole buffer cannot run us off its end
        const QString product = BytesToString(buffer, sizeof buffer);
        if (product.toUpper().contains(QLatin1String("CFG"))) {
            ui_->DeviceList->addItem(product + IndexMark + QString::number(i));
            added = true;
        }
    }
    return added;
}

std::optional<int16_t> frmSelect::indexOfEntry(const QString &entry)
{
    // The product string itself may contain "=" or even the mark; the index
    // is always what we appended last.
    const qsizetype at = entry.lastIndexOf(IndexMark);
    if (at < 0)
        return std::nullopt;
    return parseInt16(entry.mid(at + IndexMark.size()));
}

void frmSelect::cmdOK_Click()
{
    using namespace modTollan;
    QListWidgetItem *item = ui_->DeviceList->currentItem();
    if (!item || !item->isSelected()) {
        Dialogs::get().notice(this, QStringLiteral("Please select a Tollan device first."));
        return;
    }
    const auto index = indexOfEntry(item->text());
    LastResult = static_cast<int16_t>(tollanApi().SetTimeouts(5000, 5000) & 0xFFFF);
    if (index) {
        DeviceIndex = *index;
        DeviceProduct = item->text().left(item->text().lastIndexOf(IndexMark));
        DeviceProductUnique = ui_->DeviceList->findItems(DeviceProduct + IndexMark, Qt::MatchStartsWith).size() == 1;
        // Identical units share a product string; the serial tells them
        // apart when the panel must find this one again.
        char serial[257] = {};
        DeviceSerial = tollanApi().GetProductString(*index, serial, 1) == 1
                           ? BytesToString(serial, sizeof serial - 1)
                           : QString();
        int32_t handle = DeviceHandle;
        const int32_t status = tollanApi().Open(*index, &handle);
        DeviceHandle = handle;
        LastResult = static_cast<int16_t>(status & 0xFFFF);
    }
    if (!index || LastResult == 0) {
        hide();
        Dialogs::get().notice(nullptr, QStringLiteral(
            "Error opening device. Application is aborting. Reset hardware and try again."));
        endProgram(1);
        return;
    }
    CommOpen = true;
    hide();
    if (handOver_.showMain)
        handOver_.showMain();
}

void frmSelect::cmdCancel_Click()
{
    endProgram(0);
}

void frmSelect::closeEvent(QCloseEvent *event)
{
    // Closing the list by its frame is the same as Cancel: no other window is up.
    event->accept();
    endProgram(0);
}

#include "Reopen.h"

#include "EventWait.h"
#include "TollanApi.h"
#include "modTollan.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QList>

namespace Reopen {

namespace {

// What the search needs, copied from the shared link state: the search runs
// on a thread of its own and touches none of it.
struct Wanted {
    QString serial;
    QString product;
    QString renamedTo;
    bool productUnique = true;
};

struct Attempt {
    Result result = Result::Gone;
    int32_t index = -1;
    int32_t handle = 0;
    int16_t status = 0;  // the open's, low 16 bits
    QString product;  // as listed now
};

// The text `selector` gives for list position `index`.
QString listed(int32_t index, int32_t selector)
{
    char buffer[257];
    buffer[0] = '\0';
    if (tollanApi().GetProductString(index, buffer, selector) != 1)
        return {};
    buffer[sizeof buffer - 1] = '\0';
    return modTollan::BytesToString(buffer, sizeof buffer);
}

// The list positions whose `selector` text is `text`.
QList<int32_t> positionsOf(const QString &text, int32_t selector)
{
    QList<int32_t> found;
    int32_t count = 0;
    if (text.isEmpty() || (tollanApi().GetNumDevices(&count) & 0xFFFF) != 1)
        return found;
    for (int32_t i = 0; i < count && i < 1000; ++i)
        if (listed(i, selector) == text)
            found << i;
    return found;
}

// One listing and one open: what may take the library's time-out.
Attempt attempt(const Wanted &wanted, int32_t handle)
{
    Attempt a;
    QList<int32_t> positions;
    if (!wanted.serial.isEmpty()) {
        positions = positionsOf(wanted.serial, 1);
    } else {
        // Two devices of one name cannot be told apart by their product
        // strings: taking either could be another machine's axis.
        if (!wanted.productUnique)
            return Attempt{Result::Ambiguous};
        positions = positionsOf(wanted.product, 0);
        if (positions.isEmpty() && !wanted.renamedTo.isEmpty())
            positions = positionsOf(wanted.renamedTo, 0);
    }
    if (positions.isEmpty())
        return Attempt{Result::Gone};
    if (positions.size() > 1)
        return Attempt{Result::Ambiguous};
    a.index = positions.first();
    a.product = listed(a.index, 0);
    a.handle = handle;
    a.status = static_cast<int16_t>(tollanApi().Open(a.index, &a.handle) & 0xFFFF);
    a.result = a.status != 0 ? Result::Opened : Result::Busy;
    return a;
}

}  // namespace

Result reopenDevice(int waitMs)
{
    using namespace modTollan;
    const Wanted wanted{DeviceSerial, DeviceProduct, DeviceRenamedTo, DeviceProductUnique};
    const QDeadlineTimer deadline(waitMs);
    EventWait::InputHold hold;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    struct Restore {
        ~Restore() { QApplication::restoreOverrideCursor(); }
    } restore;
    for (;;) {
        const int32_t handle = DeviceHandle;
        const Attempt a = EventWait::offThread<Attempt>([&wanted, handle] { return attempt(wanted, handle); });
        if (a.result == Result::Opened || a.result == Result::Busy)
            LastResult = a.status;
        if (a.result == Result::Opened) {
            DeviceHandle = a.handle;
            DeviceIndex = static_cast<int16_t>(a.index);
            // Listed under a new name after a store and a power cycle: the
            // same device (its serial says so, or the panel renamed it).
            if (!a.product.isEmpty() && a.product != DeviceProduct) {
                DeviceProduct = a.product;
                DeviceRenamedTo.clear();
            }
            return Result::Opened;
        }
        if (a.result != Result::Busy || deadline.hasExpired())
            return a.result;
        EventWait::sleep(static_cast<int>(std::min<qint64>(50, deadline.remainingTime())));
    }
}

QStringList listedProducts()
{
    QStringList products;
    int32_t count = 0;
    if ((tollanApi().GetNumDevices(&count) & 0xFFFF) != 1)
        return products;
    for (int32_t i = 0; i < count && i < 1000; ++i)
        products << listed(i, 0);
    return products;
}

QString failureText(Result result)
{
    const QString name = modTollan::DeviceProduct;
    switch (result) {
    case Result::Opened:
        return {};
    case Result::Gone:
        return QStringLiteral("The device %1 is not connected.").arg(name);
    case Result::Busy:
        return QStringLiteral("The device %1 is in use by another program.").arg(name);
    case Result::Ambiguous:
        return QStringLiteral("More than one device is named %1, and the panel cannot tell which one it was using. "
                              "Close the panel and choose the device again.")
            .arg(name);
    }
    return {};
}

}  // namespace Reopen

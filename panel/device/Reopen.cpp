#include "Reopen.h"

#include "TollanApi.h"
#include "modTollan.h"

#include <QDeadlineTimer>
#include <QThread>

namespace Reopen {

namespace {

// The list positions that hold the product string.
QList<int32_t> positionsOf(const QString &product)
{
    using namespace modTollan;
    QList<int32_t> found;
    int32_t count = 0;
    if (product.isEmpty() || (tollanApi().GetNumDevices(&count) & 0xFFFF) != 1)
        return found;
    char buffer[257];
    for (int32_t i = 0; i < count && i < 1000; ++i) {
        buffer[0] = '\0';
        tollanApi().GetProductString(i, buffer, 0);
        buffer[sizeof buffer - 1] = '\0';
        if (BytesToString(buffer, sizeof buffer) == product)
            found << i;
    }
    return found;
}

}  // namespace

Result reopenDevice(int waitMs)
{
    using namespace modTollan;
    // Two devices of one name cannot be told apart by anything the library
    // shows: taking either could be another machine's axis.
    if (!DeviceProductUnique)
        return Result::Ambiguous;
    const QDeadlineTimer deadline(waitMs);
    for (;;) {
        QString name = DeviceProduct;
        QList<int32_t> positions = positionsOf(name);
        if (positions.isEmpty() && !DeviceRenamedTo.isEmpty())
            positions = positionsOf(name = DeviceRenamedTo);
        if (positions.isEmpty())
            return Result::Gone;
        if (positions.size() > 1)
            return Result::Ambiguous;
        int32_t handle = DeviceHandle;
        const int32_t status = tollanApi().Open(positions.first(), &handle);
        LastResult = static_cast<int16_t>(status & 0xFFFF);
        if (LastResult != 0) {
            DeviceHandle = handle;
            DeviceIndex = static_cast<int16_t>(positions.first());
            if (name != DeviceProduct) {
                DeviceProduct = name;
                DeviceRenamedTo.clear();
            }
            return Result::Opened;
        }
        if (deadline.hasExpired())
            return Result::Busy;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(50, deadline.remainingTime())));
    }
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

#include "Reopen.h"

#include "TollanApi.h"
#include "modTollan.h"

#include <QDeadlineTimer>
#include <QThread>

namespace Reopen {

namespace {

// The list positions that hold the product string, the old position first.
QList<int32_t> positionsOf(const QString &product)
{
    using namespace modTollan;
    QList<int32_t> found;
    int32_t count = 0;
    if ((tollanApi().GetNumDevices(&count) & 0xFFFF) != 1)
        return found;
    char buffer[257];
    for (int32_t i = 0; i < count && i < 1000; ++i) {
        buffer[0] = '\0';
        tollanApi().GetProductString(i, buffer, 0);
        buffer[sizeof buffer - 1] = '\0';
        if (BytesToString(buffer, sizeof buffer) != product)
            continue;
        if (i == DeviceIndex)
            found.prepend(i);
        else
            found.append(i);
    }
    return found;
}

}  // namespace

Result reopenDevice(int waitMs)
{
    using namespace modTollan;
    const QDeadlineTimer deadline(waitMs);
    for (;;) {
        const QList<int32_t> positions = positionsOf(DeviceProduct);
        if (positions.isEmpty())
            return Result::Gone;
        for (int32_t index : positions) {
            int32_t handle = DeviceHandle;
            const int32_t status = tollanApi().Open(index, &handle);
            LastResult = static_cast<int16_t>(status & 0xFFFF);
            if (LastResult != 0) {
                DeviceHandle = handle;
                DeviceIndex = static_cast<int16_t>(index);
                return Result::Opened;
            }
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
    }
    return {};
}

}  // namespace Reopen

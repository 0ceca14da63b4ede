#include "GuardedExchange.h"

#include "TollanApi.h"
#include "modTollan.h"
#include "../common/AppExit.h"
#include "../common/Dialogs.h"

#include <exception>

namespace {

QString linkLost(QWidget *parent)
{
    loseLink(parent);
    return {};
}

}  // namespace

void loseLink(QWidget *parent)
{
    using namespace modTollan;
    // Cleared before the message: the poll keeps ticking under the message box
    // and must find the link closed.
    CommOpen = false;
    Dialogs::get().notice(parent, QStringLiteral("Communication Error!"));
    tollanApi().Close(DeviceHandle);
}

QString guardedSendReceive(QWidget *parent, const QString &command)
{
    using namespace modTollan;
    try {
        if (!CommOpen)
            return {};
        QString reply;
        if (SendRecvString(command, reply) < 0)
            return linkLost(parent);
        if (!reply.isEmpty())
            return reply;
        if (command.startsWith(QLatin1String("SA")))
            return reply;
        return linkLost(parent);
    } catch (const std::exception &e) {
        Dialogs::get().notice(parent, QStringLiteral("Communication Error! ") + QString::fromLocal8Bit(e.what()));
        endProgram(1);
        return {};
    }
}

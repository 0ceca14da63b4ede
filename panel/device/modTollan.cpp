#include "modTollan.h"

#include "TollanApi.h"
#include "zenta/lang/transfer.hpp"

#include <cstring>

namespace modTollan {

bool CommOpen = false;
int32_t DeviceHandle = 1;
int16_t LastResult = 0;
int16_t DeviceIndex = 0;
QString DeviceProduct;
QString DeviceSerial;
bool DeviceProductUnique = true;
QString DeviceRenamedTo;
QString DeviceAnswered;

int16_t SendRecvString(const QString &command, QString &reply)
{
    if (command.size() > FrameSize)
        return -1;
    // A character with no Latin-1 byte would go out as "?": a different command.
    for (const QChar c : command)
        if (c.unicode() > 0xFF)
            return -1;
    const QByteArray bytes = command.toLatin1();
    unsigned char send[FrameSize] = {};
    std::memcpy(send, bytes.constData(), static_cast<size_t>(bytes.size()));
    unsigned char receive[FrameSize] = {};
    const int32_t status = tollanApi().SendRecv(DeviceHandle, send, FrameSize, FrameSize, receive);
    LastResult = static_cast<int16_t>(status & 0xFFFF);
    int length = 0;
    while (length < FrameSize && receive[length] != 0)
        ++length;
    reply = QString::fromLatin1(reinterpret_cast<const char *>(receive), length);
    return 1;
}

std::optional<QString> DeviceIdOf(const QString &dnReply)
{
    // A character outside Latin-1 becomes '?', which no device name holds.
    const auto id = zenta::lang::deviceIdOf(dnReply.toLatin1().toStdString());
    if (!id)
        return std::nullopt;
    return QString::fromLatin1(*id);
}

QString BytesToString(const char *buffer, int size)
{
    if (!buffer || size <= 0)
        return {};
    const int limit = size < 256 ? size : 256;
    int n = 0;
    while (n < limit && buffer[n] != '\0')
        ++n;
    return QString::fromLatin1(buffer, n);
}

void resetLinkState()
{
    CommOpen = false;
    DeviceHandle = 1;
    LastResult = 0;
    DeviceIndex = 0;
    DeviceProduct.clear();
    DeviceSerial.clear();
    DeviceProductUnique = true;
    DeviceRenamedTo.clear();
    DeviceAnswered.clear();
}

}  // namespace modTollan

#include "modTollan.h"

#include "TollanApi.h"

#include <cstring>

namespace modTollan {

bool CommOpen = false;
int32_t DeviceHandle = 1;
int16_t LastResult = 0;
int16_t DeviceIndex = 0;
QString DeviceProduct;

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

namespace {
// Walks bits 23 to 0 as digits of the operand; a digit other than 0 or 1
// (operands of 2^24 and more, or negative ones) counts as clear.
template <typename Op>
int32_t bitwise24(int32_t a, int32_t b, Op op)
{
    int64_t x = a, y = b, result = 0;
    for (int k = 23; k >= 0; --k) {
        const int64_t p = int64_t(1) << k;
        const int64_t dx = x / p, dy = y / p;
        x -= dx * p;
        y -= dy * p;
        if (op(dx == 1, dy == 1))
            result += p;
    }
    return static_cast<int32_t>(result);
}
}  // namespace

int32_t BitAnd24(int32_t a, int32_t b)
{
    return bitwise24(a, b, [](bool p, bool q) { return p && q; });
}

int32_t BitOr24(int32_t a, int32_t b)
{
    return bitwise24(a, b, [](bool p, bool q) { return p || q; });
}

int32_t ShiftRight(int32_t a, int32_t n)
{
    if (n <= 0)
        return a;
    if (n >= 32)
        return 0;
    return static_cast<int32_t>(int64_t(a) / (int64_t(1) << n));
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
}

}  // namespace modTollan

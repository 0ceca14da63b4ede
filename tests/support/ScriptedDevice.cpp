#include "ScriptedDevice.h"

#include "device/TollanApi.h"

#include <QThread>

#include <cstring>

namespace {

ScriptedDevice *active = nullptr;

int32_t numDevices(int32_t *count)
{
    *count = static_cast<int32_t>(active->products.size());
    return active->countStatus;
}

int32_t productString(int32_t index, char *buffer, int32_t selector)
{
    buffer[0] = '\0';
    if (selector == 1 && active->serials.isEmpty())
        return -1;  // a library that knows no serials refuses the selector
    if (selector != 0 && selector != 1)
        return -1;
    const QList<QByteArray> &texts = selector == 1 ? active->serials : active->products;
    if (index < 0 || index >= texts.size())
        return 0;
    const QByteArray p = texts.value(index);
    const auto n = std::min<qsizetype>(p.size(), 256);
    std::memcpy(buffer, p.constData(), static_cast<size_t>(n));
    buffer[n] = '\0';
    return 1;
}

int32_t openDevice(int32_t index, int32_t *handle)
{
    if (active->openDelayMs > 0)
        QThread::msleep(static_cast<unsigned long>(active->openDelayMs));
    active->openedIndexes << index;
    const int32_t status = active->openStatus;
    if (status != 0)
        *handle = active->openedHandle;
    ++active->openCalls;
    return status;
}

int32_t closeDevice(int32_t handle)
{
    active->closedHandles << handle;
    return 1;
}

int32_t setTimeouts(int32_t r, int32_t w)
{
    active->timeouts << qMakePair(r, w);
    return 1;
}

int32_t sendRecv(int32_t handle, const unsigned char *send, int32_t, int32_t, unsigned char *receive)
{
    const QByteArray frame(reinterpret_cast<const char *>(send), 64);
    active->frames << frame;
    active->exchangeHandles << handle;
    const QString command = QString::fromLatin1(frame.constData(), qstrnlen(frame.constData(), 64));
    active->log << command;
    std::memset(receive, 0, 64);
    if (!active->rawReply.isEmpty()) {
        std::memcpy(receive, active->rawReply.constData(), static_cast<size_t>(std::min<qsizetype>(64, active->rawReply.size())));
        return 1;
    }
    if (active->silent || active->silentCommands.contains(command))
        return 0;
    const QByteArray reply = active->replyFor(command).toLatin1().left(64);
    std::memcpy(receive, reply.constData(), static_cast<size_t>(reply.size()));
    return 1;
}

}  // namespace

ScriptedDevice::ScriptedDevice()
{
    active = this;
    setTollanApi(TollanApi{numDevices, productString, openDevice, closeDevice, setTimeouts, sendRecv});
}

ScriptedDevice::~ScriptedDevice()
{
    resetTollanApi();
    active = nullptr;
}

ScriptedDevice *ScriptedDevice::current()
{
    return active;
}

QString ScriptedDevice::replyFor(const QString &command)
{
    if (responder)
        return responder(command);
    auto q = queued.find(command);
    if (q != queued.end() && !q->isEmpty())
        return q->size() == 1 ? q->first() : q->takeFirst();
    return replies.value(command, fallback);
}

#include "TollanApi.h"

#include <QDir>
#include <QLibrary>
#include <cstring>

namespace {

int32_t noDevices(int32_t *count)
{
    if (count)
        *count = 0;
    return 0;
}
int32_t noProduct(int32_t, char *buffer, int32_t)
{
    if (buffer)
        buffer[0] = '\0';
    return 0;
}
int32_t noOpen(int32_t, int32_t *)
{
    return 0;
}
int32_t noClose(int32_t)
{
    return 0;
}
int32_t noTimeouts(int32_t, int32_t)
{
    return 0;
}
int32_t noExchange(int32_t, const unsigned char *, int32_t, int32_t bytesToRead, unsigned char *receive)
{
    if (receive && bytesToRead > 0)
        std::memset(receive, 0, static_cast<size_t>(bytesToRead));
    return 0;
}

constexpr TollanApi absent{noDevices, noProduct, noOpen, noClose, noTimeouts, noExchange};

TollanApi &table()
{
    static TollanApi t = absent;
    return t;
}

}  // namespace

TollanApi &tollanApi()
{
    return table();
}

void setTollanApi(const TollanApi &api)
{
    table() = api;
}

void resetTollanApi()
{
    table() = absent;
}

bool loadTollanLibrary(const QString &folder, QString *error)
{
    // Loaded once for the life of the process; the library is never unloaded.
    static QLibrary library;
    library.setFileName(QDir(folder).filePath(QStringLiteral("libTollanCom.so")));
    if (!library.load()) {
        if (error)
            *error = library.errorString();
        return false;
    }
    TollanApi api{};
    bool complete = true;
    auto resolve = [&](auto &slot, const char *name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(library.resolve(name));
        if (!slot) {
            complete = false;
            if (error)
                *error = QStringLiteral("the library has no function %1").arg(QLatin1String(name));
        }
    };
    resolve(api.GetNumDevices, "fnTollanComGetNumDevices");
    resolve(api.GetProductString, "fnTollanComGetProductString");
    resolve(api.Open, "fnTollanComOpen");
    resolve(api.Close, "fnTollanComClose");
    resolve(api.SetTimeouts, "fnTollanComSetTimeouts");
    resolve(api.SendRecv, "fnTollanComSendRecv");
    if (!complete)
        return false;
    setTollanApi(api);
    return true;
}

zenta::device::Library deviceLibrary()
{
    const TollanApi &api = tollanApi();
    zenta::device::Library lib;
    lib.getNumDevices = api.GetNumDevices;
    lib.getProductString = api.GetProductString;
    lib.open = api.Open;
    lib.close = api.Close;
    lib.setTimeouts = api.SetTimeouts;
    lib.sendRecv = api.SendRecv;
    return lib;
}

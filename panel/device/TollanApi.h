#pragma once

#include "DeviceLink.h"

#include <QString>
#include <cstdint>

// The panel reaches the device library only through this table. Production
// fills it from libTollanCom; tests fill it with an in-process device.
struct TollanApi {
    int32_t (*GetNumDevices)(int32_t *count);
    int32_t (*GetProductString)(int32_t index, char *buffer, int32_t selector);
    int32_t (*Open)(int32_t index, int32_t *handle);
    int32_t (*Close)(int32_t handle);
    int32_t (*SetTimeouts)(int32_t readTimeout, int32_t writeTimeout);
    int32_t (*SendRecv)(int32_t handle, const unsigned char *send, int32_t bytesToWrite,
                        int32_t bytesToRead, unsigned char *receive);
};

// The table in use. Until a library is loaded it holds functions that find
// no device and answer nothing.
TollanApi &tollanApi();
void setTollanApi(const TollanApi &api);
void resetTollanApi();

// The table in use as exe/common's library type, for the rules the panel
// shares with the command-line tools (DeviceName.h).
zenta::device::Library deviceLibrary();

// Loads libTollanCom from `folder` by name. On failure the table keeps its
// no-device functions and `error` says why.
bool loadTollanLibrary(const QString &folder, QString *error);

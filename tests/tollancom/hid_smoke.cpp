// Against a real driver on a USB cable: lists what the hidraw backend finds
// in /sys and /dev (no simulator: the device folder is an empty one of its
// own), opens the first, asks its name and closes it. Exits 77 (skipped)
// when no driver is plugged in, 0 when the exchange worked, 1 otherwise.
#include "TollanCom.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int main()
{
    char folder[] = "/tmp/tollancom-smoke-XXXXXX";
    if (!::mkdtemp(folder)) {
        std::perror("mkdtemp");
        return 1;
    }
    ::setenv("TOLLANCOM_DIR", folder, 1);
    ::unsetenv("TOLLANCOM_SYSFS");
    ::unsetenv("TOLLANCOM_DEVROOT");
    int32_t count = 0;
    const int32_t listed = fnTollanComGetNumDevices(&count);
    int result = 77;
    if (listed == 1 && count > 0) {
        char product[TOLLANCOM_PRODUCT_BUFFER], serial[TOLLANCOM_PRODUCT_BUFFER];
        fnTollanComGetProductString(0, product, 0);
        fnTollanComGetProductString(0, serial, 1);
        std::printf("driver: %s (serial %s)\n", product, serial);
        int32_t handle = 0;
        unsigned char send[TOLLANCOM_FRAME] = {'D', 'N'}, reply[TOLLANCOM_FRAME] = {};
        fnTollanComSetTimeouts(2000, 2000);
        if (!fnTollanComOpen(0, &handle)) {
            std::printf("could not open it (busy, or not permitted: see above)\n");
            result = 1;
        } else {
            const int32_t status = fnTollanComSendRecv(handle, send, TOLLANCOM_FRAME, TOLLANCOM_FRAME, reply);
            std::printf("DN: status %d, reply \"%.*s\"\n", status, TOLLANCOM_FRAME, reinterpret_cast<char *>(reply));
            result = status == 1 && reply[0] != 0 ? 0 : 1;
            fnTollanComClose(handle);
        }
    } else {
        std::printf("no driver is plugged in: skipped\n");
    }
    ::rmdir(folder);
    return result;
}

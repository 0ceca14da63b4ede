// Shared by the panel benchmarks: a real zenta-sim in a private device folder,
// opened through the real library as the selection window would.
#pragma once

#include "SimProcess.h"
#include "device/TollanApi.h"
#include "device/modTollan.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <sys/resource.h>

namespace bench {

inline double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Starts the simulator and opens it; on failure says why and returns false.
inline bool openSimulatedDevice(simtest::SimProcess &sim, const QStringList &simArgs)
{
    const QString bin = QCoreApplication::applicationDirPath();
    qputenv("ZENTA_BIN_DIR", bin.toLocal8Bit());
    qputenv("TOLLANCOM_DIR", sim.folder().toLocal8Bit());
    if (!sim.start(simArgs)) {
        std::fprintf(stderr, "zenta-sim did not start\n");
        return false;
    }
    QString error;
    if (!loadTollanLibrary(bin, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    int32_t count = 0;
    tollanApi().GetNumDevices(&count);
    tollanApi().SetTimeouts(5000, 5000);
    if (count < 1 || !tollanApi().Open(0, &modTollan::DeviceHandle)) {
        std::fprintf(stderr, "cannot open the simulated device\n");
        return false;
    }
    modTollan::CommOpen = true;
    return true;
}

}  // namespace bench

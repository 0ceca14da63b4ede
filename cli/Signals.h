// SIGINT, SIGTERM and SIGHUP do not end zentactl on the spot: they are
// noted, and every loop looks at them, so that a moving axis gets its STOP
// before the program ends.
#pragma once

#include <chrono>

namespace zentactl {

void catchSignals();
// The first signal caught, or 0.
int caughtSignal();
// "SIGINT", "SIGTERM" or "SIGHUP".
const char *signalName(int sig);
// Waits `d`, or less when a signal arrives.
void pauseFor(std::chrono::milliseconds d);

}  // namespace zentactl

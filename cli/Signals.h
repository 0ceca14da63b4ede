// SIGINT, SIGTERM and SIGHUP do not end zentactl on the spot: they are
// noted, and every loop looks at them, so that a moving axis gets its STOP
// before the program ends. Every wait zentactl does (a pause, standard
// output that cannot take more, a holder's answer) also ends at a signal,
// and serves meanwhile whatever is registered as the service: the door of
// a held device (Hold.h).
#pragma once

#include <chrono>
#include <poll.h>
#include <string>
#include <vector>

namespace zentactl {

void catchSignals();
// The first signal caught, or 0.
int caughtSignal();
// "SIGINT", "SIGTERM" or "SIGHUP".
const char *signalName(int sig);
// The exit status a signal gives: 128+N, or 0 for a command a signal ends
// in order (a watch, a jog), which says so by signalEndsInOrder().
int signalStatus();
void signalEndsInOrder();

// What is served while zentactl waits.
class Service {
public:
    virtual ~Service() = default;
    // The descriptors to wait on, appended to `fds`.
    virtual void watch(std::vector<pollfd> &fds) = 0;
    // Handles what is ready now, without waiting.
    virtual void serve() = 0;
};
// One at a time; nullptr for none.
void setService(Service *s);
Service *service();

enum class Waited { Ready, Signal, TimedOut };
// Until `fd` (none when negative) is ready for `events`, a signal comes, or
// `ms` pass (negative: no bound), serving the service meanwhile.
Waited waitFor(int fd, short events, int ms);
// Waits `d`, or less when a signal arrives.
void pauseFor(std::chrono::milliseconds d);

// Writes `data` whole to standard output, a wait for room ending at a
// signal: then the program ends with signalStatus(). False with `error`
// (an errno) when it cannot be written.
bool writeStandardOutput(const std::string &data, int &error);

}  // namespace zentactl

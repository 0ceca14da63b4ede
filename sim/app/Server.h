// The process around the model: the device socket (one client at a time, one
// 64-byte reply per 64-byte frame), the text control socket, and the clock.
//
// Everything runs in one ppoll() loop. Its timers are delayed replies
// (latency) and the model's next wake-up (a running program), so a simulator
// with nothing to do sleeps in the kernel.
#pragma once

#include "Model.h"

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zsim {

struct ServerOptions {
    std::string dir;
    std::string serial = "sim1";
    std::string name = "CFG01";
    std::string flashPath;  // empty: flash lives in memory only
    bool lockstep = false;
    Micros statementUs = Interpreter::kDefaultStatementUs;  // device time of one program statement
};

class Server {
public:
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Claims the serial and publishes the device; false with `error` filled if
    // that is impossible (another simulator holds the serial, path too long...).
    bool start(std::string &error);
    // Serves until SIGINT or SIGTERM (blocked by the caller, read here) or the
    // control command `quit`, whose connection stays open until the files are gone.
    int run(int signalFd);

private:
    struct CtlClient {
        int fd;
        std::string in, out;
        std::chrono::steady_clock::time_point deadline;  // to ask and take the answer
    };
    struct Pending {
        std::chrono::steady_clock::time_point due;
        Frame reply;
    };

    Micros clock();
    // Brings the model up to the present (real time only).
    void catchUp();
    // Runs the model towards `target` until real time reaches `until`; then,
    // if it still lags by more than `maxLag`, the rest is given up.
    void advanceModel(Micros target, std::chrono::steady_clock::time_point until, Micros maxLag);
    // When a running program next needs the model caught up; none in lockstep.
    std::optional<std::chrono::steady_clock::time_point> programWake() const;
    std::string path(const char *suffix) const;
    bool plug(std::string &error);
    void unplug();
    bool publishProduct();
    void dropClient();

    void acceptDevice();
    bool holderHungUp() const;
    bool backlogged() const;
    void takeFrames(const char *data, std::size_t n, bool answer);
    void readClient();
    void finishHolder();
    void sendReply(const Frame &reply);
    void flushClient();
    void flushDue();

    int acceptOn(int listenFd, bool useSpare);
    void dropIdleCtl(std::chrono::steady_clock::time_point now);
    void acceptCtl();
    bool serviceCtl(CtlClient &c, short events);  // false: finished, close it
    std::string control(const std::string &line);

    ServerOptions opt_;
    std::unique_ptr<FlashStorage> flash_;
    std::unique_ptr<Model> model_;

    int spareFd_ = -1;   // given up to accept the host when out of descriptors
    std::chrono::steady_clock::time_point acceptPausedUntil_{};
    int lockFd_ = -1;    // held for the simulator's lifetime: it is alive
    int deviceFd_ = -1;  // listening device socket, -1 while unplugged
    int ctlFd_ = -1;
    int clientFd_ = -1;
    std::string clientIn_;   // partial frame
    std::string clientOut_;  // reply bytes the socket did not take yet
    std::deque<Pending> pending_;
    std::vector<CtlClient> ctl_;

    bool silent_ = false;
    bool quit_ = false;
    long latencyUs_ = 0;
    // Host connections offered and frames taken since start, for tests that
    // must see that nothing reached the device.
    unsigned long connections_ = 0, frames_ = 0;
    Micros lockstepNow_ = 0;
    std::chrono::steady_clock::time_point epoch_;
    // End of this loop turn's share of real time for catching the model up.
    std::chrono::steady_clock::time_point catchUpUntil_{};
    bool owned_ = false;  // our files are on disk and ours to remove
};

}  // namespace zsim

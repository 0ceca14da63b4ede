// The process around the model: the device socket (one client at a time, one
// 64-byte reply per 64-byte frame) and the text control socket. The device's
// clock, which says when and how far the model runs, is DeviceClock.
//
// Everything runs in one epoll loop. Its timers are delayed replies (latency)
// and the clock's next wake-up (a running program, an advance under way), so
// a simulator with nothing to do sleeps in the kernel. One exchange costs the
// loop three system calls: the wait, the read and the reply; what it waits
// for is registered again only when it changes.
#pragma once

#include "DeviceClock.h"
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
    // A fixed product string, as a driver's firmware holds one (Latin-1);
    // empty: the device name, which follows a stored "DN=".
    std::string product;
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
        std::optional<Micros> awaiting;  // lockstep: answered once this device time is reached
    };
    struct Pending {
        std::chrono::steady_clock::time_point due;
        Frame reply;
    };

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
    // A descriptor number just opened: whatever was registered under it went
    // with the old one, so the next wait registers it afresh.
    void fresh(int fd);
    // Registers what the next wait is for (`wanted_`), changing only what differs.
    void watch();
    // Waits until one of `wanted_` is ready or `timeout` (none: no bound) has
    // passed; `ready_` holds what each of them reported; false on failure.
    bool wait(const std::optional<std::chrono::nanoseconds> &timeout);
    void dropIdleCtl(std::chrono::steady_clock::time_point now);
    void acceptCtl();
    bool serviceCtl(CtlClient &c, short events);  // false: finished, close it
    // The answer to one control line; empty when it comes later (`advance`).
    std::string control(const std::string &line, CtlClient &c);
    void answerAdvances();

    ServerOptions opt_;
    std::unique_ptr<FlashStorage> flash_;
    std::unique_ptr<Model> model_;
    std::unique_ptr<DeviceClock> clock_;

    int epollFd_ = -1;
    // Descriptors and the events asked of them: registered, wanted for the
    // next wait (the signal descriptor, the control socket, the device
    // socket, the host, the control clients in order; -1 for none) and what
    // each reported.
    std::vector<std::pair<int, std::uint32_t>> watched_, wanted_;
    std::vector<std::uint32_t> ready_;
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
    bool owned_ = false;  // our files are on disk and ours to remove
};

}  // namespace zsim

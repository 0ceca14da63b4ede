// What the hidraw backend costs per exchange over the stand-in for a node (a
// SOCK_SEQPACKET socket served by another process), against the least two
// processes can do with the same reports: a bare seqpacket ping-pong of a
// 65-byte report out and a 64-byte report back. Both echo processes are the
// same code; only the host side differs. Prints figures only.
//
//   hid_bench [EXCHANGES]        pinned: taskset -c 0 hid_bench
#include "TollanCom.h"
#include "ToolRun.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

sockaddr_un address(const std::string &path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    return a;
}

// A child that grants one connection (the byte 1, as the stand-in does) and
// answers each report with its frame.
pid_t startEcho(const std::string &path)
{
    const int lfd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a = address(path);
    if (bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd, 1) != 0) {
        std::perror("echo bind");
        std::exit(1);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int c = accept(lfd, nullptr, nullptr);
        const unsigned char grant = 1;
        send(c, &grant, 1, MSG_NOSIGNAL);
        unsigned char buf[128];
        while (recv(c, buf, sizeof buf, 0) == 65)
            if (send(c, buf + 1, 64, MSG_NOSIGNAL) != 64)
                break;
        _exit(0);
    }
    close(lfd);
    return pid;
}

int connectEcho(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a = address(path);
    unsigned char grant = 0;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || recv(fd, &grant, 1, 0) != 1) {
        std::perror("echo connect");
        std::exit(1);
    }
    return fd;
}

double floorRoundTripUs(int fd, int n)
{
    unsigned char out[65] = {0, 'P', 'X'}, in[64];
    for (int i = 0; i < n / 10; ++i) {
        send(fd, out, 65, 0);
        recv(fd, in, 64, 0);
    }
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        send(fd, out, 65, 0);
        recv(fd, in, 64, 0);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n;
}

double libraryRoundTripUs(int32_t handle, int n)
{
    unsigned char out[64] = {'P', 'X'}, in[64];
    for (int i = 0; i < n / 10; ++i)
        fnTollanComSendRecv(handle, out, 64, 64, in);
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i)
        if (fnTollanComSendRecv(handle, out, 64, 64, in) != 1) {
            std::fprintf(stderr, "exchange %d failed\n", i);
            std::exit(1);
        }
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n;
}

void makeTree(const std::string &sys)
{
    const std::string usb = sys + "/devices/usb1/1-1", hid = usb + "/1-1:1.0/0003:1234:5678.0001";
    for (const std::string &d : {sys + "/class", sys + "/class/hidraw", sys + "/class/hidraw/hidraw0", sys + "/devices",
                                 sys + "/devices/usb1", usb, usb + "/1-1:1.0", hid})
        mkdir(d.c_str(), 0700);
    FILE *f = std::fopen((usb + "/product").c_str(), "w");
    std::fputs("ZENTA CFG USB driver\n", f);
    std::fclose(f);
    if (symlink("../../../devices/usb1/1-1/1-1:1.0/0003:1234:5678.0001", (sys + "/class/hidraw/hidraw0/device").c_str()) != 0) {
        std::perror("symlink");
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const int n = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 20000;
    char tmpl[] = "/tmp/zenta-hid-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    for (const char *sub : {"/sim", "/sys", "/dev"})
        mkdir((dir + sub).c_str(), 0700);
    makeTree(dir + "/sys");
    setenv("TOLLANCOM_DIR", (dir + "/sim").c_str(), 1);
    setenv("TOLLANCOM_SYSFS", (dir + "/sys").c_str(), 1);
    setenv("TOLLANCOM_DEVROOT", (dir + "/dev").c_str(), 1);

    const std::string node = dir + "/dev/hidraw0", bare = dir + "/bare";
    const pid_t device = startEcho(node);
    const pid_t echo = startEcho(bare);
    int32_t count = 0, handle = 0;
    if (fnTollanComGetNumDevices(&count) != 1 || count != 1 || !fnTollanComOpen(0, &handle)) {
        std::fprintf(stderr, "cannot open the stand-in\n");
        return 1;
    }
    const int echoFd = connectEcho(bare);

    // Alternate the two so that machine noise hits both alike.
    std::vector<double> floors, libs;
    for (int round = 0; round < 5; ++round) {
        floors.push_back(floorRoundTripUs(echoFd, n));
        libs.push_back(libraryRoundTripUs(handle, n));
    }
    const double floorUs = bench::median(floors), libUs = bench::median(libs);
    close(echoFd);
    fnTollanComClose(handle);
    waitpid(echo, nullptr, 0);
    waitpid(device, nullptr, 0);

    cpu_set_t cpus;
    const int ncpu = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : -1;
    std::printf("exchanges per round      %d (median of %zu rounds), CPUs this process may use: %d\n", n, libs.size(), ncpu);
    std::printf("bare seqpacket ping-pong %8.2f us/round trip  %9.0f per second\n", floorUs, 1e6 / floorUs);
    std::printf("libTollanCom hidraw      %8.2f us/round trip  %9.0f per second\n", libUs, 1e6 / libUs);
    std::printf("ratio                    %8.2f (goal 1.20 or less, pinned and unpinned)\n", libUs / floorUs);
    const std::string clean = "rm -rf '" + dir + "'";
    return std::system(clean.c_str()) == 0 ? 0 : 1;
}

// Measures what a panel poll costs against the simulator and what the machine
// allows at best:
//  - round trips of 64-byte frames through libTollanCom to zenta-sim;
//  - the same frames ping-ponged over a bare Unix socket between two processes;
//  - zenta-sim's CPU use while idle and its resident memory;
//  - with a stored program: round trips while both threads run tight loops
//    against none running, and the CPU of a running, a waiting and a paused
//    program with no host traffic.
// Prints figures only; it asserts nothing.
//
//   sim_bench [EXCHANGES] [--host-cpu N] [--device-cpu N] [--exchange-only]
//
// --host-cpu pins this process (the host), --device-cpu the simulator and the
// echo process, so that both round trips run with the same placement: both on
// one core (0 and 0) or across two (0 and 1). Unpinned, the scheduler chooses.
#include "TollanCom.h"
#include "ToolRun.h"

#include "zenta/lang/compiler.hpp"
#include "zenta/lang/transfer.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using bench::median;

namespace {

std::string selfDir()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    std::string p(buf, static_cast<std::size_t>(n));
    return p.substr(0, p.rfind('/'));
}

bool readExactly(int fd, char *buf, std::size_t n)
{
    std::size_t got = 0;
    while (got < n) {
        const ssize_t k = recv(fd, buf + got, n - got, 0);
        if (k <= 0)
            return false;
        got += static_cast<std::size_t>(k);
    }
    return true;
}

// -1: left to the scheduler.
int deviceCpu = -1;

void pin(pid_t pid, int cpu)
{
    if (cpu < 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(pid, sizeof set, &set) != 0) {
        std::perror("sched_setaffinity");
        std::exit(1);
    }
}

sockaddr_un address(const std::string &path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    return a;
}

// A child that echoes 64-byte frames: the least any device process can cost.
pid_t startEcho(const std::string &path)
{
    const int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = address(path);
    if (bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd, 1) != 0) {
        std::perror("echo bind");
        std::exit(1);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        pin(0, deviceCpu);
        const int c = accept(lfd, nullptr, nullptr);
        char buf[64];
        while (readExactly(c, buf, 64))
            if (send(c, buf, 64, MSG_NOSIGNAL) != 64)
                break;
        _exit(0);
    }
    close(lfd);
    return pid;
}

int connectEcho(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = address(path);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        std::perror("echo connect");
        std::exit(1);
    }
    return fd;
}

double floorRoundTripUs(int fd, int n)
{
    char out[64] = "PX", in[64];
    for (int i = 0; i < n / 10; ++i) {  // warm-up
        send(fd, out, 64, 0);
        readExactly(fd, in, 64);
    }
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        send(fd, out, 64, 0);
        readExactly(fd, in, 64);
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

// CPU time the process has had, from the scheduler's own nanosecond count.
long long cpuNs(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = 0;
    f >> ns;
    return ns;
}

// Share of one core the process uses over the next `seconds`.
double cpuPercent(pid_t pid, double seconds)
{
    const long long before = cpuNs(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return 100.0 * static_cast<double>(cpuNs(pid) - before) / (seconds * 1e9);
}

std::string ask(int32_t handle, const std::string &command)
{
    unsigned char out[64] = {}, in[64] = {};
    std::memcpy(out, command.data(), std::min<std::size_t>(command.size(), 63));
    if (fnTollanComSendRecv(handle, out, 64, 64, in) != 1)
        return "<none>";
    return std::string(reinterpret_cast<const char *>(in), strnlen(reinterpret_cast<const char *>(in), 64));
}

// Stops the threads, downloads the program and fails loudly if it cannot.
void download(int32_t handle, const char *source)
{
    namespace tr = zenta::lang::transfer;
    const auto compiled = zenta::lang::compile(source);
    std::vector<std::string> commands{"SR=0"};
    for (std::string &c : tr::downloadCommands(zenta::lang::formatCompiled(compiled.program.code)))
        commands.push_back(std::move(c));
    for (const std::string &c : commands)
        if (!compiled.ok || ask(handle, c) != "OK") {
            std::fprintf(stderr, "download failed at %s\n", c.c_str());
            std::exit(1);
        }
}


std::string statusField(pid_t pid, const char *key)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0)
            return line.substr(line.find_first_not_of(" \t", std::strlen(key)));
    return "?";
}

void programFigures(pid_t sim, int32_t handle, int n)
{
    const double seconds = 5.0;
    download(handle, "PRG 0\nloop: V1=V1+1\nGOTO loop\nPRG 1\nloop1: DO1=1\nDO1=0\nGOTO loop1\n");
    std::vector<double> idle, busy;
    for (int round = 0; round < 5; ++round) {
        ask(handle, "SR=0");
        idle.push_back(libraryRoundTripUs(handle, n));
        ask(handle, "SR=1");
        busy.push_back(libraryRoundTripUs(handle, n));
    }
    const double idleUs = median(idle), busyUs = median(busy);
    std::printf("program: a tight loop in each thread, default statement time\n");
    std::printf("  round trip, no program   %8.2f us\n", idleUs);
    std::printf("  round trip, loops run    %8.2f us  ratio %.2f (goal 1.50 or less)\n", busyUs, busyUs / idleUs);

    const long long v0 = std::stoll(ask(handle, "V1"));
    const auto t0 = Clock::now();
    const double looping = cpuPercent(sim, seconds);
    const double counted = static_cast<double>(std::stoll(ask(handle, "V1")) - v0) * 2;
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("  CPU, loops run, no host  %8.2f %% of a core (goal below 10), thread 0 ran %.0f statements/s\n",
                looping, counted / elapsed);
    ask(handle, "SR=2");
    std::printf("  CPU, both paused         %8.2f %% of a core (goal below 1)\n", cpuPercent(sim, seconds));

    download(handle, "PRG 0\nloop: DELAY=10\nGOTO loop\nPRG 1\nJ+\nWAITX\n");
    ask(handle, "SR=1");
    std::printf("  CPU, DELAY=10 loop and WAITX on a jog %8.2f %% of a core (goal below 1)\n", cpuPercent(sim, seconds));
    ask(handle, "SR=0");
    ask(handle, "ABORT");
}

}  // namespace

int main(int argc, char **argv)
{
    int n = 20000, hostCpu = -1;
    bool exchangeOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--host-cpu" && i + 1 < argc)
            hostCpu = std::atoi(argv[++i]);
        else if (a == "--device-cpu" && i + 1 < argc)
            deviceCpu = std::atoi(argv[++i]);
        else if (a == "--exchange-only")
            exchangeOnly = true;
        else if (!a.empty() && a[0] != '-')
            n = std::max(1000, std::atoi(a.c_str()));
        else {
            std::fprintf(stderr, "usage: sim_bench [EXCHANGES] [--host-cpu N] [--device-cpu N] [--exchange-only]\n");
            return 2;
        }
    }
    pin(0, hostCpu);
    char tmpl[] = "/tmp/zenta-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    setenv("TOLLANCOM_DIR", dir.c_str(), 1);

    const pid_t sim = bench::startSimulator({selfDir() + "/zenta-sim", "--serial", "bench1"});
    if (sim < 0)
        return 1;
    pin(sim, deviceCpu);

    int32_t count = 0, handle = 1;
    if (fnTollanComGetNumDevices(&count) != 1 || count != 1 || !fnTollanComOpen(0, &handle)) {
        std::fprintf(stderr, "cannot open the simulator\n");
        return 1;
    }
    const std::string echoPath = dir + "/echo.sock";
    const pid_t echo = startEcho(echoPath);
    const int echoFd = connectEcho(echoPath);

    // Alternate the two so that machine noise hits both alike.
    std::vector<double> floors, libs;
    for (int round = 0; round < 5; ++round) {
        floors.push_back(floorRoundTripUs(echoFd, n));
        libs.push_back(libraryRoundTripUs(handle, n));
    }
    const double floorUs = median(floors), libUs = median(libs);
    close(echoFd);
    waitpid(echo, nullptr, 0);
    unlink(echoPath.c_str());

    std::printf("exchanges per round    %d (median of %zu rounds), host cpu %s, device cpu %s\n", n, libs.size(),
                hostCpu < 0 ? "any" : std::to_string(hostCpu).c_str(),
                deviceCpu < 0 ? "any" : std::to_string(deviceCpu).c_str());
    std::printf("bare socket ping-pong  %8.2f us/round trip  %9.0f per second\n", floorUs, 1e6 / floorUs);
    std::printf("libTollanCom+zenta-sim %8.2f us/round trip  %9.0f per second\n", libUs, 1e6 / libUs);
    std::printf("ratio                  %8.2f (goal 1.15 or less across cores, 1.05 on one)\n", libUs / floorUs);
    if (exchangeOnly) {
        fnTollanComClose(handle);
        bench::stopSimulator(sim);
        rmdir(dir.c_str());
        return 0;
    }

    const double idleSeconds = 3.0;
    const double cpu = cpuPercent(sim, idleSeconds);
    std::printf("zenta-sim idle CPU     %8.2f %% of a core over %.0f s\n", cpu, idleSeconds);
    std::printf("zenta-sim resident     %s (peak %s)\n", statusField(sim, "VmRSS:").c_str(),
                statusField(sim, "VmHWM:").c_str());

    programFigures(sim, handle, n);
    fnTollanComClose(handle);

    bench::stopSimulator(sim);
    rmdir(dir.c_str());
    return 0;
}

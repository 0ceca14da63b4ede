// Times zentactl against zenta-sim in real-time mode:
//  - `zentactl status` as a whole process, against its floor: a process that
//    only starts and loads libTollanCom.so as zentactl does, plus the same
//    exchanges (list, open, the 13 status words, close) through the library
//    in this process. Goal: within 1.5 x the floor.
//  - `zentactl --json status --watch` readings per second, timed from its
//    first line to its last, against the bare loop of the same 13 exchanges
//    in this process. Goal: 80 % or more.
// Prints medians, minima and the ratios; asserts nothing. Run it pinned
// (taskset -c 0) and unpinned: an exchange between two cores costs a
// cross-core wake-up each way.
// Usage: bench_zentactl [runs] [readings]
#include "ToolRun.h"
#include "TollanCom.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::loadavg;
using bench::maximum;
using bench::median;
using bench::minimum;

namespace {

const char *const kStatusWords[] = {"PX",  "MST",     "DI",   "DO",      "EO",   "AI",   "MM",
                                    "SASTAT", "SPC",  "SASTAT0", "SPC0", "SASTAT1", "SPC1"};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void exchange(int32_t handle, const char *command)
{
    unsigned char out[64] = {}, in[64] = {};
    std::memcpy(out, command, std::strlen(command));
    if (fnTollanComSendRecv(handle, out, 64, 64, in) != 1) {
        std::fprintf(stderr, "exchange %s failed\n", command);
        std::exit(1);
    }
}

int32_t open()
{
    int32_t count = 0, handle = 0;
    char product[TOLLANCOM_PRODUCT_BUFFER];
    fnTollanComGetNumDevices(&count);
    fnTollanComGetProductString(0, product, 0);
    fnTollanComSetTimeouts(2000, 2000);
    if (count != 1 || !fnTollanComOpen(0, &handle)) {
        std::fprintf(stderr, "cannot open the simulator\n");
        std::exit(1);
    }
    return handle;
}

// What one `zentactl status` does with the library, in this process.
double statusInProcess()
{
    const auto start = Clock::now();
    const int32_t h = open();
    for (const char *w : kStatusWords)
        exchange(h, w);
    fnTollanComClose(h);
    return ms(Clock::now() - start);
}

// Readings per second of the bare loop.
double rawLoopRate(int readings)
{
    const int32_t h = open();
    const auto start = Clock::now();
    for (int r = 0; r < readings; ++r)
        for (const char *w : kStatusWords)
            exchange(h, w);
    const double seconds = ms(Clock::now() - start) / 1000;
    fnTollanComClose(h);
    return readings / seconds;
}

// Readings per second of `zentactl --json status --watch --count n`, from
// its first line to its last, so that start-up is not counted.
double watchRate(const std::string &zentactl, int readings)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        std::exit(1);
    const std::string count = std::to_string(readings);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        execl(zentactl.c_str(), zentactl.c_str(), "--json", "status", "--watch", "--count", count.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    int lines = 0;
    Clock::time_point first{}, last{};
    char buf[65536];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) {
        const auto now = Clock::now();
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n')
                continue;
            if (++lines == 1)
                first = now;
            last = now;
        }
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || lines != readings) {
        std::fprintf(stderr, "zentactl status --watch failed (%d lines)\n", lines);
        std::exit(1);
    }
    return (lines - 1) / (ms(last - first) / 1000);
}

}  // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 31;
    const int readings = argc > 2 ? std::max(10, std::atoi(argv[2])) : 2000;
    std::string pattern = "/tmp/bench_zentactl_XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    // zentactl and the start-up process load the library from their own folder.
    const fs::path root = pattern;
    fs::create_directories(root / "dev");
    fs::copy_file(ZENTA_TOLLANCOM_PATH, root / "libTollanCom.so");
    fs::copy_file(ZENTA_ZENTACTL_PATH, root / "zentactl");
    fs::copy_file(ZENTA_STARTUP_PATH, root / "startup");
    for (const char *f : {"zentactl", "startup"})
        fs::permissions(root / f, fs::perms::owner_all);
    setenv("TOLLANCOM_DIR", (root / "dev").c_str(), 1);
    const pid_t sim = bench::startSimulator({ZENTA_SIM_PATH, "--serial", "bench", "--name", "CFG05"});
    if (sim < 0)
        return 1;

    cpu_set_t cpus;
    sched_getaffinity(0, sizeof cpus, &cpus);
    const std::string loadBefore = loadavg();
    const std::string zentactl = (root / "zentactl").string(), startup = (root / "startup").string();

    std::vector<double> tStatus, tStart, tIn;
    for (int k = -1; k < runs; ++k) {  // round -1 warms caches and is not counted
        const bench::Run s = bench::runProcess({zentactl, "status"}, true);
        const bench::Run u = bench::runProcess({startup});
        const double in = statusInProcess();
        if (k < 0)
            continue;
        tStatus.push_back(s.ms);
        tStart.push_back(u.ms);
        tIn.push_back(in);
    }
    std::vector<double> rWatch, rRaw;
    for (int k = 0; k < 5; ++k) {
        rWatch.push_back(watchRate(zentactl, readings));
        rRaw.push_back(rawLoopRate(readings));
    }

    bench::stopSimulator(sim);
    fs::remove_all(root);

    std::printf("zentactl against zenta-sim (real time), %d runs, %d readings a watch, %d CPUs allowed\n", runs,
                readings, CPU_COUNT(&cpus));
    std::printf("  load average before %s, after %s\n", loadBefore.c_str(), loadavg().c_str());
    auto row = [](const char *what, const std::vector<double> &v) {
        std::printf("  %-40s median %8.3f ms   min %8.3f ms\n", what, median(v), minimum(v));
    };
    row("zentactl status (process)", tStatus);
    row("  floor: start-up (load library)", tStart);
    row("  floor: list, open, 13 exchanges, close", tIn);
    auto ratio = [](const char *what, double tool, double floor) {
        std::printf("  status, %s: %.2fx the floor (%.3f ms); goal 1.5x: %s\n", what, tool / floor, floor,
                    tool <= 1.5 * floor ? "met" : "missed");
    };
    ratio("medians", median(tStatus), median(tStart) + median(tIn));
    ratio("minima ", minimum(tStatus), minimum(tStart) + minimum(tIn));
    std::printf("  %-40s median %8.0f /s   max %8.0f /s\n", "status --watch --json readings", median(rWatch),
                maximum(rWatch));
    std::printf("  %-40s median %8.0f /s   max %8.0f /s\n", "  bare loop of the 13 exchanges", median(rRaw),
                maximum(rRaw));
    const double share = 100 * median(rWatch) / median(rRaw);
    std::printf("  watch, medians: %.0f %% of the bare loop; goal 80 %%: %s\n", share, share >= 80 ? "met" : "missed");
    return 0;
}

// A production line against its floor: eight simulated drivers (real time),
// `zentactl -d all` doing `settings set --store`, `program download` and
// `program verify` of the largest program (1275 compiled lines), against the
// same command on one device. T1 is that one device's wall time, C1 its
// processor time (zentactl and the simulator together), K the CPUs this
// process may use; the goal for the eight-device run is 1.5 x max(T1, 8 x
// C1 / K): waiting overlaps, processor work is shared only by the cores.
// Prints medians and the ratio; asserts nothing. Run it pinned (taskset -c 0)
// and unpinned.
// Usage: bench_line [runs]
#include "LargestProgram.h"
#include "ToolRun.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::median;

namespace {

constexpr int kDevices = 8;

// Processor seconds a process has used so far, from /proc.
double cpuOf(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // The fields after the command name, which may hold blanks.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::atol(field.c_str());
        if (i == 15)
            stime = std::atol(field.c_str());
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

struct Timed {
    double wallMs = 0, cpuMs = 0;  // cpu: zentactl's (with its children) and the simulators'
};

Timed runLine(const std::vector<std::string> &argv, const std::vector<pid_t> &sims)
{
    std::vector<double> before;
    for (pid_t s : sims)
        before.push_back(cpuOf(s));
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Timed t;
    t.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string line;
        for (const auto &a : argv)
            line += a + " ";
        std::fprintf(stderr, "%sfailed (status %d)\n", line.c_str(), status);
        std::exit(1);
    }
    const auto seconds = [](const timeval &v) { return double(v.tv_sec) + double(v.tv_usec) / 1e6; };
    double cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    for (std::size_t i = 0; i < sims.size(); ++i)
        cpu += cpuOf(sims[i]) - before[i];
    t.cpuMs = cpu * 1000;
    return t;
}

}  // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 7;
    std::string pattern = "/tmp/bench_line_XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = pattern;
    fs::create_directories(root / "dev");
    fs::copy_file(ZENTA_TOLLANCOM_PATH, root / "libTollanCom.so");
    fs::copy_file(ZENTA_ZENTACTL_PATH, root / "zentactl");
    fs::permissions(root / "zentactl", fs::perms::owner_all);
    setenv("TOLLANCOM_DIR", (root / "dev").c_str(), 1);
    {
        std::ofstream(root / "line.prg", std::ios::binary) << bench::largestProgram();
        std::ofstream(root / "line.ini", std::ios::binary)
            << "[ZENTA-KDR-V3 driver settings, format 1]\r\nDeviceName=01\r\nRunCurrent=1.5\r\nIdleCurrent=0\r\n"
               "Microstep=2\r\nControlMode=USB\r\nTimeOut=250\r\nDOPolarity=1\r\nDIPolarity=0\r\nDOBoot=2\r\n"
               "AutoRun0=0\r\nAutoRun1=1\r\n";
    }
    std::vector<pid_t> sims;
    for (int i = 1; i <= kDevices; ++i) {
        const pid_t s = bench::startSimulator({ZENTA_SIM_PATH, "--serial", "line" + std::to_string(i), "--name",
                                               "CFG0" + std::to_string(i)});
        if (s < 0)
            return 1;
        sims.push_back(s);
    }

    cpu_set_t cpus;
    sched_getaffinity(0, sizeof cpus, &cpus);
    const int k = CPU_COUNT(&cpus);
    const std::string loadBefore = bench::loadavg();
    const std::string zentactl = (root / "zentactl").string(), prg = (root / "line.prg").string(),
                      ini = (root / "line.ini").string();
    struct Op {
        const char *name;
        std::vector<std::string> args;
    };
    const std::vector<Op> ops = {{"settings set --store", {"settings", "set", ini, "--store"}},
                                 {"program download", {"program", "download", prg}},
                                 {"program verify", {"program", "verify", prg}}};

    std::printf("zentactl -d all against %d zenta-sim (real time), %d runs, K = %d CPUs allowed\n", kDevices, runs, k);
    for (const Op &op : ops) {
        std::vector<double> t1, c1, t8, c8;
        for (int r = -1; r < runs; ++r) {  // round -1 warms caches and is not counted
            std::vector<std::string> one{zentactl, "-d", "line1"}, all{zentactl, "-d", "all"};
            one.insert(one.end(), op.args.begin(), op.args.end());
            all.insert(all.end(), op.args.begin(), op.args.end());
            const Timed a = runLine(one, {sims.front()});
            const Timed b = runLine(all, sims);
            if (r < 0)
                continue;
            t1.push_back(a.wallMs);
            c1.push_back(a.cpuMs);
            t8.push_back(b.wallMs);
            c8.push_back(b.cpuMs);
        }
        const double floor = std::max(median(t1), kDevices * median(c1) / k);
        std::printf("  %s\n", op.name);
        std::printf("    one device:    T1 %8.1f ms   C1 %8.1f ms (medians)\n", median(t1), median(c1));
        std::printf("    %d devices:     T8 %8.1f ms   CPU %7.1f ms (medians)\n", kDevices, median(t8), median(c8));
        std::printf("    floor max(T1, %d x C1 / K) %.1f ms; T8 is %.2fx it; goal 1.5x: %s\n", kDevices, floor,
                    median(t8) / floor, median(t8) <= 1.5 * floor ? "met" : "missed");
    }
    std::printf("  load average before %s, after %s\n", loadBefore.c_str(), bench::loadavg().c_str());

    for (pid_t s : sims)
        bench::stopSimulator(s);
    fs::remove_all(root);
    return 0;
}

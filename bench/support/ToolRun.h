// Runs a tool process to its end for the tool benchmarks: wall time and peak
// memory; a failing run ends the benchmark, since its figures would mean nothing.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

struct Run {
    double ms;
    long maxRssKb;
};

// `quiet`: standard output goes to /dev/null (a tool that prints its result).
inline Run runProcess(const std::vector<std::string> &argv, bool quiet = false)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (quiet) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", argv[0].c_str(), status);
        std::exit(1);
    }
    return Run{ms, usage.ru_maxrss};
}

// 0 for no samples, so a benchmark that measured nothing prints a zero
// instead of reading past the end.
inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double minimum(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

inline double maximum(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

// The machine's load, printed beside figures taken on a shared machine.
inline std::string loadavg()
{
    std::ifstream f("/proc/loadavg");
    std::string a, b, c;
    f >> a >> b >> c;
    return a + " " + b + " " + c;
}

// Starts zenta-sim (argv[0] is its path) and waits for its ready line, so the
// first exchange finds the device listening. -1 if it did not start.
inline pid_t startSimulator(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int ready[2];
    if (pipe(ready) != 0) {
        std::fprintf(stderr, "zenta-sim did not start\n");
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        dup2(ready[1], STDOUT_FILENO);
        execv(args[0], args.data());
        std::perror(args[0]);
        _exit(127);
    }
    close(ready[1]);
    char line[128] = {};
    const ssize_t got = pid > 0 ? read(ready[0], line, sizeof line - 1) : -1;
    close(ready[0]);
    if (got <= 0) {
        std::fprintf(stderr, "zenta-sim did not start\n");
        if (pid > 0)
            waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

inline void stopSimulator(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

}  // namespace bench

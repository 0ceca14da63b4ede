// Times the real Merrow process downloading and uploading a program of 1275
// compiled lines (the device's limit) to zenta-sim in real-time mode, against
//  - the floor: as many bare library exchanges ("ID") in one process, with the
//    device opened and closed, as the loader needs (1279 down, 1277 up);
//  - the same transfer frames sent in one process (the protocol without the
//    loader's process, files and device search);
//  - process start-up: a process that only loads libTollanCom.so as Merrow does.
// Prints medians, minima, peak memory and the ratios; asserts nothing.
// Usage: bench_merrow [runs] [flash|memory] [folder]
//   flash: the simulator keeps a flash file; folder: where the EXE folder and
//   the device folder go (default /tmp; /dev/shm shows the tools without the
//   cost of syncing their files to a disk).
#include "LargestProgram.h"
#include "ToolRun.h"
#include "TollanCom.h"
#include "zenta/lang/text.hpp"
#include "zenta/lang/transfer.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
namespace lang = zenta::lang;
namespace tr = zenta::lang::transfer;
using Clock = std::chrono::steady_clock;

namespace {

using bench::loadavg;
using bench::median;
using bench::minimum;
using bench::Run;
using bench::runProcess;

void writeFile(const fs::path &p, const std::string &bytes)
{
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

std::string setup(const char *ope, const char *fil, const char *lin)
{
    return lang::joinLines({std::string("LIN:") + lin, "COM:USB", "POR:1", "BAU:9600", "DEV:05",
                            std::string("OPE:") + ope, std::string("FIL:") + fil, "MOD:ZENTA-KDR-V3"});
}

int32_t openDevice()
{
    int32_t count = 0, handle = 0;
    for (int k = 0; k < 100; ++k) {
        if (fnTollanComGetNumDevices(&count) == 1 && count == 1 && fnTollanComOpen(0, &handle))
            return handle;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "cannot open the simulator\n");
    std::exit(1);
}

std::string exchange(int32_t handle, const std::string &command)
{
    unsigned char out[64] = {}, in[65] = {};
    std::memcpy(out, command.data(), std::min<std::size_t>(command.size(), 64));
    if (fnTollanComSendRecv(handle, out, 64, 64, in) != 1) {
        std::fprintf(stderr, "exchange %s failed\n", command.c_str());
        std::exit(1);
    }
    return reinterpret_cast<const char *>(in);
}

// Opens the device, runs the commands, closes it; milliseconds.
double inProcess(const std::vector<std::string> &commands, bool expectOk)
{
    const auto start = Clock::now();
    const int32_t h = openDevice();
    for (const auto &c : commands) {
        const std::string r = exchange(h, c);
        if (expectOk && r != "OK" && c != "DN" && c != tr::kInfo) {
            std::fprintf(stderr, "%s -> %s\n", c.c_str(), r.c_str());
            std::exit(1);
        }
    }
    fnTollanComClose(h);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 21;
    const bool withFlash = argc > 2 && std::strcmp(argv[2], "flash") == 0;
    std::string pattern = std::string(argc > 3 ? argv[3] : "/tmp") + "/bench_merrow_XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = pattern;
    const fs::path exe = root / "EXE";
    fs::create_directories(exe);
    fs::create_directories(root / "dev");
    fs::copy_file(ZENTA_TOLLANCOM_PATH, root / "libTollanCom.so");
    fs::copy_file(ZENTA_MERROW_PATH, exe / "Merrow");
    fs::copy_file(ZENTA_STARTUP_PATH, exe / "Startup");
    for (const char *f : {"Merrow", "Startup"})
        fs::permissions(exe / f, fs::perms::owner_all);
    setenv("TOLLANCOM_DIR", (root / "dev").c_str(), 1);

    std::vector<std::string> simArgs{ZENTA_SIM_PATH, "--serial", "bench", "--name", "CFG05"};
    if (withFlash)
        simArgs.insert(simArgs.end(), {"--flash", (root / "flash").string()});
    const pid_t sim = bench::startSimulator(simArgs);
    if (sim < 0)
        return 1;

    const auto compiled = lang::compile(bench::largestProgram());
    const std::vector<std::string> program = lang::formatCompiled(compiled.program.code);
    std::vector<std::string> out{"COMPILE OK " + std::to_string(program.size()) + " lines"};
    out.insert(out.end(), program.begin(), program.end());
    writeFile(exe / "CompileOut.txt", lang::joinLines(out));

    // What Merrow sends, frame by frame, and the bare floor of as many exchanges.
    std::vector<std::string> down{"DN", tr::beginCommand(static_cast<int>(program.size()))};
    for (std::size_t k = 0; k < program.size(); ++k)
        down.push_back(tr::lineCommand(static_cast<int>(k) + 1, program[k]));
    down.push_back(tr::endCommand(lang::programChecksum(program)));
    down.push_back(std::string(tr::kInfo));
    std::vector<std::string> up{"DN", std::string(tr::kInfo)};
    for (std::size_t k = 0; k < program.size(); ++k)
        up.push_back(tr::readCommand(static_cast<int>(k) + 1));
    const std::vector<std::string> floorDown(down.size(), "ID"), floorUp(up.size(), "ID");

    cpu_set_t cpus;
    sched_getaffinity(0, sizeof cpus, &cpus);
    const std::string loadBefore = loadavg();

    std::vector<double> tDown, tUp, tStart, tFloorDown, tFloorUp, tInDown, tInUp;
    long rssMerrow = 0, rssStart = 0;
    const std::string merrow = (exe / "Merrow").string(), startup = (exe / "Startup").string();
    for (int k = -1; k < runs; ++k) {  // round -1 warms caches and is not counted
        writeFile(exe / "merrow_setup.txt", setup("DOWNLOAD", "CompileOut.txt", " 1275"));
        const Run d = runProcess({merrow});
        writeFile(exe / "merrow_setup.txt", setup("UPLOAD", "UploadOut.txt", "1275"));
        const Run u = runProcess({merrow});
        const Run s = runProcess({startup});
        const double fd = inProcess(floorDown, false), fu = inProcess(floorUp, false);
        const double id = inProcess(down, true), iu = inProcess(up, false);
        if (k < 0)
            continue;
        tDown.push_back(d.ms);
        tUp.push_back(u.ms);
        tStart.push_back(s.ms);
        tFloorDown.push_back(fd);
        tFloorUp.push_back(fu);
        tInDown.push_back(id);
        tInUp.push_back(iu);
        rssMerrow = std::max({rssMerrow, d.maxRssKb, u.maxRssKb});
        rssStart = std::max(rssStart, s.maxRssKb);
    }
    std::ifstream check(exe / "UploadOut.txt", std::ios::binary);
    std::string first;
    std::getline(check, first);

    bench::stopSimulator(sim);
    fs::remove_all(root);

    const double start = median(tStart), startMin = minimum(tStart);
    std::printf("Merrow, %zu compiled lines to zenta-sim (real time%s), files in %s, %d runs, %d CPUs allowed\n",
                program.size(), withFlash ? ", flash file" : ", flash in memory", root.parent_path().c_str(), runs,
                CPU_COUNT(&cpus));
    std::printf("  load average before %s, after %s\n", loadBefore.c_str(), loadavg().c_str());
    std::printf("  upload result line: %s\n", first.substr(0, first.find('\r')).c_str());
    auto row = [](const char *what, const std::vector<double> &v) {
        std::printf("  %-34s median %8.2f ms   min %8.2f ms\n", what, median(v), minimum(v));
    };
    row("process start-up (load library)", tStart);
    row("Merrow download process", tDown);
    row("  same frames in one process", tInDown);
    row("  floor: bare exchanges", tFloorDown);
    row("Merrow upload process", tUp);
    row("  same frames in one process", tInUp);
    row("  floor: bare exchanges", tFloorUp);
    // Minima as well as medians: on a loaded machine every exchange waits for
    // a core twice, which the medians mostly measure.
    auto ratio = [](const char *what, double tool, double floor, double start) {
        const double goal = 1.5 * floor + start;
        std::printf("  %s: %.2fx the floor, %.2fx (floor + start-up); goal 1.5 x floor + start-up = %.2f ms: %s\n", what,
                    tool / floor, tool / (floor + start), goal, tool <= goal ? "met" : "missed");
    };
    ratio("download, medians", median(tDown), median(tFloorDown), start);
    ratio("download, minima ", minimum(tDown), minimum(tFloorDown), startMin);
    ratio("upload, medians  ", median(tUp), median(tFloorUp), start);
    ratio("upload, minima   ", minimum(tUp), minimum(tFloorUp), startMin);
    std::printf("  peak RSS: Merrow %ld KiB, start-up process %ld KiB (%.2fx)\n", rssMerrow, rssStart,
                static_cast<double>(rssMerrow) / static_cast<double>(rssStart));
    return 0;
}

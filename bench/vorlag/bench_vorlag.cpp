// Times the real Vorlag process compiling a program of 1275 compiled lines,
// the device's limit, against bench_copy_floor reading the same program and
// writing a file as large as CompileOut.txt. Prints times, peak memory and
// their ratios; also the in-process compile time of the library alone.
#include "LargestProgram.h"
#include "ToolRun.h"
#include "zenta/lang/compiler.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using bench::median;
using bench::Run;
using bench::runProcess;

}  // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 101;
    char pattern[] = "/tmp/bench_vorlag_XXXXXX";
    const fs::path dir = mkdtemp(pattern);
    fs::copy_file(ZENTA_VORLAG_PATH, dir / "Vorlag");
    fs::permissions(dir / "Vorlag", fs::perms::owner_all);

    const std::string program = bench::largestProgram();
    std::ofstream(dir / "Program.prg", std::ios::binary) << program;
    std::ofstream(dir / "vorlag_setup.txt", std::ios::binary) << "MOD:ZENTA-QLX\r\nOPE:COMPILE\r\nFIL:Program.prg\r\n";

    const std::vector<std::string> vorlag{(dir / "Vorlag").string()};
    runProcess(vorlag);  // warm the page cache
    std::ifstream check(dir / "CompileOut.txt", std::ios::binary);
    std::string first;
    std::getline(check, first);
    const auto outSize = fs::file_size(dir / "CompileOut.txt");
    const std::vector<std::string> floor{ZENTA_COPY_FLOOR_PATH, (dir / "Program.prg").string(),
                                         (dir / "floor.txt").string(), std::to_string(outSize)};
    runProcess(floor);

    std::vector<double> tv, tf, tl;
    long rssV = 0, rssF = 0;
    for (int k = 0; k < runs; ++k) {
        const Run v = runProcess(vorlag);
        const Run f = runProcess(floor);
        tv.push_back(v.ms);
        tf.push_back(f.ms);
        rssV = std::max(rssV, v.maxRssKb);
        rssF = std::max(rssF, f.maxRssKb);
        const auto start = Clock::now();
        const auto r = zenta::lang::compile(program);
        const auto lines = zenta::lang::formatCompiled(r.program.code);
        tl.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (lines.size() != static_cast<std::size_t>(zenta::lang::kMaxCompiledLines))
            return 1;
    }
    fs::remove_all(dir);

    const double mv = median(tv), mf = median(tf);
    std::printf("Vorlag compile, %d compiled lines, input %zu bytes, output %ju bytes, %d runs\n",
                zenta::lang::kMaxCompiledLines, program.size(), static_cast<std::uintmax_t>(outSize), runs);
    std::printf("  result line: %s\n", first.substr(0, first.find('\r')).c_str());
    std::printf("  Vorlag process      median %7.3f ms   min %7.3f ms   peak RSS %6ld KiB\n", mv,
                *std::min_element(tv.begin(), tv.end()), rssV);
    std::printf("  read+write floor    median %7.3f ms   min %7.3f ms   peak RSS %6ld KiB\n", mf,
                *std::min_element(tf.begin(), tf.end()), rssF);
    std::printf("  library compile     median %7.3f ms (in process, no I/O)\n", median(tl));
    std::printf("  ratio Vorlag/floor  time %.2fx (goal within 2x)   memory %.2fx\n", mv / mf,
                static_cast<double>(rssV) / static_cast<double>(rssF));
    return 0;
}

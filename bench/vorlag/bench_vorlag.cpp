// Times the real Vorlag process compiling a program of 1275 compiled lines,
// the device's limit, against bench_copy_floor reading the same program and
// writing a file as large as CompileOut.txt. Prints times, peak memory and
// their ratios; also the in-process compile time of the library alone.
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

// A realistic mix of statements, padded with moves to exactly 1275 lines.
std::string largestProgram()
{
    std::string body;
    for (int k = 0; k < 40; ++k) {
        const std::string n = std::to_string(k);
        body += "; block " + n + "\r\n";
        body += "l" + n + ": V" + std::to_string(k % 50 + 1) + "=V2*" + n + "\r\n";
        body += "WHILE V1<" + n + " AND DI1=0\r\n  X" + n + "000\r\n  WAITX\r\n  V1=V1+1\r\nENDWHILE\r\n";
        body += "IF PX>=-2147483648 OR AI>=512 AND EO=1\r\n  DO1=1\r\nELSEIF MST!=0\r\n  GOSUB l" + n +
                "\r\nELSE\r\n  DELAY=V3\r\nENDIF\r\n";
        body += "HSPD=2000\r\nGOTO l" + n + "\r\n";
    }
    std::string program = "PRG 0\r\n" + body;
    int lines = static_cast<int>(zenta::lang::compile(program).program.code.size());
    program += "PRG 1\r\n";
    ++lines;
    for (; lines < zenta::lang::kMaxCompiledLines; ++lines)
        program += "X-" + std::to_string(lines) + "  ; pad\r\n";
    return program;
}

struct Run {
    double ms;
    long maxRssKb;
};

Run runProcess(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", argv[0].c_str(), status);
        std::exit(1);
    }
    return Run{ms, usage.ru_maxrss};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 101;
    char pattern[] = "/tmp/bench_vorlag_XXXXXX";
    const fs::path dir = mkdtemp(pattern);
    fs::copy_file(ZENTA_VORLAG_PATH, dir / "Vorlag");
    fs::permissions(dir / "Vorlag", fs::perms::owner_all);

    const std::string program = largestProgram();
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

// zenta-sim: a simulated driver on this machine's device folder.
//
//   zenta-sim [--serial S] [--name CFGnn] [--product TEXT] [--flash FILE] [--lockstep] [--statement-us US]
//   zenta-sim ctl S COMMAND...
//   zenta-sim --help | --version
#include "DeviceFolder.h"
#include "Paths.h"
#include "Server.h"
#include "zenta/lang/decimal.hpp"
#include "zenta/lang/text.hpp"
#include "zenta/lang/transfer.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kCtlTimeoutMs = 5000;
// An advance is answered once its statements have run, however long that
// takes; the wait still has a bound.
constexpr int kAdvanceTimeoutMs = 600'000;
constexpr std::size_t kCtlAnswerMax = 64 * 1024;

constexpr const char *kUsage =
    "usage: zenta-sim [--serial S] [--name CFGnn] [--product TEXT] [--flash FILE] [--lockstep]\n"
    "                 [--statement-us US]\n"
    "       zenta-sim ctl S COMMAND...\n"
    "       zenta-sim --help | --version\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

int help()
{
    std::fputs(kUsage, stdout);
    std::fputs("\n"
               "A simulated ZENTA-KDR-V3 driver, published in the device folder as S.sock,\n"
               "S.product and S.ctl, until SIGINT, SIGTERM or the control command quit.\n"
               "\n"
               "  --serial S     serial number, 1 to 32 letters, digits, '-' or '_' (sim1)\n"
               "  --name CFGnn   factory device name while the flash holds none (CFG01)\n"
               "  --product TEXT fixed product string, 1 to 63 Latin-1 characters, as a USB\n"
               "                 driver's firmware has one; it may name no device, and a new\n"
               "                 name set by DN= never changes it (default: the device name)\n"
               "  --flash FILE   flash image on disk; without it the flash is lost at exit\n"
               "  --lockstep     time moves only on the control command advance MS\n"
               "  --statement-us US  device time of one program statement, 1 to 1000000 (100)\n"
               "  --help         print this help and exit\n"
               "  --version      print the version and exit\n"
               "\n"
               "Control commands (zenta-sim ctl S ...): state, unplug, replug, silent on|off,\n"
               "latency US, power-cycle, di BITS, ai VALUE, advance MS, quit.\n"
               "Device folder: $TOLLANCOM_DIR, else $XDG_RUNTIME_DIR/tollancom,\n"
               "else /tmp/tollancom-<uid>. See zenta-sim(1).\n",
               stdout);
    return 0;
}

constexpr std::size_t kProductMax = 63;

// The product string as the device publishes it: Latin-1, one line, capped;
// nothing when the argument cannot be that without a change, `why` says why.
std::optional<std::string> productArgument(const std::string &argument, std::string &why)
{
    std::optional<std::string> latin1 = zenta::lang::latin1FromUtf8(argument, &why);
    if (!latin1)
        return std::nullopt;
    if (latin1->empty() || latin1->size() > kProductMax) {
        why = latin1->empty() ? std::string("an empty text") : std::to_string(latin1->size()) + " characters";
        return std::nullopt;
    }
    for (const char c : *latin1) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || (b >= 0x7F && b < 0xA0)) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", b);
            why = std::string("the control character ") + code;
            return std::nullopt;
        }
    }
    return latin1;
}

bool validSerial(const std::string &s)
{
    if (s.empty() || s.size() > 32)
        return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
            return false;
    return true;
}

int runCtl(int argc, char **argv)
{
    if (argc < 4 || !validSerial(argv[2]))
        return usage();
    std::string line;
    for (int i = 3; i < argc; ++i)
        line += (i > 3 ? " " : "") + std::string(argv[i]);
    line += "\n";

    std::string error;
    if (!tollancom::checkDeviceFolder(zsim::deviceDir(), error)) {
        std::fprintf(stderr, "zenta-sim: %s\n", error.c_str());
        return 3;
    }
    const std::string p = tollancom::entryPath(zsim::deviceDir(), argv[2], ".ctl");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (p.size() >= sizeof addr.sun_path)
        return usage();
    std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        std::fprintf(stderr, "zenta-sim: no simulator %s at %s\n", argv[2], p.c_str());
        return 3;
    }
    // The simulator closes the connection after its answer; after `quit` it
    // does so once its files are gone, so a caller may start a new one at once.
    std::string answer;
    char buf[1024];
    const int waitMs = std::strcmp(argv[3], "advance") == 0 ? kAdvanceTimeoutMs : kCtlTimeoutMs;
    pollfd pfd{fd, POLLIN, 0};
    while (answer.size() < kCtlAnswerMax) {
        if (poll(&pfd, 1, waitMs) <= 0) {
            std::fprintf(stderr, "zenta-sim: %s did not %s\n", argv[2],
                         answer.find('\n') == std::string::npos ? "answer" : "finish");
            close(fd);
            return 3;
        }
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    if (answer.empty()) {
        std::fprintf(stderr, "zenta-sim: %s closed without an answer\n", argv[2]);
        return 3;
    }
    if (answer.back() != '\n')
        answer += '\n';
    std::fputs(answer.c_str(), stdout);
    return answer.rfind("ERR", 0) == 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "ctl") == 0)
        return runCtl(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return help();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("zenta-sim %s\n", ZENTA_VERSION);
        return 0;
    }

    zsim::ServerOptions opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasNext = i + 1 < argc;
        if (a == "--serial" && hasNext)
            opt.serial = argv[++i];
        else if (a == "--name" && hasNext)
            opt.name = argv[++i];
        else if (a == "--product" && hasNext) {
            std::string why;
            const auto product = productArgument(argv[++i], why);
            if (!product) {
                std::fprintf(stderr,
                             "zenta-sim: --product: %s; it takes 1 to %zu Latin-1 characters and no control "
                             "characters\n",
                             why.c_str(), kProductMax);
                return 2;
            }
            opt.product = *product;
        } else if (a == "--flash" && hasNext)
            opt.flashPath = argv[++i];
        else if (a == "--lockstep")
            opt.lockstep = true;
        else if (a == "--statement-us" && hasNext) {
            std::int64_t us = 0;
            if (!zenta::lang::parseDecimalIn(argv[++i], 1, zsim::Interpreter::kMaxStatementUs, us)) {
                std::fprintf(stderr, "zenta-sim: --statement-us takes microseconds, 1 to %lld\n",
                             static_cast<long long>(zsim::Interpreter::kMaxStatementUs));
                return 2;
            }
            opt.statementUs = us;
        } else
            return usage();
    }
    if (!validSerial(opt.serial)) {
        std::fprintf(stderr, "zenta-sim: serial must be 1 to 32 letters, digits, '-' or '_'\n");
        return 2;
    }
    if (!zenta::lang::isDeviceName(opt.name)) {
        std::fprintf(stderr, "zenta-sim: name must be CFG and two digits\n");
        return 2;
    }

    // Signals arrive through a descriptor in the poll loop, never mid-update.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit must fail the write that hits it ("?FLASH"), not kill the device.
    std::signal(SIGXFSZ, SIG_IGN);
    const int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);

    std::string error;
    opt.dir = zsim::deviceDir();
    if (sigFd < 0 || !zsim::ensureDeviceDir(opt.dir, error)) {
        std::fprintf(stderr, "zenta-sim: %s\n", sigFd < 0 ? "signalfd failed" : error.c_str());
        return 1;
    }
    zsim::Server server(opt);
    if (!server.start(error)) {
        std::fprintf(stderr, "zenta-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("zenta-sim %s ready\n", opt.serial.c_str());
    std::fflush(stdout);
    return server.run(sigFd);
}

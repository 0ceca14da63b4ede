// A stand-in USB driver for the device library's tests: the simulator's
// model behind the hidraw report framing, on a SOCK_SEQPACKET socket that
// stands where the library looks for a hidraw node.
//
//   tollancom_hid_peer --socket PATH [--name CFGnn]
//
// One connection at a time is granted with a message of one byte, 1; a
// second while one is held is closed at once, which the library reports as
// busy. Each message of 65 bytes whose first byte (the report number) is 0
// carries one frame; the model answers it at the moment it arrives, in one
// message of 64 bytes. Other messages are not reports of ours and are
// passed over, as a driver would. Prints "ready" once it listens; ends on
// SIGTERM, SIGINT or when its standard input closes.
#include "Flash.h"
#include "Model.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int stopPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 0;
    (void)!::write(stopPipe[1], &c, 1);
}

int usage()
{
    std::fprintf(stderr, "usage: tollancom_hid_peer --socket PATH [--name CFGnn]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string path, name = "CFG01";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--socket" && i + 1 < argc)
            path = argv[++i];
        else if (a == "--name" && i + 1 < argc)
            name = argv[++i];
        else
            return usage();
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return usage();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || ::listen(listener, 8) != 0) {
        std::fprintf(stderr, "tollancom_hid_peer: %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    zsim::MemoryFlash flash;
    const auto start = std::chrono::steady_clock::now();
    const auto deviceNow = [start] {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    };
    zsim::Model model(flash, name, 0);
    std::printf("ready\n");
    std::fflush(stdout);

    int holder = -1;
    for (;;) {
        pollfd fds[4] = {{stopPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}, {listener, POLLIN, 0}, {holder, POLLIN, 0}};
        // The model has nothing to do between commands that a host could see
        // but through a command, so time is brought up to date per command.
        if (::poll(fds, holder >= 0 ? 4 : 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        if (fds[1].revents) {
            char buf[256];
            if (::read(STDIN_FILENO, buf, sizeof buf) <= 0)
                break;
        }
        // The holder first: one that closed and a new comer ready at once
        // (a program that lets go and opens again) find the device free.
        if (holder >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR))) {
            unsigned char report[128];
            const ssize_t n = ::recv(holder, report, sizeof report, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                ::close(holder);
                holder = -1;
                model.linkDropped();
            } else if (n == 65 && report[0] == 0) {
                zsim::Frame in{};
                std::memcpy(in.data(), report + 1, zsim::kFrame);
                model.advanceTo(deviceNow());
                const zsim::Frame out = model.handleFrame(in);
                (void)::send(holder, out.data(), out.size(), MSG_NOSIGNAL);
            }
        }
        if (fds[2].revents & POLLIN) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0 && holder < 0) {
                const unsigned char grant = 1;
                if (::send(fd, &grant, 1, MSG_NOSIGNAL) == 1)
                    holder = fd;
                else
                    ::close(fd);
            } else if (fd >= 0) {
                ::close(fd);  // busy
            }
        }
    }
    ::close(listener);
    ::unlink(path.c_str());
    return 0;
}

#include "Line.h"

#include "Exit.h"
#include "Signals.h"
#include "Text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zentactl {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

std::vector<std::string> deviceWords(const std::vector<std::string> &given)
{
    std::vector<std::string> words;
    for (const std::string &g : given) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = g.find(',', start);
            words.push_back(g.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    return words;
}

bool asksForLine(const std::vector<std::string> &given)
{
    const std::vector<std::string> words = deviceWords(given);
    return words.size() > 1 || (words.size() == 1 && sameWord(words.front(), "all"));
}

std::vector<Listed> chooseLine(Link &link, const std::vector<std::string> &words)
{
    // One listing for every word, so that a device is one entry of it: the
    // same device named twice (by name and by serial, say) runs once, and two
    // devices that share a serial are still two.
    const std::vector<Listed> listed = link.list();
    std::vector<Listed> chosen;
    const auto add = [&](const Listed &d) {
        if (std::none_of(chosen.begin(), chosen.end(), [&](const Listed &c) { return c.index == d.index; }))
            chosen.push_back(d);
    };
    for (const std::string &w : words) {
        if (sameWord(w, "all")) {
            if (listed.empty())
                stop(NoSuchDevice, "-d all: no device is listed");
            for (const Listed &d : listed)
                add(d);
        } else {
            add(link.choose(w, listed));
        }
    }
    return chosen;
}

namespace {

// What one device's zentactl may have waiting here: in text, lines not yet
// told (it then waits to be read, as it would on a full pipe, until ours
// takes more); with --json its whole output, kept until it ends (what comes
// beyond is read and dropped, so that it never waits on us).
constexpr std::size_t kOutputCap = 1 << 20;
constexpr std::size_t kLineCap = 64 * 1024;
constexpr std::size_t kErrorCap = 64 * 1024;
// After a signal, how long the devices' zentactl processes get to stop
// their axes and end: each may spend about 4 s reaching a device that
// stopped answering (the STOP of a failed link), and room.
constexpr int kStopGraceMs = 10000;
// The longest a quiet turn of the loop waits: a signal that comes just
// before the wait is noticed within it.
constexpr int kSliceMs = 50;

struct Child {
    Listed device;
    std::string prefix;
    pid_t pid = -1;
    // Readable once the process has ended: its end wakes the loop at once,
    // not at the next slice (its pipes close a moment before it can be reaped).
    int ended_fd = -1;
    int in = -1, out = -1, err = -1;
    std::size_t inDone = 0;
    std::string outBuf, errBuf;  // read, not yet told
    std::vector<std::string> outLines;  // whole lines not yet told (text) or kept to the end (JSON)
    std::size_t kept = 0;
    std::string lastError;  // its last line on standard error
    bool cut = false;
    bool started = false, ended = false, told = false;
    int status = -1;
};

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Standard error, line by line; a wait for room ends at a signal (the line
// is then lost, as the run ends).
void writeError(const std::string &line)
{
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR && !caughtSignal())
            continue;
        return;
    }
}

std::string withoutOwnName(const std::string &line)
{
    const std::string own = "zentactl: ";
    return line.rfind(own, 0) == 0 ? line.substr(own.size()) : line;
}

class Runner : public Service {
public:
    Runner(const std::vector<Listed> &devices, const LineRun &run) : run_(run)
    {
        for (const Listed &d : devices) {
            Child c;
            c.device = d;
            c.prefix = utf8(d.name) + " " + utf8(d.serial) + ": ";
            children_.push_back(std::move(c));
        }
    }

    int go();

    // Served while standard output keeps us waiting: the children's output
    // is taken in, within its caps, so that they go on meanwhile.
    void watch(std::vector<pollfd> &fds) override
    {
        for (const Child &c : children_) {
            if (c.in >= 0)
                fds.push_back({c.in, POLLOUT, 0});
            if (c.out >= 0 && (run_.json || c.kept < kOutputCap))
                fds.push_back({c.out, POLLIN, 0});
            if (c.err >= 0)
                fds.push_back({c.err, POLLIN, 0});
        }
    }
    // The ends too, for the line's own waits: an end stays readable until
    // it is reaped, which only they do.
    void watchAll(std::vector<pollfd> &fds)
    {
        watch(fds);
        for (const Child &c : children_)
            if (c.ended_fd >= 0)
                fds.push_back({c.ended_fd, POLLIN, 0});
    }
    void serve() override
    {
        for (Child &c : children_)
            take(c);
    }

private:
    void start(Child &c);
    void take(Child &c);
    void reap(Child &c, bool wait);
    // `withEnd`: and, once it has ended, how it ended.
    void tell(Child &c, bool withEnd = true);
    void tellEnd(Child &c);
    void emit(const std::string &text);
    void signalAll(int sig);
    int endAfterSignal(int sig);
    bool allEnded() const
    {
        return std::all_of(children_.begin(), children_.end(), [](const Child &c) { return !c.started || c.ended; });
    }

    const LineRun &run_;
    std::vector<Child> children_;
    bool outputGone_ = false;
};

void Runner::start(Child &c)
{
    c.started = true;
    if (c.device.serial.empty()) {
        c.ended = true;
        c.status = NoSuchDevice;
        c.lastError = "it has no serial to be opened by";
        return;
    }
    std::vector<std::string> args{run_.program, kLineSerialOption, c.device.serial};
    if (!run_.inputName.empty()) {
        args.push_back(kLineInputOption);
        args.push_back(run_.inputName);
    }
    args.insert(args.end(), run_.arguments.begin(), run_.arguments.end());
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    const auto failed = [&](const char *what) {
        for (int *p : {in, out, err})
            for (int i = 0; i < 2; ++i)
                if (p[i] >= 0)
                    ::close(p[i]);
        c.ended = true;
        c.status = Failed;
        c.lastError = std::string("its zentactl could not be started: ") + what + ": " + std::strerror(errno);
    };
    // Close-on-exec: no child inherits another's pipes, whose ends would then never come.
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return failed("pipe");
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        return failed("fork");
    if (pid == 0) {
        // Should this process die without a word, each device's zentactl
        // still stops what it set moving.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(128 + SIGTERM);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(argv[0], argv.data());
        const std::string why = std::string("zentactl: ") + argv[0] + " cannot be run: " + std::strerror(errno) + "\n";
        [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, why.data(), why.size());
        ::_exit(Failed);
    }
    c.pid = pid;
#ifdef SYS_pidfd_open
    c.ended_fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#endif
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    c.in = in[1];
    c.out = out[0];
    c.err = err[0];
    for (int fd : {c.in, c.out, c.err})
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (run_.input.empty())
        closeFd(c.in);
}

// Whatever the child has for us now, without waiting.
void Runner::take(Child &c)
{
    if (c.in >= 0) {
        const ssize_t n = ::write(c.in, run_.input.data() + c.inDone, run_.input.size() - c.inDone);
        if (n > 0)
            c.inDone += static_cast<std::size_t>(n);
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || c.inDone == run_.input.size())
            closeFd(c.in);
    }
    char buf[16384];
    while (c.out >= 0 && (run_.json || c.kept < kOutputCap)) {
        const ssize_t n = ::read(c.out, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0) {
            closeFd(c.out);
            break;
        }
        if (run_.json) {
            if (c.kept >= kOutputCap) {
                c.cut = true;
                continue;
            }
            c.kept += static_cast<std::size_t>(n);
        }
        c.outBuf.append(buf, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = c.outBuf.find('\n')) != std::string::npos ||
                             (!run_.json && c.outBuf.size() >= kLineCap);) {
            // A text line longer than the cap is told in pieces.
            const std::size_t end = nl == std::string::npos ? kLineCap : nl;
            c.outLines.push_back(c.outBuf.substr(0, end));
            if (!run_.json)
                c.kept += end + 1;
            c.outBuf.erase(0, nl == std::string::npos ? end : end + 1);
        }
    }
    while (c.err >= 0) {
        const ssize_t n = ::read(c.err, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0) {
            closeFd(c.err);
            break;
        }
        c.errBuf.append(buf, static_cast<std::size_t>(n));
        if (c.errBuf.size() > kErrorCap)
            c.errBuf.erase(0, c.errBuf.size() - kErrorCap);
    }
}

void Runner::reap(Child &c, bool wait)
{
    if (!c.started || c.ended || c.pid < 0)
        return;
    int st = 0;
    const pid_t r = ::waitpid(c.pid, &st, wait ? 0 : WNOHANG);
    if (r != c.pid)
        return;
    c.ended = true;
    c.status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : Failed;
    if (WIFSIGNALED(st))
        c.lastError = std::string("its zentactl was ended by ") + signalName(WTERMSIG(st));
    // What it wrote last is in the pipes already: taken without waiting,
    // and in text told as it goes when there is more than the cap.
    take(c);
    while (!run_.json && c.out >= 0 && c.kept >= kOutputCap) {
        tell(c, false);
        take(c);
    }
    if (!c.outBuf.empty()) {
        c.outLines.push_back(c.outBuf);
        c.outBuf.clear();
    }
    closeFd(c.in);
    closeFd(c.out);
    if (!c.errBuf.empty() && c.errBuf.back() != '\n')
        c.errBuf += '\n';
    closeFd(c.err);
    closeFd(c.ended_fd);
}

void Runner::emit(const std::string &text)
{
    if (outputGone_)
        return;
    int error = 0;
    // A reader that went away (a pipe into head) gets nothing more; the
    // devices still finish what they began.
    if (!writeStandardOutput(text, error))
        outputGone_ = true;
}

// Whole lines as they come: standard output to ours (in text), standard
// error to ours, each named by its device.
void Runner::tell(Child &c, bool withEnd)
{
    for (std::size_t nl; (nl = c.errBuf.find('\n')) != std::string::npos;) {
        const std::string line = withoutOwnName(c.errBuf.substr(0, nl));
        c.errBuf.erase(0, nl + 1);
        if (!line.empty())
            c.lastError = line;
        writeError(c.prefix + line + "\n");
    }
    if (!run_.json) {
        std::string text;
        for (const std::string &l : c.outLines)
            text += c.prefix + l + "\n";
        c.kept = 0;
        c.outLines.clear();
        emit(text);
    }
    if (withEnd && c.ended && !c.told)
        tellEnd(c);
}

void Runner::tellEnd(Child &c)
{
    c.told = true;
    const std::string name = utf8(c.device.name), serial = utf8(c.device.serial);
    const bool failed = c.status != Success && c.status != Differs;
    if (!run_.json) {
        if (c.cut)
            emit(c.prefix + "its output passed " + std::to_string(kOutputCap) + " bytes and was cut\n");
        if (failed)
            emit(c.prefix + "failed (exit " + std::to_string(c.status) + ")" +
                 (c.lastError.empty() ? std::string() : ": " + c.lastError) + "\n");
        return;
    }
    const auto head = [&] {
        json o = json::object();
        o["device"] = name;
        o["serial"] = serial;
        o["exit"] = c.status;
        return o;
    };
    std::string text;
    const auto line = [&](const json &o) {
        text += o.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    };
    bool toldError = false, toldResult = false;
    for (const std::string &l : c.outLines) {
        const json parsed = json::parse(l, nullptr, false);
        json o = head();
        if (parsed.is_object() && parsed.contains("error")) {
            o["error"] = parsed["error"];
            toldError = true;
        } else if (parsed.is_discarded()) {
            o["error"] = {{"exit", c.status}, {"message", "its zentactl printed what is not JSON: " + l}};
            toldError = true;
        } else {
            o["result"] = parsed;
            toldResult = true;
        }
        line(o);
    }
    if (c.cut) {
        json o = head();
        o["error"] = {{"exit", c.status},
                      {"message", "its output passed " + std::to_string(kOutputCap) + " bytes and was cut"}};
        line(o);
    } else if (failed && !toldError) {
        json o = head();
        o["error"] = {{"exit", c.status}, {"message", c.lastError}};
        line(o);
    } else if (!failed && !toldResult) {
        json o = head();
        o["result"] = nullptr;
        line(o);
    }
    c.outLines.clear();
    emit(text);
}

void Runner::signalAll(int sig)
{
    for (const Child &c : children_)
        if (c.started && !c.ended && c.pid > 0)
            ::kill(c.pid, sig);
}

// A signal: each device's zentactl gets it too and stops what it set
// moving; they get a bounded time for it, and then the run ends.
int Runner::endAfterSignal(int sig)
{
    signalAll(sig);
    const auto until = Clock::now() + std::chrono::milliseconds(kStopGraceMs);
    while (!allEnded() && Clock::now() < until) {
        std::vector<pollfd> fds;
        watchAll(fds);
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
        ::poll(fds.data(), fds.size(), std::max(0, std::min(left, kSliceMs)));
        for (Child &c : children_) {
            take(c);
            reap(c, false);
            // Output kept from here on would have no reader that waits for it.
            c.outLines.clear();
            c.kept = 0;
        }
    }
    signalAll(SIGKILL);
    for (Child &c : children_)
        reap(c, true);
    return 128 + sig;
}

int Runner::go()
{
    const int jobs = std::max(1, std::min<int>(run_.jobs, static_cast<int>(children_.size())));
    std::size_t next = 0;
    setService(this);
    try {
        for (;;) {
            if (const int sig = caughtSignal()) {
                // Told what is told already, then whatever the devices still say.
                const int status = endAfterSignal(sig);
                for (Child &c : children_)
                    if (c.started && !c.told)
                        tell(c);
                setService(nullptr);
                return status;
            }
            const auto running = std::count_if(children_.begin(), children_.end(),
                                               [](const Child &c) { return c.started && !c.ended; });
            for (auto n = running; n < jobs && next < children_.size(); ++n)
                start(children_[next++]);
            if (next == children_.size() && allEnded()) {
                for (Child &c : children_)
                    if (!c.told)
                        tell(c);
                break;
            }
            std::vector<pollfd> fds;
            watchAll(fds);
            // Without an end to wait on, one whose pipes have closed is looked at again soon.
            const bool ending = std::any_of(children_.begin(), children_.end(), [](const Child &c) {
                return c.started && !c.ended && c.ended_fd < 0 && c.out < 0 && c.err < 0;
            });
            ::poll(fds.data(), fds.size(), ending ? 2 : kSliceMs);
            for (Child &c : children_) {
                take(c);
                reap(c, false);
                tell(c);
            }
        }
    } catch (const Stop &s) {
        // Standard output kept us waiting until a signal came.
        const int sig = caughtSignal() ? caughtSignal() : SIGTERM;
        endAfterSignal(sig);
        setService(nullptr);
        return s.status > 128 ? s.status : 128 + sig;
    }
    setService(nullptr);

    int done = 0, failed = 0, differ = 0;
    for (const Child &c : children_)
        (c.status == Success ? done : c.status == Differs ? differ : failed) += 1;
    if (!run_.json) {
        const std::size_t n = children_.size();
        emit(std::to_string(n) + (n == 1 ? " device: " : " devices: ") + std::to_string(done) + " done, " +
             (differ ? std::to_string(differ) + " differ, " : std::string()) + std::to_string(failed) + " failed\n");
    }
    return failed ? LineFailed : differ ? Differs : Success;
}

}  // namespace

int runLine(const std::vector<Listed> &devices, const LineRun &run)
{
    Runner r(devices, run);
    return r.go();
}

}  // namespace zentactl

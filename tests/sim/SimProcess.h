// A real zenta-sim process in a private device folder, for tests that cross
// the process boundary.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cerrno>
#include <functional>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace simtest {

// Guards against a hung simulator; no test relies on it expiring.
constexpr int kWaitMs = 10000;

// A program the build put in build/bin. ctest names the folder; run by hand,
// the test sits in build/tests beside build/bin.
inline QString builtBinary(const QString &name)
{
    const QString dir = qEnvironmentVariable("ZENTA_BIN_DIR", QCoreApplication::applicationDirPath() + "/../bin");
    return dir + "/" + name;
}

inline QString simBinary()
{
    return builtBinary("zenta-sim");
}

// One key's value in a state line of "key=value" pairs; "<missing>" without it.
inline std::string stateField(const std::string &line, const std::string &key)
{
    const std::string s = " " + line + " ";
    const auto at = s.find(" " + key + "=");
    if (at == std::string::npos)
        return "<missing>";
    const auto start = at + key.size() + 2;
    return s.substr(start, s.find(' ', start) - start);
}

// Owns one descriptor and closes it when it goes. Copies are refused, as a
// copy would close it a second time (perhaps after the number was reused).
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

inline int connectTo(const QString &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray p = path.toLocal8Bit();
    if (p.size() >= static_cast<int>(sizeof addr.sun_path))
        return -1;
    std::memcpy(addr.sun_path, p.constData(), p.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads exactly n bytes; fewer if the peer closes or nothing comes in time.
inline std::string readBytes(int fd, std::size_t n, int waitMs = kWaitMs)
{
    std::string out;
    char buf[256];
    while (out.size() < n) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, waitMs) <= 0)
            break;
        const ssize_t got = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

inline std::string frame(const std::string &command)
{
    std::string f = command.substr(0, 64);
    f.resize(64, '\0');
    return f;
}

inline bool sendAll(int fd, const std::string &bytes)
{
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// The reply text of one raw exchange (up to the first zero byte), or "<none>".
inline std::string exchange(int fd, const std::string &command)
{
    if (!sendAll(fd, frame(command)))
        return "<none>";
    const std::string r = readBytes(fd, 64);
    if (r.size() != 64)
        return "<none>";
    return r.substr(0, r.find('\0'));
}

class SimProcess {
public:
    explicit SimProcess(QString folder = {}, QString serial = "sim1") : serial_(std::move(serial))
    {
        folder_ = folder.isEmpty() ? tmp_.path() : folder;
    }
    ~SimProcess() { stop(); }

    // Starts the simulator and waits for its ready line.
    bool start(const QStringList &extra = {"--lockstep"})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TOLLANCOM_DIR", folder_);
        for (auto it = extraEnv_.cbegin(); it != extraEnv_.cend(); ++it)
            env.insert(it.key(), it.value());
        proc_.setProcessEnvironment(env);
        proc_.setProcessChannelMode(QProcess::SeparateChannels);
        proc_.start(binary_.isEmpty() ? simBinary() : binary_, QStringList{"--serial", serial_} + extra);
        if (!proc_.waitForStarted(kWaitMs))
            return false;
        while (!proc_.canReadLine())
            if (!proc_.waitForReadyRead(kWaitMs))
                return false;
        readyLine_ = QString::fromLocal8Bit(proc_.readLine());
        return readyLine_ == "zenta-sim " + serial_ + " ready\n";
    }
    // SIGTERM, then wait; returns the exit code (-1 if it did not end normally).
    int stop()
    {
        if (proc_.state() == QProcess::NotRunning)
            return proc_.exitStatus() == QProcess::NormalExit ? proc_.exitCode() : -1;
        proc_.terminate();
        if (!proc_.waitForFinished(kWaitMs)) {
            proc_.kill();
            proc_.waitForFinished(kWaitMs);
            return -1;
        }
        return proc_.exitStatus() == QProcess::NormalExit ? proc_.exitCode() : -1;
    }

    // Another simulator binary than the build's, such as a copy that
    // another user can reach wherever the checkout lives.
    void setBinary(const QString &path) { binary_ = path; }
    // An environment variable of the simulator's own, such as LD_PRELOAD.
    void setEnv(const QString &name, const QString &value) { extraEnv_[name] = value; }

    // Runs in the child before exec: resource limits, another user.
    void setChildSetup(const std::function<void()> &setup) { proc_.setChildProcessModifier(setup); }

    // SIGKILL: the simulator gets no chance to clean up.
    void kill()
    {
        proc_.kill();
        proc_.waitForFinished(kWaitMs);
    }

    QString folder() const { return folder_; }
    QString file(const char *suffix) const { return folder_ + "/" + serial_ + suffix; }
    QProcess &process() { return proc_; }
    const QString &readyLine() const { return readyLine_; }

    // One key of the control command "state".
    std::string state(const std::string &key) { return stateField(ctl("state"), key); }

    // One control line, answered with one line (without its newline);
    // `waitMs` bounds the wait for each byte of it.
    std::string ctl(const std::string &line, int waitMs = kWaitMs)
    {
        const int fd = connectTo(file(".ctl"));
        if (fd < 0)
            return "<unreachable>";
        sendAll(fd, line + "\n");
        std::string answer;
        char c;
        while (answer.size() < 4096) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, waitMs) <= 0 || recv(fd, &c, 1, 0) != 1 || c == '\n')
                break;
            answer += c;
        }
        close(fd);
        return answer;
    }

    // Connects to the device socket; granted holds the first byte (1 granted, 0 busy).
    int connectDevice(int &granted)
    {
        granted = -1;
        const int fd = connectTo(file(".sock"));
        if (fd < 0)
            return -1;
        const std::string b = readBytes(fd, 1);
        if (b.size() == 1)
            granted = static_cast<unsigned char>(b[0]);
        return fd;
    }

private:
    QTemporaryDir tmp_;
    QString folder_;
    QString serial_;
    QProcess proc_;
    QString readyLine_;
    QString binary_;
    QMap<QString, QString> extraEnv_;
};

}  // namespace simtest

// The device library against a small socket peer of our own: no simulator.
#include "DeviceFolder.h"
#include "TollanCom.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <csignal>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A device on the wire, served by one thread of its own that shares nothing
// with the test but atomic counters and a command socket: grants one
// connection at a time, frees the device the moment its holder hangs up, and
// answers each 64-byte frame through `answer` (nullopt = stay silent) after
// the delay the answer asks for, in order, as the simulator does.
class Peer {
public:
    struct Reply {
        QByteArray text;
        int delayMs = 0;
    };
    using Answer = std::function<std::optional<Reply>(const QByteArray &)>;

    Peer(const QString &dir, const QString &serial, const QByteArray &product, Answer answer)
        : answer_(std::move(answer))
    {
        QFile p(dir + "/" + serial + ".product");
        p.open(QIODevice::WriteOnly);
        p.write(product);
        p.close();
        std::string error;
        lockFd_ = tollancom::holdDeviceLock(dir.toStdString(), serial.toStdString(), error);
        lockPath_ = (dir + "/" + serial + ".lock").toStdString();
        path_ = (dir + "/" + serial + ".sock").toStdString();
        listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        ::bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(listenFd_, 4);
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, command_);
        thread_ = std::thread([this] { run(); });
    }

    ~Peer()
    {
        order('q');
        thread_.join();
        ::close(command_[0]);
        ::close(command_[1]);
        ::close(listenFd_);
        ::unlink(path_.c_str());
        ::unlink(lockPath_.c_str());
        ::close(lockFd_);
    }

    // Drops the connection, as a cable pulled out; returns once it is done.
    void unplug() { order('u'); }

    std::atomic<int> framesSeen{0};
    std::atomic<int> repliesWritten{0};
    // Replies whose fate is decided: written, or dropped with their connection.
    std::atomic<int> repliesSettled{0};

private:
    struct Pending {
        Clock::time_point due;
        QByteArray bytes;
    };

    void order(char c)
    {
        (void)::write(command_[0], &c, 1);
        pollfd p{command_[0], POLLIN, 0};
        char ack;
        if (::poll(&p, 1, 10000) == 1)
            (void)::read(command_[0], &ack, 1);
    }

    void drop()
    {
        if (client_ < 0)
            return;
        ::close(client_);
        client_ = -1;
        in_.clear();
        repliesSettled += int(pending_.size());
        pending_.clear();
    }

    bool holderGone() const
    {
        pollfd p{client_, POLLRDHUP, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
    }

    void accept()
    {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (client_ >= 0 && holderGone())
            drop();
        const char grant = client_ < 0 ? 1 : 0;
        (void)::send(fd, &grant, 1, MSG_NOSIGNAL);
        if (grant)
            client_ = fd;
        else
            ::close(fd);
    }

    void read()
    {
        char buf[256];
        const ssize_t k = ::recv(client_, buf, sizeof buf, 0);
        if (k <= 0) {
            drop();
            return;
        }
        in_.append(buf, int(k));
        while (in_.size() >= 64) {
            const QByteArray frame = in_.left(64);
            in_.remove(0, 64);
            ++framesSeen;
            const auto reply = answer_(frame);
            if (!reply)
                continue;
            Clock::time_point due = Clock::now() + std::chrono::milliseconds(reply->delayMs);
            if (!pending_.empty())
                due = std::max(due, pending_.back().due);
            pending_.push_back({due, reply->text.leftJustified(64, '\0', true)});
        }
    }

    void sendDue()
    {
        while (client_ >= 0 && !pending_.empty() && pending_.front().due <= Clock::now()) {
            const QByteArray out = pending_.front().bytes;
            pending_.pop_front();
            (void)::send(client_, out.constData(), 64, MSG_NOSIGNAL);
            ++repliesWritten;
            ++repliesSettled;
        }
    }

    void run()
    {
        for (;;) {
            pollfd fds[3] = {{command_[1], POLLIN, 0}, {listenFd_, POLLIN, 0}, {client_, POLLIN, 0}};
            int wait = -1;
            if (!pending_.empty())
                wait = int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      pending_.front().due - Clock::now()).count() + 1));
            ::poll(fds, 3, wait);
            if (fds[0].revents & POLLIN) {
                char c = 0;
                (void)::read(command_[1], &c, 1);
                drop();
                (void)::write(command_[1], &c, 1);
                if (c == 'q')
                    return;
            }
            if (client_ >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
                read();
            if (fds[1].revents & POLLIN)
                accept();
            sendDue();
        }
    }

    Answer answer_;
    std::string path_, lockPath_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    int command_[2] = {-1, -1};
    int client_ = -1;  // everything below belongs to the peer's thread
    QByteArray in_;
    std::deque<Pending> pending_;
    std::thread thread_;
};

// A device that is stopped or hung: alive (its lock is held) and listening,
// but it never takes a connection. Its queue of waiting connections can be
// filled up, as a busy host of stopped devices would find it.
class StoppedDevice {
public:
    StoppedDevice(const QString &dir, const QString &serial)
    {
        QFile p(dir + "/" + serial + ".product");
        p.open(QIODevice::WriteOnly);
        p.write("CFG04");
        p.close();
        std::string error;
        lockFd_ = tollancom::holdDeviceLock(dir.toStdString(), serial.toStdString(), error);
        lockPath_ = (dir + "/" + serial + ".lock").toStdString();
        const std::string path = (dir + "/" + serial + ".sock").toStdString();
        std::strncpy(addr_.sun_path, path.c_str(), sizeof addr_.sun_path - 1);
        listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(listenFd_, reinterpret_cast<sockaddr *>(&addr_), sizeof addr_);
        ::listen(listenFd_, 0);
    }
    ~StoppedDevice()
    {
        stopListening();
        for (int fd : waiting_)
            ::close(fd);
        ::unlink(addr_.sun_path);
        ::unlink(lockPath_.c_str());
        ::close(lockFd_);
    }

    // Connects without waiting until the queue refuses one more; false if it never did.
    bool fillQueue()
    {
        for (int i = 0; i < 256; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&addr_), sizeof addr_) != 0) {
                const bool full = errno == EAGAIN;
                ::close(fd);
                return full;
            }
            waiting_.push_back(fd);
        }
        return false;
    }

    // Whoever still waits to connect is turned away.
    void stopListening()
    {
        if (listenFd_ >= 0)
            ::close(listenFd_);
        listenFd_ = -1;
    }

private:
    sockaddr_un addr_{AF_UNIX, {}};
    std::string lockPath_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    std::vector<int> waiting_;
};

QByteArray frameOf(const QByteArray &command)
{
    return command.leftJustified(64, '\0', true);
}

int32_t exchange(int32_t handle, const QByteArray &command, QByteArray *reply)
{
    const QByteArray send = frameOf(command);
    unsigned char receive[64];
    std::memset(receive, 0xAA, sizeof receive);
    const int32_t status = fnTollanComSendRecv(handle, reinterpret_cast<const unsigned char *>(send.constData()),
                                               64, 64, receive);
    *reply = QByteArray(reinterpret_cast<const char *>(receive), 64);
    return status;
}

QByteArray text(const QByteArray &frame)
{
    return frame.left(int(qstrnlen(frame.constData(), 64)));
}

// Answers "echo <command>" for everything, silent for "HUSH"; a command
// "SLOW<ms> ..." is answered after that many milliseconds.
std::optional<Peer::Reply> echo(const QByteArray &frame)
{
    const QByteArray cmd = text(frame);
    if (cmd == "HUSH")
        return std::nullopt;
    int delay = 0;
    if (cmd.startsWith("SLOW"))
        delay = cmd.mid(4, cmd.indexOf(' ') - 4).toInt();
    return Peer::Reply{"echo " + cmd, delay};
}

// One exchange of a scripted session: the command, the read time-out for it,
// what must come back, and how many replies the peer must have settled first.
struct Step {
    QByteArray command;
    int timeoutMs;
    int status;
    QByteArray reply;
    int settledBefore = 0;
};

}  // namespace

Q_DECLARE_METATYPE(Step)

class TollanComTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        qputenv("TOLLANCOM_DIR", dir.path().toLocal8Bit());
    }

    void init() { QCOMPARE(fnTollanComSetTimeouts(2000, 2000), 1); }

    void listsDevicesInSerialOrderWithTheirProductStrings()
    {
        Peer b(dir.path(), "sim-b", "CFG07", echo);
        Peer a(dir.path(), "sim-a", "CFG05\n", echo);
        // A socket without a product file is not a device yet.
        QFile stray(dir.path() + "/half.sock");
        QVERIFY(stray.open(QIODevice::WriteOnly));
        stray.close();

        int32_t count = -1;
        QCOMPARE(fnTollanComGetNumDevices(&count), 1);
        QCOMPARE(count, 2);
        char buffer[TOLLANCOM_PRODUCT_BUFFER];
        QCOMPARE(fnTollanComGetProductString(0, buffer, 0), 1);
        QCOMPARE(QByteArray(buffer), QByteArray("CFG05"));
        QCOMPARE(fnTollanComGetProductString(1, buffer, 0), 1);
        QCOMPARE(QByteArray(buffer), QByteArray("CFG07"));
        QCOMPARE(fnTollanComGetProductString(2, buffer, 0), 0);
        QCOMPARE(QByteArray(buffer), QByteArray());
        // Selector 1: the serial, which names the device whatever its index.
        QCOMPARE(fnTollanComGetProductString(0, buffer, 1), 1);
        QCOMPARE(QByteArray(buffer), QByteArray("sim-a"));
        QCOMPARE(fnTollanComGetProductString(1, buffer, 1), 1);
        QCOMPARE(QByteArray(buffer), QByteArray("sim-b"));
        QCOMPARE(fnTollanComGetProductString(2, buffer, 1), 0);
        QCOMPARE(QByteArray(buffer), QByteArray());
        stray.remove();
    }

    void longProductStringIsCutToTheBuffer()
    {
        Peer a(dir.path(), "long", QByteArray(400, 'C'), echo);
        int32_t count = 0;
        QCOMPARE(fnTollanComGetNumDevices(&count), 1);
        char buffer[TOLLANCOM_PRODUCT_BUFFER + 8];
        std::memset(buffer, 'Z', sizeof buffer);
        QCOMPARE(fnTollanComGetProductString(0, buffer, 0), 1);
        QCOMPARE(qstrlen(buffer), 256u);
        QCOMPARE(buffer[TOLLANCOM_PRODUCT_BUFFER], 'Z');  // nothing written past 257 bytes
    }

    void grantsOneConnectionAndExchangesFrames()
    {
        Peer a(dir.path(), "one", "CFG01", echo);
        int32_t count = 0;
        fnTollanComGetNumDevices(&count);
        int32_t handle = 1, second = 1;
        QVERIFY(fnTollanComOpen(0, &handle) != 0);
        QCOMPARE(fnTollanComOpen(0, &second), 0);  // busy
        QCOMPARE(second, 1);

        QByteArray reply;
        QCOMPARE(exchange(handle, "PX", &reply), 1);
        QCOMPARE(text(reply), QByteArray("echo PX"));
        QVERIFY(reply.mid(7) == QByteArray(57, '\0'));
        // A 64-character command travels whole, without a terminator.
        const QByteArray full(64, 'Q');
        QCOMPARE(exchange(handle, full, &reply), 1);
        QCOMPARE(text(reply), QByteArray("echo " + full).left(64));

        QCOMPARE(fnTollanComClose(handle), 1);
        QCOMPARE(fnTollanComClose(handle), 0);
        // Closed: the device is free again.
        // The device notices the close asynchronously; the expression has a
        // side effect, so no QTRY here (it evaluates twice).
        int32_t opened = 0;
        for (int i = 0; i < 100 && !opened; ++i) {
            opened = fnTollanComOpen(0, &second);
            if (!opened)
                QTest::qWait(20);
        }
        QVERIFY(opened != 0);
        QCOMPARE(fnTollanComClose(second), 1);
    }

    // An answer that comes too late belongs to no later command, whenever it
    // arrives: already queued at the next send, during the next exchange, or
    // owed several times over.
    void lateRepliesNeverAnswerALaterCommand_data()
    {
        QTest::addColumn<QList<Step>>("steps");
        const QByteArray none;
        QTest::newRow("silence") << QList<Step>{{"HUSH", 100, 0, none}, {"B", 2000, 1, "echo B"}};
        QTest::newRow("queued before the next send")
            << QList<Step>{{"SLOW250 A", 100, 0, none}, {"B", 2000, 1, "echo B", 1}, {"C", 2000, 1, "echo C"}};
        QTest::newRow("arriving during the next exchange")
            << QList<Step>{{"SLOW300 A", 100, 0, none}, {"B", 2000, 1, "echo B"}, {"C", 2000, 1, "echo C"}};
        QTest::newRow("several owed")
            << QList<Step>{{"SLOW300 A1", 100, 0, none}, {"SLOW300 A2", 100, 0, none}, {"B", 2000, 1, "echo B"},
                           {"C", 2000, 1, "echo C"}};
        QTest::newRow("next one slow too")
            << QList<Step>{{"SLOW300 A", 100, 0, none}, {"SLOW100 B", 2000, 1, "echo SLOW100 B"}};
        QTest::newRow("owed, then silence")
            << QList<Step>{{"SLOW300 A", 100, 0, none}, {"HUSH", 100, 0, none}, {"B", 2000, 1, "echo B"}};
    }

    void lateRepliesNeverAnswerALaterCommand()
    {
        QFETCH(QList<Step>, steps);
        Peer a(dir.path(), "slow", "CFG01", echo);
        int32_t count = 0, handle = 1;
        fnTollanComGetNumDevices(&count);
        QVERIFY(fnTollanComOpen(0, &handle));
        for (const Step &step : steps) {
            // Written or thrown away with its connection: either way decided.
            QTRY_VERIFY_WITH_TIMEOUT(a.repliesSettled.load() >= step.settledBefore, 10000);
            QCOMPARE(fnTollanComSetTimeouts(step.timeoutMs, 1000), 1);
            QByteArray reply;
            QCOMPARE(exchange(handle, step.command, &reply), step.status);
            QCOMPARE(text(reply), step.reply);
            if (step.status != 1)
                QCOMPARE(reply, QByteArray(64, '\0'));
        }
        fnTollanComClose(handle);
    }

    void unplugMidSessionIsALostConnection()
    {
        auto peer = std::make_unique<Peer>(dir.path(), "plug", "CFG01", echo);
        int32_t count = 0, handle = 1;
        fnTollanComGetNumDevices(&count);
        QVERIFY(fnTollanComOpen(0, &handle));
        QByteArray reply;
        QCOMPARE(exchange(handle, "PX", &reply), 1);
        peer->unplug();
        QCOMPARE(exchange(handle, "PX", &reply), -2);
        QCOMPARE(reply, QByteArray(64, '\0'));
        QCOMPARE(exchange(handle, "PX", &reply), -2);
        QCOMPARE(fnTollanComClose(handle), 1);
        peer.reset();
        // Gone from the folder: no device, and opening the old index fails.
        QCOMPARE(fnTollanComGetNumDevices(&count), 1);
        QCOMPARE(count, 0);
        QCOMPARE(fnTollanComOpen(0, &handle), 0);
    }

    // Every call ends within the time-outs, even for a device that takes no
    // connection at all, whether or not its queue of waiting ones is full.
    void openingAStoppedDeviceEnds_data()
    {
        QTest::addColumn<bool>("queueFull");
        QTest::newRow("queue has room") << false;
        QTest::newRow("queue full") << true;
    }

    void openingAStoppedDeviceEnds()
    {
        QFETCH(bool, queueFull);
        StoppedDevice device(dir.path(), "stopped");
        if (queueFull)
            QVERIFY(device.fillQueue());
        QCOMPARE(fnTollanComSetTimeouts(200, 200), 1);
        int32_t count = 0;
        QCOMPARE(fnTollanComGetNumDevices(&count), 1);
        QCOMPARE(count, 1);
        auto opened = std::async(std::launch::async, [] {
            int32_t handle = 1;
            return fnTollanComOpen(0, &handle);
        });
        // The bound only keeps a fault from hanging the test; the time-outs are far shorter.
        if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            device.stopListening();  // lets the waiting call go, so the test can end
            opened.wait();
            QFAIL("fnTollanComOpen was still waiting for the stopped device");
        }
        QCOMPARE(opened.get(), 0);
    }

    // Listed is what lives: a device whose lock is held. What a dead one
    // left behind is removed; files without a lock are not ours to touch.
    void deadDevicesAreSkippedAndCleanedUp()
    {
        Peer live(dir.path(), "live", "CFG02", echo);
        const QStringList deadFiles{"dead.sock",   "dead.product",    "dead.ctl",  "dead.holder",
                                    "dead.holder.tmp", "dead.hold", "dead.hold.tmp", "dead.lock"};
        const QStringList foreign{"nolock.sock", "nolock.product"};
        for (const QString &name : deadFiles + foreign) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("CFG09");
        }
        int32_t count = -1;
        QCOMPARE(fnTollanComGetNumDevices(&count), 1);
        QCOMPARE(count, 1);
        char buffer[TOLLANCOM_PRODUCT_BUFFER];
        QCOMPARE(fnTollanComGetProductString(0, buffer, 0), 1);
        QCOMPARE(QByteArray(buffer), QByteArray("CFG02"));
        for (const QString &name : deadFiles)
            QVERIFY2(!QFileInfo::exists(dir.filePath(name)), qPrintable(name));
        for (const QString &name : foreign) {
            QVERIFY2(QFileInfo::exists(dir.filePath(name)), qPrintable(name));
            QFile::remove(dir.filePath(name));
        }
    }

    // Devices are only believed from a folder that is the user's alone, and
    // a product string only from a regular file reached without a link.
    void folderAndProductMustBeSafe_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("listed");
        QTest::newRow("private") << "0700" << 1 << 1;
        QTest::newRow("readable by others") << "0755" << 1 << 1;
        QTest::newRow("writable by others") << "0777" << 0 << 0;
        QTest::newRow("writable by the group") << "0770" << 0 << 0;
        QTest::newRow("sticky but shared") << "1777" << 0 << 0;
        QTest::newRow("link to a private folder") << "link" << 1 << 1;
        QTest::newRow("another user's folder") << "other" << 0 << 0;
        QTest::newRow("product is a link") << "product link" << 1 << 0;
        QTest::newRow("product is a fifo") << "product fifo" << 1 << 0;
    }

    void folderAndProductMustBeSafe()
    {
        QFETCH(QString, setup);
        QFETCH(int, status);
        QFETCH(int, listed);
        if (setup == "other" && geteuid() != 0)
            QSKIP("needs root to give a folder away");
        const QString folder = dir.filePath("folder");
        QVERIFY(QDir().mkdir(folder));
        auto cleanup = qScopeGuard([&] {
            QFile::remove(dir.filePath("link"));
            QDir(folder).removeRecursively();
            qputenv("TOLLANCOM_DIR", dir.path().toLocal8Bit());
        });
        const QByteArray f = folder.toLocal8Bit();
        auto peer = std::make_unique<Peer>(folder, "dev", "CFG03", echo);
        QString used = folder;
        if (setup[0].isDigit())
            QCOMPARE(chmod(f.constData(), mode_t(setup.toUInt(nullptr, 8))), 0);
        else if (setup == "link") {
            used = dir.filePath("link");
            QCOMPARE(symlink(f.constData(), used.toLocal8Bit().constData()), 0);
        } else if (setup == "other")
            QCOMPARE(chown(f.constData(), 65534, 65534), 0);
        else {
            const QByteArray product = (folder + "/dev.product").toLocal8Bit();
            QVERIFY(QFile::rename(folder + "/dev.product", folder + "/real"));
            if (setup == "product link")
                QCOMPARE(symlink((folder + "/real").toLocal8Bit().constData(), product.constData()), 0);
            else
                QCOMPARE(mkfifo(product.constData(), 0600), 0);  // must not block the listing
        }
        qputenv("TOLLANCOM_DIR", used.toLocal8Bit());
        int32_t count = -1;
        QCOMPARE(fnTollanComGetNumDevices(&count), status);
        QCOMPARE(count, listed);
        int32_t handle = 0;
        QCOMPARE(fnTollanComOpen(0, &handle) != 0, listed == 1);
        if (handle)
            fnTollanComClose(handle);
    }

    void defaultFolderIsCreatedPrivate()
    {
        QTemporaryDir runtime;
        const QByteArray saved = qgetenv("TOLLANCOM_DIR");
        auto restore = qScopeGuard([&] {
            qputenv("TOLLANCOM_DIR", saved);
            qunsetenv("XDG_RUNTIME_DIR");
        });
        qunsetenv("TOLLANCOM_DIR");
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        const QByteArray folder = (runtime.path() + "/tollancom").toLocal8Bit();
        int32_t count = -1;
        QCOMPARE(fnTollanComGetNumDevices(&count), 1);
        QCOMPARE(count, 0);
        struct stat st {};
        QCOMPARE(stat(folder.constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0700));
        // Made by someone else first, open to all: refused, not adopted.
        QCOMPARE(chmod(folder.constData(), 0777), 0);
        QCOMPARE(fnTollanComGetNumDevices(&count), 0);
        QCOMPARE(count, 0);
    }

    // Selector 2 names who holds the device, from the note fnTollanComOpen
    // leaves; empty when nobody does, or the holder has gone.
    void holderNoteNamesWhoHoldsTheDevice()
    {
        Peer device(dir.path(), "held", "CFG01", echo);
        const QString notePath = dir.filePath("held.holder");
        const QByteArray program(program_invocation_short_name);
        char buffer[TOLLANCOM_PRODUCT_BUFFER];
        const auto holder = [&] {
            std::memset(buffer, 'Z', sizeof buffer);
            return fnTollanComGetProductString(0, buffer, 2) == 1 ? QByteArray(buffer) : QByteArray("(failed)");
        };
        int32_t count = 0;
        QCOMPARE(fnTollanComGetNumDevices(&count), 1);
        QCOMPARE(count, 1);
        QCOMPARE(holder(), QByteArray());

        // Another process holds it, and then dies without closing.
        int opened[2], release[2];
        QCOMPARE(::pipe(opened), 0);
        QCOMPARE(::pipe(release), 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            int32_t handle = 0;
            const char ok = fnTollanComOpen(0, &handle) ? 1 : 0;
            (void)::write(opened[1], &ok, 1);
            char byte;
            (void)::read(release[0], &byte, 1);
            ::_exit(0);
        }
        auto reap = qScopeGuard([&] {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            for (int fd : {opened[0], opened[1], release[0], release[1]})
                ::close(fd);
        });
        char ok = 0;
        QCOMPARE(::read(opened[0], &ok, 1), ssize_t(1));
        QCOMPARE(ok, char(1));
        QCOMPARE(holder(), program + " (pid " + QByteArray::number(child) + ")");
        int32_t handle = 0;
        QCOMPARE(fnTollanComOpen(0, &handle), 0);  // busy
        ::kill(child, SIGKILL);
        QCOMPARE(::waitpid(child, nullptr, 0), child);
        QVERIFY(QFileInfo::exists(notePath));
        QCOMPARE(holder(), QByteArray());  // the note of a process that ended says nothing

        // This process takes it: the note is replaced, and goes on closing.
        for (int i = 0; i < 100 && !handle; ++i)
            if (!fnTollanComOpen(0, &handle))
                QTest::qWait(20);
        QVERIFY(handle != 0);
        QCOMPARE(holder(), program + " (pid " + QByteArray::number(::getpid()) + ")");
        QVERIFY(!QFileInfo::exists(notePath + ".tmp"));
        QCOMPARE(fnTollanComClose(handle), 1);
        QVERIFY(!QFileInfo::exists(notePath));
        QCOMPARE(holder(), QByteArray());

        // A note someone else wrote meanwhile (after our link was lost) is
        // theirs: closing leaves it. A process id that now belongs to a later
        // process (its start time differs) names nobody.
        handle = 0;
        for (int i = 0; i < 100 && !handle; ++i)
            if (!fnTollanComOpen(0, &handle))
                QTest::qWait(20);
        QVERIFY(handle != 0);
        {
            QFile note(notePath);
            QVERIFY(note.open(QIODevice::WriteOnly | QIODevice::Truncate));
            note.write("1 999999999999 77\nsomeone\n");
        }
        QCOMPARE(holder(), QByteArray());
        // Nor does one without a start time: a live process id alone proves nothing.
        {
            QFile note(notePath);
            QVERIFY(note.open(QIODevice::WriteOnly | QIODevice::Truncate));
            note.write("1  77\nsomeone\n");
        }
        QCOMPARE(holder(), QByteArray());
        QCOMPARE(fnTollanComClose(handle), 1);
        QVERIFY(QFileInfo::exists(notePath));
        QFile::remove(notePath);
    }

    // Devices are served side by side: each device's peer holds its first
    // reply until every device has received a frame, which only happens when
    // no call on one device waits for another's exchange. Listing and opening
    // go on meanwhile, and afterwards no reply ever reaches the wrong thread.
    void devicesAreServedSideBySide()
    {
        constexpr int kDevices = 4;
        std::atomic<int> arrived{0};
        const auto gathered = [&arrived](const QByteArray &frame) -> std::optional<Peer::Reply> {
            if (text(frame).startsWith("FIRST")) {
                ++arrived;
                // Bounded: a library that serialises devices fails here, it does not hang.
                const auto until = Clock::now() + std::chrono::seconds(8);
                while (arrived.load() < kDevices && Clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (arrived.load() < kDevices)
                    return std::nullopt;
            }
            return echo(frame);
        };
        std::vector<std::unique_ptr<Peer>> peers;
        for (int d = 0; d < kDevices; ++d)
            peers.push_back(std::make_unique<Peer>(dir.path(), QString("side-%1").arg(d), "CFG01", gathered));
        QCOMPARE(fnTollanComSetTimeouts(4000, 4000), 1);
        int32_t count = 0;
        QCOMPARE(fnTollanComGetNumDevices(&count), 1);
        QCOMPARE(count, kDevices);

        std::atomic<bool> running{true};
        std::thread lister([&running] {
            char buffer[TOLLANCOM_PRODUCT_BUFFER];
            int32_t n = 0;
            while (running) {
                fnTollanComGetNumDevices(&n);
                for (int32_t i = 0; i < n; ++i)
                    fnTollanComGetProductString(i, buffer, i % 3);
            }
        });
        std::vector<std::future<QString>> results;
        for (int d = 0; d < kDevices; ++d)
            results.push_back(std::async(std::launch::async, [d]() -> QString {
                int32_t handle = 0;
                // The listing's order is the serials' order: side-<d> is at index d.
                if (!fnTollanComOpen(d, &handle))
                    return QString("device %1 not opened").arg(d);
                QByteArray reply;
                const QByteArray first = "FIRST " + QByteArray::number(d);
                int32_t status = exchange(handle, first, &reply);
                if (status != 1 || text(reply) != "echo " + first)
                    return QString("device %1: first exchange %2 '%3'").arg(d).arg(status).arg(text(reply));
                for (int i = 0; i < 200; ++i) {
                    const QByteArray command = "D" + QByteArray::number(d) + " " + QByteArray::number(i);
                    status = exchange(handle, command, &reply);
                    if (status != 1 || text(reply) != "echo " + command)
                        return QString("device %1: '%2' got %3 '%4'").arg(d).arg(command).arg(status).arg(text(reply));
                }
                return fnTollanComClose(handle) == 1 ? QString() : QString("device %1 not closed").arg(d);
            }));
        QStringList failures;
        for (auto &r : results)
            if (const QString f = r.get(); !f.isEmpty())
                failures << f;
        running = false;
        lister.join();
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join("; ")));
    }

    // One device's exchanges stay strictly one at a time, whichever threads
    // make them: every reply answers the frame its own call sent.
    void oneDeviceTakesOneExchangeAtATime()
    {
        Peer device(dir.path(), "shared", "CFG01", echo);
        int32_t count = 0, handle = 0;
        QCOMPARE(fnTollanComGetNumDevices(&count), 1);
        QVERIFY(fnTollanComOpen(0, &handle));
        std::vector<std::future<QString>> results;
        for (int t = 0; t < 3; ++t)
            results.push_back(std::async(std::launch::async, [t, handle]() -> QString {
                for (int i = 0; i < 300; ++i) {
                    const QByteArray command = "T" + QByteArray::number(t) + " " + QByteArray::number(i);
                    QByteArray reply;
                    const int32_t status = exchange(handle, command, &reply);
                    if (status != 1 || text(reply) != "echo " + command)
                        return QString("'%1' got %2 '%3'").arg(command).arg(status).arg(text(reply));
                }
                return {};
            }));
        for (auto &r : results)
            QCOMPARE(r.get(), QString());
        QCOMPARE(device.framesSeen.load(), 900);
        QCOMPARE(fnTollanComClose(handle), 1);
    }

    // A handle closed while another thread exchanges on it: the exchange
    // ends normally, the close waits for it, and later calls on the handle
    // are refused; nothing is used after it is freed.
    void closingWhileAnotherThreadExchanges()
    {
        std::atomic<bool> release{false};
        Peer device(dir.path(), "closing", "CFG01", [&release](const QByteArray &frame) -> std::optional<Peer::Reply> {
            const auto until = Clock::now() + std::chrono::seconds(8);
            while (!release && Clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return echo(frame);
        });
        QCOMPARE(fnTollanComSetTimeouts(10000, 2000), 1);
        int32_t count = 0, handle = 0;
        QCOMPARE(fnTollanComGetNumDevices(&count), 1);
        QVERIFY(fnTollanComOpen(0, &handle));
        auto exchanging = std::async(std::launch::async, [handle] {
            QByteArray reply;
            const int32_t status = exchange(handle, "HELD", &reply);
            return std::make_pair(status, text(reply));
        });
        QTRY_COMPARE_WITH_TIMEOUT(device.framesSeen.load(), 1, 10000);
        // Others wait their turn behind the exchange, then find the handle gone.
        std::vector<std::future<int32_t>> later;
        for (int i = 0; i < 3; ++i)
            later.push_back(std::async(std::launch::async, [handle] {
                QByteArray reply;
                return exchange(handle, "LATER", &reply);
            }));
        auto closing = std::async(std::launch::async, [handle] { return fnTollanComClose(handle); });
        release = true;
        const auto held = exchanging.get();
        QCOMPARE(held.first, 1);
        QCOMPARE(held.second, QByteArray("echo HELD"));
        QCOMPARE(closing.get(), 1);
        for (auto &l : later) {
            const int32_t status = l.get();
            QVERIFY2(status == 1 || status == -1, qPrintable(QString::number(status)));
        }
        QByteArray reply;
        QCOMPARE(exchange(handle, "AFTER", &reply), -1);
        QCOMPARE(fnTollanComClose(handle), 0);
    }

    void badArgumentsFailWithoutCrashing()
    {
        QCOMPARE(fnTollanComGetNumDevices(nullptr), 0);
        QCOMPARE(fnTollanComGetProductString(0, nullptr, 0), -1);
        char buffer[TOLLANCOM_PRODUCT_BUFFER];
        QCOMPARE(fnTollanComGetProductString(-1, buffer, 0), 0);
        QCOMPARE(fnTollanComGetProductString(-1, buffer, 1), 0);
        QCOMPARE(fnTollanComGetProductString(-1, buffer, 2), 0);
        QCOMPARE(fnTollanComGetProductString(0, buffer, 3), -1);
        QCOMPARE(fnTollanComGetProductString(0, buffer, -1), -1);
        QCOMPARE(fnTollanComGetProductString(0, nullptr, 2), -1);
        QCOMPARE(fnTollanComOpen(-3, nullptr), 0);
        int32_t handle = 5;
        QCOMPARE(fnTollanComOpen(-3, &handle), 0);
        QCOMPARE(handle, 5);
        QCOMPARE(fnTollanComClose(12345), 0);
        QCOMPARE(fnTollanComSetTimeouts(0, 10), 0);
        QCOMPARE(fnTollanComSetTimeouts(10, -1), 0);
        unsigned char send[64] = {}, receive[64];
        std::memset(receive, 7, sizeof receive);
        QCOMPARE(fnTollanComSendRecv(999, send, 64, 64, receive), -1);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(receive), 64), QByteArray(64, '\0'));
        QCOMPARE(fnTollanComSendRecv(999, nullptr, 64, 64, receive), -1);
        QCOMPARE(fnTollanComSendRecv(999, send, 64, 64, nullptr), -1);
        QCOMPARE(fnTollanComSendRecv(999, send, 65, 64, receive), -1);
        QCOMPARE(fnTollanComSendRecv(999, send, -1, 64, receive), -1);
    }
};

QTEST_GUILESS_MAIN(TollanComTest)
#include "tst_tollancom.moc"

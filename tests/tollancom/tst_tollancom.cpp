// The device library against a small socket peer of our own: no simulator.
#include "TollanCom.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

// A device on the wire: grants one connection at a time and answers each
// 64-byte frame through `answer` (empty optional = stay silent).
class Peer {
public:
    using Answer = std::function<std::optional<QByteArray>(const QByteArray &)>;

    Peer(const QString &dir, const QString &serial, const QByteArray &product, Answer answer)
        : answer_(std::move(answer))
    {
        QFile p(dir + "/" + serial + ".product");
        p.open(QIODevice::WriteOnly);
        p.write(product);
        p.close();
        path_ = (dir + "/" + serial + ".sock").toStdString();
        listenFd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        ::bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(listenFd_, 4);
        thread_ = std::thread([this] { run(); });
    }

    ~Peer()
    {
        stop_ = true;
        ::shutdown(listenFd_, SHUT_RDWR);
        ::close(listenFd_);
        unplug();
        thread_.join();
        ::unlink(path_.c_str());
    }

    // Drops the connection, as a cable pulled out.
    void unplug()
    {
        int fd = clientFd_.exchange(-1);
        if (fd >= 0) {
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
        }
    }

    std::atomic<int> framesSeen{0};
    std::atomic<int> repliesWritten{0};
    std::chrono::milliseconds delay{0};

private:
    void run()
    {
        std::vector<std::thread> sessions;
        while (!stop_) {
            int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0)
                break;
            if (clientFd_.load() >= 0) {
                const char busy = 0;
                (void)::write(fd, &busy, 1);
                ::close(fd);
                continue;
            }
            const char grant = 1;
            (void)::write(fd, &grant, 1);
            clientFd_ = fd;
            sessions.emplace_back([this, fd] { serve(fd); });
        }
        for (auto &t : sessions)
            t.join();
    }

    void serve(int fd)
    {
        for (;;) {
            char frame[64];
            size_t got = 0;
            while (got < 64) {
                ssize_t k = ::read(fd, frame + got, 64 - got);
                if (k <= 0) {
                    int expected = fd;
                    if (clientFd_.compare_exchange_strong(expected, -1))
                        ::close(fd);
                    return;
                }
                got += size_t(k);
            }
            ++framesSeen;
            auto reply = answer_(QByteArray(frame, 64));
            if (!reply)
                continue;
            std::this_thread::sleep_for(delay);
            QByteArray out = reply->leftJustified(64, '\0', true);
            (void)::write(fd, out.constData(), 64);
            ++repliesWritten;
        }
    }

    Answer answer_;
    std::string path_;
    int listenFd_ = -1;
    std::atomic<int> clientFd_{-1};
    std::atomic<bool> stop_{false};
    std::thread thread_;
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

// Answers "echo <command>" for everything, silent for "HUSH".
std::optional<QByteArray> echo(const QByteArray &frame)
{
    const QByteArray cmd = text(frame);
    if (cmd == "HUSH")
        return std::nullopt;
    return "echo " + cmd;
}

}  // namespace

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

    void silenceGivesAZeroReplyAndLateRepliesAreDropped()
    {
        Peer a(dir.path(), "slow", "CFG01", echo);
        int32_t count = 0, handle = 1;
        fnTollanComGetNumDevices(&count);
        QVERIFY(fnTollanComOpen(0, &handle));
        QCOMPARE(fnTollanComSetTimeouts(100, 100), 1);

        QByteArray reply;
        QCOMPARE(exchange(handle, "HUSH", &reply), 0);
        QCOMPARE(reply, QByteArray(64, '\0'));

        // The reply to "A" arrives after the time-out; it must not be taken
        // as the reply to "B".
        a.delay = std::chrono::milliseconds(250);
        QCOMPARE(exchange(handle, "A", &reply), 0);
        QCOMPARE(reply, QByteArray(64, '\0'));
        a.delay = std::chrono::milliseconds(0);
        // Only once the late reply is on its way does "B" show whether it is
        // dropped; a fixed wait would race a loaded machine.
        QTRY_COMPARE_WITH_TIMEOUT(a.repliesWritten.load(), 1, 10000);
        QCOMPARE(exchange(handle, "B", &reply), 1);
        QCOMPARE(text(reply), QByteArray("echo B"));
        QCOMPARE(exchange(handle, "C", &reply), 1);
        QCOMPARE(text(reply), QByteArray("echo C"));
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

    void badArgumentsFailWithoutCrashing()
    {
        QCOMPARE(fnTollanComGetNumDevices(nullptr), 0);
        QCOMPARE(fnTollanComGetProductString(0, nullptr, 0), -1);
        char buffer[TOLLANCOM_PRODUCT_BUFFER];
        QCOMPARE(fnTollanComGetProductString(-1, buffer, 0), 0);
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

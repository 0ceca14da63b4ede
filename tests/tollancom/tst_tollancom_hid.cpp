// The device library's hidraw backend against stand-ins for the kernel: a
// small sysfs tree of our own, and nodes that are SOCK_SEQPACKET sockets
// served by peers that speak the report framing (a scripted one in this
// process, and tollancom_hid_peer with the simulator's model behind it).
#include "TollanCom.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A USB device in the tree: where it sits under devices/, its attributes
// (an absent key is an absent file), and the hidraw nodes of its interfaces.
struct UsbDevice {
    QString path;
    QMap<QString, QByteArray> attributes;
    QStringList nodes;
};

// The sysfs tree the library reads instead of /sys: devices/<usb>/<interface>/<hid>/
// and class/hidraw/<node>/device, a link to its HID device, as the kernel lays them out.
class SysfsTree {
public:
    explicit SysfsTree(const QString &root) : root_(root)
    {
        QDir().mkpath(root_ + "/class/hidraw");
        QDir().mkpath(root_ + "/devices");
    }

    void add(const UsbDevice &usb)
    {
        const QString dir = root_ + "/devices/" + usb.path;
        QDir().mkpath(dir);
        for (auto it = usb.attributes.begin(); it != usb.attributes.end(); ++it)
            write(dir + "/" + it.key(), it.value());
        const QString port = usb.path.section('/', -1);
        for (int i = 0; i < usb.nodes.size(); ++i) {
            const QString hid = usb.path + QString("/%1:1.%2/0003:1234:5678.%3").arg(port).arg(i).arg(nodeCount_++, 4, 10, QChar('0'));
            QDir().mkpath(root_ + "/devices/" + hid);
            link(usb.nodes[i], "../../../devices/" + hid);
        }
    }

    // class/hidraw/<node>/device pointing at `target` (relative to the node's folder).
    void link(const QString &node, const QString &target)
    {
        QDir().mkpath(root_ + "/class/hidraw/" + node);
        QVERIFY(::symlink(target.toLocal8Bit().constData(), (root_ + "/class/hidraw/" + node + "/device").toLocal8Bit().constData()) == 0);
    }

    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(bytes), qint64(bytes.size()));
    }

    const QString &root() const { return root_; }

private:
    QString root_;
    int nodeCount_ = 1;
};

UsbDevice driver(const QString &path, const QByteArray &product, const QByteArray &serial, const QStringList &nodes)
{
    UsbDevice d{path, {{"product", product + "\n"}, {"idVendor", "1234\n"}, {"idProduct", "5678\n"}}, nodes};
    if (!serial.isNull())
        d.attributes["serial"] = serial + "\n";
    return d;
}

// A node served in this process by one thread of its own: grants one
// connection with the byte 1, closes a second at once, and answers each
// report through `answer` after the delays it asks for, in order.
class ReportPeer {
public:
    struct Out {
        QByteArray bytes;  // one input report, of any length
        int delayMs = 0;
    };
    struct Response {
        std::vector<Out> out;
        bool hangUp = false;  // closes the connection at once
        bool vanish = false;  // the node goes away; the connection stays, silent
    };
    using Answer = std::function<Response(const QByteArray &frame)>;

    ReportPeer(const QString &path, Answer answer) : answer_(std::move(answer)), path_(path.toStdString())
    {
        listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        ok = ::bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && ::listen(listenFd_, 4) == 0;
        ok = ::pipe2(wake_, O_CLOEXEC) == 0 && ok;
        thread_ = std::thread([this] { run(); });
    }
    ~ReportPeer()
    {
        const char q = 'q';
        (void)!::write(wake_[1], &q, 1);
        thread_.join();
        for (int fd : {wake_[0], wake_[1], listenFd_, client_})
            if (fd >= 0)
                ::close(fd);
        ::unlink(path_.c_str());
    }

    bool ok = false;
    std::atomic<int> framesSeen{0};
    std::atomic<int> badReports{0};  // messages that were not a 65-byte report numbered 0
    std::atomic<int> settled{0};     // responses written or dropped with their connection
    std::atomic<int> refused{0};     // connections closed at once: busy

private:
    struct Pending {
        Clock::time_point due;
        QByteArray bytes;
    };

    void drop()
    {
        if (client_ >= 0)
            ::close(client_);
        client_ = -1;
        settled += int(pending_.size());
        pending_.clear();
    }

    void run()
    {
        for (;;) {
            pollfd fds[3] = {{wake_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}, {client_, POLLIN, 0}};
            int wait = -1;
            if (!pending_.empty())
                wait = int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      pending_.front().due - Clock::now()).count() + 1));
            ::poll(fds, client_ >= 0 ? 3 : 2, wait);
            if (fds[0].revents)
                return;
            if (fds[1].revents & POLLIN) {
                const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0 && client_ < 0) {
                    const char grant = 1;
                    (void)::send(fd, &grant, 1, MSG_NOSIGNAL);
                    client_ = fd;
                } else if (fd >= 0) {
                    ::close(fd);
                    ++refused;
                }
            }
            if (client_ >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
                read();
            while (client_ >= 0 && !pending_.empty() && pending_.front().due <= Clock::now()) {
                const QByteArray out = pending_.front().bytes;
                pending_.pop_front();
                (void)::send(client_, out.constData(), size_t(out.size()), MSG_NOSIGNAL);
                ++settled;
            }
        }
    }

    void read()
    {
        char buf[256];
        const ssize_t n = ::recv(client_, buf, sizeof buf, 0);
        if (n <= 0) {
            drop();
            return;
        }
        if (n != 65 || buf[0] != 0) {
            ++badReports;
            return;
        }
        ++framesSeen;
        const Response r = answer_(QByteArray(buf + 1, 64));
        if (r.hangUp) {
            drop();
            return;
        }
        if (r.vanish)
            ::unlink(path_.c_str());
        for (const Out &o : r.out) {
            Clock::time_point due = Clock::now() + std::chrono::milliseconds(o.delayMs);
            if (!pending_.empty())
                due = std::max(due, pending_.back().due);
            pending_.push_back({due, o.bytes});
        }
    }

    Answer answer_;
    std::string path_;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    int client_ = -1;  // this and below belong to the peer's thread
    std::deque<Pending> pending_;
    std::thread thread_;
};

// A program of the build, spawned (not forked: a thread sanitizer build
// cannot follow a fork of a threaded process) with its standard input and
// output on pipes; ended by closing its input and, failing that, SIGTERM.
class Spawned {
public:
    Spawned(const QString &program, const QStringList &args)
    {
        int toChild[2], fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
        std::vector<QByteArray> bytes{program.toLocal8Bit()};
        for (const QString &a : args)
            bytes.push_back(a.toLocal8Bit());
        std::vector<char *> argv;
        for (QByteArray &b : bytes)
            argv.push_back(b.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        in_ = toChild[1];
        out_ = fromChild[0];
    }
    ~Spawned()
    {
        ::close(in_);
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    // Its first line of output, within a bound that only keeps a fault from hanging the test.
    QByteArray firstLine()
    {
        QByteArray line;
        char c = 0;
        pollfd p{out_, POLLIN, 0};
        while (!line.endsWith('\n') && ::poll(&p, 1, 10000) == 1 && ::read(out_, &c, 1) == 1)
            line += c;
        return line;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
};

QByteArray text(const QByteArray &frame)
{
    return frame.left(int(qstrnlen(frame.constData(), 64)));
}

QByteArray report(const QByteArray &content)
{
    return content.leftJustified(64, '\0', true);
}

// "echo <command>" for everything, with faults on request:
//   HUSH           no report at all
//   SLOW<ms> ...   the echo after that many milliseconds
//   SHORT / LONG   a report of 10 / 100 bytes instead of the echo
//   SHORTTHEN / LONGTHEN   that report, then the echo
//   TWICE          the echo, then a stray "extra" report
//   HANGUP         the connection closes (a driver unplugged)
//   VANISH         the node goes away and nothing comes
ReportPeer::Response scripted(const QByteArray &frame)
{
    const QByteArray cmd = text(frame);
    const QByteArray echo = report("echo " + cmd);
    if (cmd == "HUSH")
        return {};
    if (cmd == "HANGUP")
        return {{}, true};
    if (cmd == "VANISH")
        return {{}, false, true};
    if (cmd.startsWith("SLOW"))
        return {{{echo, cmd.mid(4, cmd.indexOf(' ') - 4).toInt()}}};
    if (cmd == "SHORT")
        return {{{QByteArray(10, 'S')}}};
    if (cmd == "LONG")
        return {{{QByteArray(100, 'L')}}};
    if (cmd == "SHORTTHEN")
        return {{{QByteArray(10, 'S')}, {echo}}};
    if (cmd == "LONGTHEN")
        return {{{QByteArray(100, 'L')}, {echo}}};
    if (cmd == "TWICE")
        return {{{echo}, {report("extra")}}};
    return {{{echo}}};
}

int32_t exchange(int32_t handle, const QByteArray &command, QByteArray *reply)
{
    const QByteArray send = command.leftJustified(64, '\0', true);
    unsigned char receive[64];
    std::memset(receive, 0xAA, sizeof receive);
    const int32_t status = fnTollanComSendRecv(handle, reinterpret_cast<const unsigned char *>(send.constData()), 64,
                                               64, receive);
    *reply = QByteArray(reinterpret_cast<const char *>(receive), 64);
    return status;
}

// Every listed device as "serial|product".
QStringList listing(int32_t *status = nullptr)
{
    int32_t count = -1;
    const int32_t s = fnTollanComGetNumDevices(&count);
    if (status)
        *status = s;
    QStringList out;
    for (int32_t i = 0; i < count; ++i) {
        char serial[TOLLANCOM_PRODUCT_BUFFER], product[TOLLANCOM_PRODUCT_BUFFER];
        fnTollanComGetProductString(i, serial, 1);
        fnTollanComGetProductString(i, product, 0);
        out << QString::fromLatin1(serial) + "|" + QString::fromLatin1(product);
    }
    return out;
}

// One exchange of a scripted session: the command, the read time-out for it,
// what must come back, and how many responses the peer must have settled first.
struct Step {
    QByteArray command;
    int timeoutMs;
    int status;
    QByteArray reply;
    int settledBefore = 0;
};

}  // namespace

Q_DECLARE_METATYPE(UsbDevice)
Q_DECLARE_METATYPE(Step)

class TollanComHidTest : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<SysfsTree> sys;
    QString devroot;

    // Serves <devroot>/<node> with the scripted peer, under a driver listed as `serial`.
    std::unique_ptr<ReportPeer> plugIn(const QString &serial, const QString &node, int usb)
    {
        sys->add(driver(QString("usb1/1-%1").arg(usb), "ZENTA CFG USB driver", serial.toLatin1(), {node}));
        return std::make_unique<ReportPeer>(devroot + "/" + node, scripted);
    }

    int32_t openOnly()
    {
        int32_t count = 0, handle = 0;
        if (fnTollanComGetNumDevices(&count) != 1 || count != 1 || !fnTollanComOpen(0, &handle))
            return 0;
        return handle;
    }

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
        for (const char *sub : {"sim", "sys", "dev"})
            QVERIFY(QDir().mkdir(tmp->filePath(sub)));
        sys = std::make_unique<SysfsTree>(tmp->filePath("sys"));
        devroot = tmp->filePath("dev");
        qputenv("TOLLANCOM_DIR", tmp->filePath("sim").toLocal8Bit());
        qputenv("TOLLANCOM_SYSFS", sys->root().toLocal8Bit());
        qputenv("TOLLANCOM_DEVROOT", devroot.toLocal8Bit());
        qunsetenv("TOLLANCOM_HID_IDS");
        QCOMPARE(fnTollanComSetTimeouts(2000, 2000), 1);
    }

    void cleanup()
    {
        sys.reset();
        tmp.reset();
    }

    // Which USB devices are listed, under which serial and product string.
    void listingRules_data()
    {
        QTest::addColumn<QList<UsbDevice>>("devices");
        QTest::addColumn<QByteArray>("ids");
        QTest::addColumn<QString>("odd");
        QTest::addColumn<QStringList>("listed");
        const QByteArray none;
        auto byId = [](const QString &path, const QByteArray &product, const QByteArray &vendor, const QByteArray &id) {
            return UsbDevice{path, {{"product", product + "\n"}, {"idVendor", vendor}, {"idProduct", id}, {"serial", "ID1\n"}}, {"hidraw0"}};
        };
        QTest::newRow("product names CFG")
            << QList<UsbDevice>{driver("usb1/1-1", "ZENTA CFG05", "Z100", {"hidraw0"})} << none << QString()
            << QStringList{"Z100|ZENTA CFG05"};
        QTest::newRow("keyboard and mouse are not listed")
            << QList<UsbDevice>{driver("usb1/1-1", "USB Keyboard", "K1", {"hidraw0", "hidraw1"}),
                                driver("usb1/1-2", "Optical Mouse", "M1", {"hidraw2"})}
            << none << QString() << QStringList{};
        QTest::newRow("named by the IDs variable")
            << QList<UsbDevice>{byId("usb1/1-1", "Motion Controller", "1234\n", "abcd\n")} << QByteArray(" 0001:0002 , 1234:ABCD")
            << QString() << QStringList{"ID1|Motion Controller"};
        QTest::newRow("IDs of another device")
            << QList<UsbDevice>{byId("usb1/1-1", "Motion Controller", "1234\n", "abcd\n")} << QByteArray("1234:abce")
            << QString() << QStringList{};
        QTest::newRow("malformed IDs entries are ignored, good ones used")
            << QList<UsbDevice>{byId("usb1/1-1", "Motion Controller", "1234\n", "abcd\n")}
            << QByteArray("12345:abcd,zzzz:0000,,1234,1234:abcd") << QString() << QStringList{"ID1|Motion Controller"};
        QTest::newRow("odd idVendor is no ID")
            << QList<UsbDevice>{byId("usb1/1-1", "Motion Controller", "12 4\n", "abcd\n")} << QByteArray("12 4:abcd")
            << QString() << QStringList{};
        QTest::newRow("several interfaces listed once, lowest node")
            << QList<UsbDevice>{driver("usb1/1-1", "CFG07", none, {"hidraw12", "hidraw3", "hidraw7"})} << none
            << QString() << QStringList{"hidraw3|CFG07"};
        QTest::newRow("no serial: the node name")
            << QList<UsbDevice>{driver("usb1/1-1", "CFG07", none, {"hidraw4"})} << none << QString()
            << QStringList{"hidraw4|CFG07"};
        QTest::newRow("empty serial: the node name")
            << QList<UsbDevice>{driver("usb1/1-1", "CFG07", "", {"hidraw4"})} << none << QString()
            << QStringList{"hidraw4|CFG07"};
        QTest::newRow("ordered by serial")
            << QList<UsbDevice>{driver("usb1/1-1", "CFG02", "s-b", {"hidraw0"}),
                                driver("usb1/1-2", "CFG01", "s-c", {"hidraw1"}),
                                driver("usb2/2-1", "CFG03", "s-a", {"hidraw2"})}
            << none << QString() << QStringList{"s-a|CFG03", "s-b|CFG02", "s-c|CFG01"};
        QTest::newRow("product of 256 bytes")
            << QList<UsbDevice>{driver("usb1/1-1", "CFG" + QByteArray(253, 'x'), "P1", {"hidraw0"})} << none
            << QString() << QStringList{"P1|CFG" + QString(253, 'x')};
        QTest::newRow("product longer than 256 bytes is cut")
            << QList<UsbDevice>{driver("usb1/1-1", "CFG" + QByteArray(5000, 'y'), "P1", {"hidraw0"})} << none
            << QString() << QStringList{"P1|CFG" + QString(253, 'y')};
        QTest::newRow("invalid bytes in the product stay as they are")
            << QList<UsbDevice>{driver("usb1/1-1", "\xff\xfe CFG \x01\x7f\xc3", "P1", {"hidraw0"})} << none
            << QString() << QStringList{"P1|" + QString::fromLatin1("\xff\xfe CFG \x01\x7f\xc3")};
        QTest::newRow("product with a zero byte ends there")
            << QList<UsbDevice>{driver("usb1/1-1", QByteArray("CFG01\0tail", 10), "P1", {"hidraw0"})} << none
            << QString() << QStringList{"P1|CFG01"};
        QTest::newRow("no product file anywhere")
            << QList<UsbDevice>{UsbDevice{"usb1/1-1", {{"serial", "X\n"}}, {"hidraw0"}}} << none << QString()
            << QStringList{};
        QTest::newRow("product is a folder")
            << QList<UsbDevice>{UsbDevice{"usb1/1-1", {}, {"hidraw0"}}} << none << QString("product folder")
            << QStringList{};
        QTest::newRow("device link dangles")
            << QList<UsbDevice>{driver("usb1/1-1", "CFG01", "OK1", {"hidraw0"})} << none << QString("dangling")
            << QStringList{"OK1|CFG01"};
        QTest::newRow("device link leads out of the tree")
            << QList<UsbDevice>{} << none << QString("outside") << QStringList{};
        QTest::newRow("a stray file among the nodes")
            << QList<UsbDevice>{driver("usb1/1-1", "CFG01", "OK1", {"hidraw0"})} << none << QString("stray file")
            << QStringList{"OK1|CFG01"};
        QTest::newRow("no class/hidraw at all") << QList<UsbDevice>{} << none << QString("no class") << QStringList{};
    }

    void listingRules()
    {
        QFETCH(QList<UsbDevice>, devices);
        QFETCH(QByteArray, ids);
        QFETCH(QString, odd);
        QFETCH(QStringList, listed);
        for (const UsbDevice &d : devices)
            sys->add(d);
        const QString root = sys->root();
        if (odd == "product folder")
            QVERIFY(QDir().mkpath(root + "/devices/usb1/1-1/product"));
        else if (odd == "dangling")
            sys->link("hidraw9", "../../../devices/usb9/nothing");
        else if (odd == "outside") {
            // A tree whose link leads to a real-looking device elsewhere: not believed.
            QTemporaryDir elsewhere;
            SysfsTree other(elsewhere.path());
            other.add(driver("usb1/1-1", "CFG01", "OUT", {"hidraw0"}));
            sys->link("hidraw0", elsewhere.path() + "/devices/usb1/1-1/1-1:1.0/0003:1234:5678.0001");
            int32_t status = 0;
            QCOMPARE(listing(&status), listed);
            QCOMPARE(status, 1);
            return;
        } else if (odd == "stray file")
            SysfsTree::write(root + "/class/hidraw/notanode", "x");
        else if (odd == "no class")
            QVERIFY(QDir(root + "/class").removeRecursively());
        if (!ids.isNull())
            qputenv("TOLLANCOM_HID_IDS", ids);
        int32_t status = 0;
        QCOMPARE(listing(&status), listed);
        QCOMPARE(status, 1);
    }

    // One order across both kinds of device: by serial.
    void orderIsBySerialAcrossSimulatorsAndDrivers()
    {
        // Publishes into TOLLANCOM_DIR, which init() made ours.
        Spawned sim(qEnvironmentVariable("ZENTA_BIN_DIR", QCoreApplication::applicationDirPath() + "/../bin") + "/zenta-sim", {"--serial", "m-sim", "--name", "CFG09"});
        QCOMPARE(sim.firstLine(), QByteArray("zenta-sim m-sim ready\n"));
        sys->add(driver("usb1/1-1", "ZENTA CFG USB driver", "z-hid", {"hidraw0"}));
        sys->add(driver("usb1/1-2", "ZENTA CFG USB driver", "a-hid", {"hidraw1"}));
        QCOMPARE(listing(), (QStringList{"a-hid|ZENTA CFG USB driver", "m-sim|CFG09", "z-hid|ZENTA CFG USB driver"}));
        // The simulator is still reached at its place in that order.
        int32_t handle = 0;
        QVERIFY(fnTollanComOpen(1, &handle));
        QByteArray reply;
        QCOMPARE(exchange(handle, "DN", &reply), 1);
        QCOMPARE(text(reply), QByteArray("CFG09"));
        QCOMPARE(fnTollanComClose(handle), 1);
    }

    // The simulator's model behind the report framing gives real answers,
    // and a second connection while one is held is busy.
    void exchangesWithTheModelBehindTheReports()
    {
        sys->add(driver("usb1/1-1", "ZENTA CFG USB driver", "H1", {"hidraw0"}));
        Spawned peer(QCoreApplication::applicationDirPath() + "/tollancom_hid_peer",
                     {"--socket", devroot + "/hidraw0", "--name", "CFG05"});
        QCOMPARE(peer.firstLine(), QByteArray("ready\n"));

        int32_t handle = openOnly();
        QVERIFY(handle != 0);
        int32_t second = 7;
        QCOMPARE(fnTollanComOpen(0, &second), 0);  // busy: the stand-in closed the second connection
        QCOMPARE(second, 7);
        // Who holds it is said as for a simulator.
        char holder[TOLLANCOM_PRODUCT_BUFFER];
        QCOMPARE(fnTollanComGetProductString(0, holder, 2), 1);
        QCOMPARE(QByteArray(holder), QByteArray(program_invocation_short_name) + " (pid " + QByteArray::number(::getpid()) + ")");
        const struct {
            QByteArray command, reply;
        } session[] = {{"DN", "CFG05"}, {"PX=250", "OK"}, {"PX", "250"}, {"DN=CFG11", "OK"}, {"DN", "CFG05"}};
        for (const auto &s : session) {
            QByteArray reply;
            QCOMPARE(exchange(handle, s.command, &reply), 1);
            QCOMPARE(text(reply), s.reply);
        }
        QCOMPARE(fnTollanComClose(handle), 1);
        // Free again once the stand-in has seen the close.
        handle = 0;
        for (int i = 0; i < 200 && !handle; ++i)
            if (!fnTollanComOpen(0, &handle))
                QTest::qWait(20);
        QVERIFY(handle != 0);
        QByteArray reply;
        QCOMPARE(exchange(handle, "PX", &reply), 1);
        QCOMPARE(text(reply), QByteArray("250"));
        QCOMPARE(fnTollanComClose(handle), 1);
    }

    // A node that is a plain file, as a character device would be: another
    // holder's lock on it makes it busy, and its release frees it.
    void lockedNodeIsBusy()
    {
        sys->add(driver("usb1/1-1", "CFG01", "F1", {"hidraw0"}));
        const QByteArray node = (devroot + "/hidraw0").toLocal8Bit();
        SysfsTree::write(QString::fromLocal8Bit(node), {});
        const int other = ::open(node.constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(other >= 0);
        auto closeOther = qScopeGuard([&] { ::close(other); });
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
        int32_t count = 0, handle = 0;
        QCOMPARE(fnTollanComGetNumDevices(&count), 1);
        QCOMPARE(count, 1);
        QCOMPARE(fnTollanComOpen(0, &handle), 0);
        QCOMPARE(::flock(other, LOCK_UN), 0);
        QVERIFY(fnTollanComOpen(0, &handle) != 0);
        // Held now by the library: the other one's lock is refused.
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), -1);
        QCOMPARE(fnTollanComClose(handle), 1);
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
    }

    // What a driver may send that is not a plain answer, and what becomes of it.
    void reportsThatAreNotPlainAnswers_data()
    {
        QTest::addColumn<QList<Step>>("steps");
        const QByteArray none;
        QTest::newRow("answers") << QList<Step>{{"PX", 2000, 1, "echo PX"}, {"DN", 2000, 1, "echo DN"}};
        QTest::newRow("a report that never comes")
            << QList<Step>{{"HUSH", 200, 0, none}, {"B", 2000, 1, "echo B"}};
        QTest::newRow("a stray report after the answer is drained")
            << QList<Step>{{"TWICE", 2000, 1, "echo TWICE"}, {"B", 2000, 1, "echo B", 2}};
        QTest::newRow("late reply already queued")
            << QList<Step>{{"SLOW300 A", 100, 0, none}, {"B", 2000, 1, "echo B", 1}, {"C", 2000, 1, "echo C"}};
        QTest::newRow("late reply arriving after the next send")
            << QList<Step>{{"SLOW300 A", 100, 0, none}, {"B", 2000, 1, "echo B"}, {"C", 2000, 1, "echo C"}};
        QTest::newRow("several owed")
            << QList<Step>{{"SLOW300 A1", 100, 0, none}, {"SLOW300 A2", 100, 0, none, 1}, {"B", 2000, 1, "echo B"}};
        QTest::newRow("short report alone") << QList<Step>{{"SHORT", 200, 0, none}, {"B", 2000, 1, "echo B"}};
        QTest::newRow("long report alone") << QList<Step>{{"LONG", 200, 0, none}, {"B", 2000, 1, "echo B"}};
        QTest::newRow("short report, then the answer") << QList<Step>{{"SHORTTHEN", 2000, 1, "echo SHORTTHEN"}};
        QTest::newRow("long report, then the answer") << QList<Step>{{"LONGTHEN", 2000, 1, "echo LONGTHEN"}};
        QTest::newRow("hang-up mid-exchange is a lost link")
            << QList<Step>{{"PX", 2000, 1, "echo PX"}, {"HANGUP", 2000, -2, none}, {"PX", 2000, -2, none}};
        QTest::newRow("node gone mid-exchange is a lost link")
            << QList<Step>{{"VANISH", 200, -2, none}, {"PX", 2000, -2, none}};
    }

    void reportsThatAreNotPlainAnswers()
    {
        QFETCH(QList<Step>, steps);
        auto peer = plugIn("R1", "hidraw0", 1);
        QVERIFY(peer->ok);
        const int32_t handle = openOnly();
        QVERIFY(handle != 0);
        for (const Step &step : steps) {
            // Written or thrown away with its connection: either way decided.
            QTRY_VERIFY_WITH_TIMEOUT(peer->settled.load() >= step.settledBefore, 10000);
            QCOMPARE(fnTollanComSetTimeouts(step.timeoutMs, 1000), 1);
            QByteArray reply;
            QCOMPARE(exchange(handle, step.command, &reply), step.status);
            QCOMPARE(text(reply), step.reply);
            if (step.status != 1)
                QCOMPARE(reply, QByteArray(64, '\0'));
        }
        QCOMPARE(peer->badReports.load(), 0);
        QCOMPARE(fnTollanComClose(handle), 1);
    }

    // The seams are believed only from folders that are the user's alone.
    void seamFoldersMustBeSafe_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("listed");
        QTest::newRow("sysfs private") << "TOLLANCOM_SYSFS" << "0700" << 1 << 1;
        QTest::newRow("sysfs writable by others") << "TOLLANCOM_SYSFS" << "0777" << 0 << 0;
        QTest::newRow("devroot writable by the group") << "TOLLANCOM_DEVROOT" << "0770" << 0 << 0;
        QTest::newRow("sysfs another user's") << "TOLLANCOM_SYSFS" << "other" << 0 << 0;
        QTest::newRow("devroot another user's") << "TOLLANCOM_DEVROOT" << "other" << 0 << 0;
    }

    void seamFoldersMustBeSafe()
    {
        QFETCH(QString, variable);
        QFETCH(QString, mode);
        QFETCH(int, status);
        QFETCH(int, listed);
        if (mode == "other" && geteuid() != 0)
            QSKIP("needs root to give a folder away");
        auto peer = plugIn("S1", "hidraw0", 1);
        const QByteArray folder = qgetenv(variable.toLatin1().constData());
        if (mode == "other")
            QCOMPARE(::chown(folder.constData(), 65534, 65534), 0);
        else
            QCOMPARE(::chmod(folder.constData(), mode_t(mode.toUInt(nullptr, 8))), 0);
        int32_t count = -1;
        QCOMPARE(fnTollanComGetNumDevices(&count), status);
        QCOMPARE(count, listed);
        int32_t handle = 0;
        QCOMPARE(fnTollanComOpen(0, &handle) != 0, listed == 1);
        if (handle)
            QCOMPARE(fnTollanComClose(handle), 1);
    }

    // Tests run as root, so the library runs in a child as an unprivileged user.
    // A node this user may not open: no device, and a message that says
    // what to do; unless, right after the plug-in, udev grants it while the
    // library still retries.
    void permissionDeniedSaysWhatToDo_data()
    {
        QTest::addColumn<bool>("grantedLate");
        QTest::newRow("stays denied") << false;
        QTest::newRow("granted while the library retries") << true;
    }

    void permissionDeniedSaysWhatToDo()
    {
        QFETCH(bool, grantedLate);
        const uid_t uid = geteuid() == 0 ? 65534 : geteuid();
        const gid_t gid = geteuid() == 0 ? 65534 : getegid();
        // Under /tmp itself, so that the unprivileged user can reach it whatever the checkout's folder.
        QTemporaryDir base("/tmp/tollancom-perm-XXXXXX");
        QVERIFY(base.isValid());
        for (const char *sub : {"sim", "sys", "dev"})
            QVERIFY(QDir().mkdir(base.filePath(sub)));
        SysfsTree tree(base.filePath("sys"));
        tree.add(driver("usb1/1-1", "ZENTA CFG USB driver", "P1", {"hidraw0"}));
        const QString node = base.filePath("dev/hidraw0");
        SysfsTree::write(node, {});
        // The node is root's alone (or, not as root, nobody's), as before the udev rule.
        QCOMPARE(::chmod(node.toLocal8Bit().constData(), geteuid() == 0 ? 0600 : 0000), 0);
        for (const QString &dir : {base.path(), base.filePath("sim"), base.filePath("sys"), base.filePath("dev")})
            QCOMPARE(::chown(dir.toLocal8Bit().constData(), uid, gid), 0);
        auto restore = qScopeGuard([&] { ::chmod(node.toLocal8Bit().constData(), 0600); });

        int out[2];
        QCOMPARE(::pipe(out), 0);
        const QByteArray sim = base.filePath("sim").toLocal8Bit(), sysPath = base.filePath("sys").toLocal8Bit(),
                         dev = base.filePath("dev").toLocal8Bit();
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::dup2(out[1], STDERR_FILENO);
            if (geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
                ::_exit(3);
            ::setenv("TOLLANCOM_DIR", sim.constData(), 1);
            ::setenv("TOLLANCOM_SYSFS", sysPath.constData(), 1);
            ::setenv("TOLLANCOM_DEVROOT", dev.constData(), 1);
            // Long enough for the grant to come; the bound only keeps a fault from hanging the test.
            fnTollanComSetTimeouts(grantedLate ? 20000 : 300, 300);
            int32_t count = 0, handle = 0;
            if (fnTollanComGetNumDevices(&count) != 1 || count != 1)
                ::_exit(4);
            ::_exit(fnTollanComOpen(0, &handle) == 0 ? 0 : 10);
        }
        ::close(out[1]);
        if (grantedLate) {
            // Once the child sleeps between its attempts (or has ended), the
            // node is opened to all; until then it is kept as fresh as udev
            // keeps a node it is still working on.
            const QString stat = QString("/proc/%1/stat").arg(child);
            const auto until = Clock::now() + std::chrono::seconds(20);
            while (Clock::now() < until) {
                QFile f(stat);
                const QByteArray line = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
                const int close = line.lastIndexOf(')');
                const char state = close > 0 && close + 2 < line.size() ? line[close + 2] : 'Z';
                if (state == 'S' || state == 'Z')
                    break;
                ::chmod(node.toLocal8Bit().constData(), geteuid() == 0 ? 0600 : 0000);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            QCOMPARE(::chmod(node.toLocal8Bit().constData(), 0666), 0);
        }
        QByteArray said;
        char buf[1024];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
            said.append(buf, int(n));
        ::close(out[0]);
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        if (grantedLate) {
            QCOMPARE(WEXITSTATUS(status), 10);
            QVERIFY2(!said.contains("permission denied"), said.constData());
            return;
        }
        QCOMPARE(WEXITSTATUS(status), 0);
        QVERIFY2(said.contains(node.toLocal8Bit() + ": permission denied"), said.constData());
        QVERIFY2(said.contains("udev rule") && said.contains("SUBSYSTEM==\"hidraw\", ATTRS{product}==\"*CFG*\", TAG+=\"uaccess\""),
                 said.constData());
    }
};

QTEST_GUILESS_MAIN(TollanComHidTest)
#include "tst_tollancom_hid.moc"

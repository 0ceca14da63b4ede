// The device's program store on the model alone: the transfer protocol, its
// refusals, abandonment at every stage, commit into the flash, power cycles
// and a flash whose program part cannot be trusted.
#include "Model.h"

#include "Compiled.h"
#include "zenta/lang/transfer.hpp"

#include <QtTest>

using namespace zsim;
namespace lang = zenta::lang;
namespace tr = zenta::lang::transfer;

namespace {

using Lines = std::vector<std::string>;
using simtest::compiled;

// The program already on the device, and the one a transfer tries to put there.
const Lines &oldProgram()
{
    static const Lines l = compiled("PRG 0\nV1=1\nX100\nWAITX\nPRG 1\nDO1=1\n");
    return l;
}
const Lines &newProgram()
{
    static const Lines l = compiled("V2=0\nloop: X1000\nWAITX\nV2=V2+1\nIF V2<5\nGOTO loop\nENDIF\nDO2=1\n");
    return l;
}

// A flash that refuses writes, or cannot be read, on demand.
class SwitchFlash final : public FlashStorage {
public:
    std::optional<std::string> read() override { return unreadable ? std::nullopt : image; }
    bool write(const std::string &i) override
    {
        if (broken)
            return false;
        image = i;
        ++writes;
        return true;
    }
    std::string fault() const override { return unreadable ? "cannot be read" : ""; }
    std::optional<std::string> image;
    bool broken = false;
    bool unreadable = false;
    int writes = 0;
};

struct Rig {
    SwitchFlash flash;
    Model m{flash, "CFG01"};

    std::string cmd(const std::string &c) { return m.handle(c); }
    // Sends every command, stopping at the first that is not answered OK.
    std::string send(const Lines &commands)
    {
        for (const auto &c : commands)
            if (auto r = m.handle(c); r != "OK")
                return c + " -> " + r;
        return "OK";
    }
    static Lines transfer(const Lines &program) { return tr::downloadCommands(program); }
    std::string download(const Lines &program) { return send(transfer(program)); }
    // The stored program as the loader reads it back; empty on any refusal.
    Lines upload()
    {
        const auto info = tr::parseInfoReply(m.handle(std::string(tr::kInfo)));
        if (!info)
            return {};
        Lines l;
        for (int k = 1; k <= info->lines; ++k)
            l.push_back(m.handle(tr::readCommand(k)));
        if (lang::programChecksum(l) != info->crc)
            return {};
        return l;
    }
};

std::string stateField(const Model &m, const std::string &key)
{
    const std::string s = " " + m.stateLine() + " ";
    const auto at = s.find(" " + key + "=");
    if (at == std::string::npos)
        return "<missing>";
    const auto start = at + key.size() + 2;
    return s.substr(start, s.find(' ', start) - start);
}

}  // namespace

class StoreTest : public QObject {
    Q_OBJECT
private slots:
    void roundTrip();
    void refusals_data();
    void refusals();
    void abandonment_data();
    void abandonment();
    void refusedWhileAThreadRuns_data();
    void refusedWhileAThreadRuns();
    void failedFlashWriteKeepsTheOldProgram();
    void storedProgramSurvivesPowerCyclesAndStore();
    void commitKeepsUnstoredSettingsOutOfTheFlash();
    void imageNeverLoadedIsNotReplaced();
    void corruptProgramImage_data();
    void corruptProgramImage();
    void lineCutByTheFrameIsRefused();
};

void StoreTest::roundTrip()
{
    Rig r;
    QCOMPARE(r.cmd("PGINFO"), std::string("?NOPROGRAM"));
    QCOMPARE(r.cmd("PGR1"), std::string("?NOPROGRAM"));
    QVERIFY(!r.m.programs().stored(-1));
    QCOMPARE(r.download(oldProgram()), std::string("OK"));
    QCOMPARE(r.upload(), oldProgram());
    QVERIFY(r.m.programs().stored(0) && r.m.programs().stored(1));
    QCOMPARE(r.m.programs().program().code.size(), oldProgram().size());
    QCOMPARE(stateField(r.m, "program"), std::string("stored"));

    QCOMPARE(r.download(newProgram()), std::string("OK"));
    QCOMPARE(r.upload(), newProgram());
    QVERIFY(r.m.programs().stored(0) && !r.m.programs().stored(1));
    QCOMPARE(r.cmd("PGINFO"), tr::infoReply(static_cast<int>(newProgram().size()), lang::programChecksum(newProgram())));
    // The threads run the new program: it has no program 1.
    QCOMPARE(r.cmd("SR1=1"), std::string("?NOPROGRAM"));
    QCOMPARE(r.cmd("SR0=1"), std::string("OK"));
}

void StoreTest::refusals_data()
{
    QTest::addColumn<QStringList>("before");  // each answered OK
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("reply");

    auto q = [](const Lines &l) {
        QStringList s;
        for (const auto &x : l)
            s << QString::fromStdString(x);
        return s;
    };
    const Lines &p = newProgram();
    const int n = static_cast<int>(p.size());
    const Lines begun{tr::beginCommand(n)};
    Lines all = begun;
    for (int k = 1; k <= n; ++k)
        all.push_back(tr::lineCommand(k, p[static_cast<std::size_t>(k) - 1]));
    const QString crc = QString::fromStdString(tr::endCommand(lang::programChecksum(p)));

    QTest::newRow("line without a transfer") << QStringList{} << "PGL1=1 X1" << "?NOTRANSFER";
    QTest::newRow("end without a transfer") << QStringList{} << crc << "?NOTRANSFER";
    QTest::newRow("begin without a count") << QStringList{} << "PGLOAD" << "?SYNTAX";
    QTest::newRow("count zero") << QStringList{} << "PGLOAD=0" << "?RANGE";
    QTest::newRow("count over the device's room") << QStringList{} << "PGLOAD=1276" << "?RANGE";
    QTest::newRow("count not a number") << QStringList{} << "PGLOAD=1x" << "?SYNTAX";
    QTest::newRow("negative count") << QStringList{} << "PGLOAD=-3" << "?SYNTAX";
    QTest::newRow("first line skipped") << q(begun) << "PGL2=1 X1" << "?SEQUENCE";
    QTest::newRow("line sent twice") << q({begun[0], all[1]}) << QString::fromStdString(all[1]) << "?SEQUENCE";
    QTest::newRow("line number with a leading zero") << q(begun) << "PGL01=1 X1" << "?SYNTAX";
    QTest::newRow("more lines than announced") << q(all) << QString::fromStdString(tr::lineCommand(n + 1, "1 X1"))
                                               << "?SEQUENCE";
    QTest::newRow("line without a value") << q(begun) << "PGL1" << "?SYNTAX";
    QTest::newRow("line longer than any compiled line")
        << q(begun) << "PGL1=1 X" + QString(48, '1') << "?TOOLONG";
    QTest::newRow("end before the last line") << q(Lines(all.begin(), all.end() - 1)) << crc << "?COUNT";
    QTest::newRow("checksum wrong") << q(all) << "PGEND=00000000" << "?CHECKSUM";
    QTest::newRow("checksum not hex") << q(all) << "PGEND=0000000G" << "?SYNTAX";
    QTest::newRow("checksum short") << q(all) << "PGEND=1234" << "?SYNTAX";
    QTest::newRow("end without a checksum") << q(all) << "PGEND" << "?SYNTAX";

    // Lines the compiled-form reader refuses, sent with a matching checksum.
    auto bad = [&](const char *name, const Lines &program, int line) {
        QStringList before = q(Rig::transfer(program));
        const QString end = before.takeLast();
        QTest::newRow(name) << before << end << QString("?PROGRAM %1").arg(line);
    };
    bad("line not well formed", {"1 V1=1", "2 FROB"}, 2);
    bad("no source line", {"X100"}, 1);
    bad("jump outside its program", {"1 PRG 0", "2 GOTO @4", "3 PRG 1", "4 END"}, 2);
    bad("jump onto an AND line", {"1 IF V1=1 @4", "1 AND V2=2", "2 GOTO @2", "3 END"}, 3);
    bad("program 0 twice", {"1 PRG 0", "2 END", "3 PRG 0"}, 3);

    QTest::newRow("info is read-only") << QStringList{} << "PGINFO=1" << "?READONLY";
    QTest::newRow("read line 0") << QStringList{} << "PGR0" << "?SYNTAX";
    QTest::newRow("read past the end") << QStringList{} << QString::fromStdString(tr::readCommand(static_cast<int>(oldProgram().size()) + 1)) << "?RANGE";
    QTest::newRow("read with a value") << QStringList{} << "PGR1=2" << "?READONLY";
}

// Every refusal leaves the stored program whole and ends the transfer, so
// that nothing sent after it can complete a half program.
void StoreTest::refusals()
{
    QFETCH(QStringList, before);
    QFETCH(QString, command);
    QFETCH(QString, reply);
    Rig r;
    QCOMPARE(r.download(oldProgram()), std::string("OK"));
    const std::optional<std::string> image = r.flash.image;

    Lines cmds;
    for (const auto &c : before)
        cmds.push_back(c.toStdString());
    QCOMPARE(r.send(cmds), std::string("OK"));
    QCOMPARE(r.cmd(command.toStdString()), reply.toStdString());

    QCOMPARE(r.upload(), oldProgram());
    QCOMPARE(r.flash.image, image);
    QCOMPARE(stateField(r.m, "transfer"), std::string("-"));
    QCOMPARE(r.cmd(tr::lineCommand(std::max<int>(1, static_cast<int>(cmds.size())), "1 X1")), std::string("?NOTRANSFER"));
    QCOMPARE(r.cmd(tr::endCommand(lang::programChecksum(newProgram()))), std::string("?NOTRANSFER"));
}

void StoreTest::abandonment_data()
{
    QTest::addColumn<int>("sent");  // frames of the transfer sent before the cut
    QTest::addColumn<QString>("cut");
    QTest::addColumn<bool>("committed");

    const int n = static_cast<int>(Rig::transfer(newProgram()).size());
    const struct {
        const char *name;
        int sent;
    } points[] = {{"early", 1}, {"middle", n / 2}, {"before the last line", n - 2}, {"before the checksum", n - 1}};
    for (const char *cut : {"link dropped", "power cycle", "new transfer", "refused frame", "other commands"})
        for (const auto &p : points)
            QTest::addRow("%s, %s", cut, p.name) << p.sent << QString(cut) << false;
    for (const char *cut : {"link dropped", "power cycle", "new transfer"})
        QTest::addRow("%s, after the checksum", cut) << n << QString(cut) << true;
}

void StoreTest::abandonment()
{
    QFETCH(int, sent);
    QFETCH(QString, cut);
    QFETCH(bool, committed);
    Rig r;
    QCOMPARE(r.download(oldProgram()), std::string("OK"));
    const Lines frames = Rig::transfer(newProgram());
    QCOMPARE(r.send(Lines(frames.begin(), frames.begin() + sent)), std::string("OK"));

    if (cut == "link dropped") {
        r.m.linkDropped();
    } else if (cut == "power cycle") {
        r.m.powerUp(1'000'000);
    } else if (cut == "new transfer") {
        QCOMPARE(r.cmd("PGLOAD=3"), std::string("OK"));
    } else if (cut == "refused frame") {
        QCOMPARE(r.cmd("PGL9999=1 X1"), std::string("?SEQUENCE"));
    } else {
        // Ordinary commands in between do not disturb a transfer.
        QCOMPARE(r.send({"HSPD=2000", "V3=4", "SR=0"}), std::string("OK"));
        QCOMPARE(r.cmd("PGINFO"), tr::infoReply(static_cast<int>(oldProgram().size()), lang::programChecksum(oldProgram())));
        QCOMPARE(r.send(Lines(frames.begin() + sent, frames.end())), std::string("OK"));
        QCOMPARE(r.upload(), newProgram());
        return;
    }
    // The rest of the old transfer can no longer land.
    if (sent < static_cast<int>(frames.size()) && cut != "new transfer")
        QVERIFY(r.cmd(frames[static_cast<std::size_t>(sent)]) != "OK");
    QVERIFY(r.cmd(frames.back()).starts_with("?"));
    QCOMPARE(r.upload(), committed ? newProgram() : oldProgram());
    r.m.powerUp(2'000'000);
    QCOMPARE(r.upload(), committed ? newProgram() : oldProgram());
}

void StoreTest::refusedWhileAThreadRuns_data()
{
    QTest::addColumn<QStringList>("control");  // run-control commands before the transfer
    QTest::addColumn<bool>("refused");
    QTest::newRow("thread 0 runs") << QStringList{"SR0=1"} << true;
    QTest::newRow("thread 1 runs") << QStringList{"SR1=1"} << true;
    QTest::newRow("paused") << QStringList{"SR0=1", "SR0=2"} << true;
    QTest::newRow("stopped again") << QStringList{"SR=1", "SR=0"} << false;
    QTest::newRow("never started") << QStringList{} << false;
}

// A thread holds a place in the stored program, so the program stays until
// the thread is stopped: at the start of a transfer and at its end.
void StoreTest::refusedWhileAThreadRuns()
{
    QFETCH(QStringList, control);
    QFETCH(bool, refused);
    Rig r;
    const Lines looping = compiled("PRG 0\nl0: DELAY=1000\nGOTO l0\nPRG 1\nl1: DELAY=1000\nGOTO l1\n");
    QCOMPARE(r.download(looping), std::string("OK"));
    for (const QString &c : control)
        QCOMPARE(r.cmd(c.toStdString()), std::string("OK"));
    r.m.advanceTo(5000);
    const Lines frames = Rig::transfer(newProgram());
    QCOMPARE(r.cmd(frames.front()), std::string(refused ? "?RUNNING" : "OK"));
    QCOMPARE(r.upload(), looping);
    if (refused)
        QCOMPARE(r.cmd("SR=0"), std::string("OK"));
    QCOMPARE(r.download(newProgram()), std::string("OK"));

    // A thread started while the lines travel still keeps the program in place.
    const Lines back = Rig::transfer(looping);
    QCOMPARE(r.send(Lines(back.begin(), back.end() - 1)), std::string("OK"));
    QCOMPARE(r.cmd("SR0=1"), std::string("OK"));
    QCOMPARE(r.cmd(back.back()), std::string("?RUNNING"));
    QCOMPARE(r.upload(), newProgram());
    QCOMPARE(r.cmd("SR0=0"), std::string("OK"));
    QCOMPARE(r.download(looping), std::string("OK"));
}

void StoreTest::failedFlashWriteKeepsTheOldProgram()
{
    Rig r;
    QCOMPARE(r.download(oldProgram()), std::string("OK"));
    r.flash.broken = true;
    const Lines frames = Rig::transfer(newProgram());
    QCOMPARE(r.send(Lines(frames.begin(), frames.end() - 1)), std::string("OK"));
    QCOMPARE(r.cmd(frames.back()), std::string("?FLASH"));
    QCOMPARE(r.upload(), oldProgram());
    r.flash.broken = false;
    r.m.powerUp(1000);
    QCOMPARE(r.upload(), oldProgram());
}

void StoreTest::storedProgramSurvivesPowerCyclesAndStore()
{
    Rig r;
    QCOMPARE(r.download(oldProgram()), std::string("OK"));
    for (int k = 1; k <= 3; ++k) {
        r.m.powerUp(k * 1000);
        QCOMPARE(r.upload(), oldProgram());
        QCOMPARE(stateField(r.m, "program"), std::string("stored"));
        QCOMPARE(r.m.programs().state(-1), ThreadState::Idle);
    }
    // STORE rewrites the image; the program stays in it.
    QCOMPARE(r.send({"P6=12", "STORE"}), std::string("OK"));
    r.m.powerUp(9000);
    QCOMPARE(r.upload(), oldProgram());
    QCOMPARE(r.cmd("P6"), std::string("12"));

    // A second model on the same flash, as after the process restarts.
    Model again(r.flash, "CFG01");
    QCOMPARE(again.programs().lines(), oldProgram());
}

void StoreTest::commitKeepsUnstoredSettingsOutOfTheFlash()
{
    Rig r;
    QCOMPARE(r.send({"P6=12", "DN=CFG07", "V30=30", "STORE", "P6=15", "DN=CFG08", "V30=31"}), std::string("OK"));
    QCOMPARE(r.download(newProgram()), std::string("OK"));
    r.m.powerUp(1000);
    QCOMPARE(r.cmd("P6"), std::string("12"));
    QCOMPARE(r.cmd("DN"), std::string("CFG07"));
    QCOMPARE(r.cmd("V30"), std::string("30"));
    QCOMPARE(r.upload(), newProgram());

    // On a blank flash the settings stay at their defaults.
    Rig blank;
    QCOMPARE(blank.send({"P6=15"}), std::string("OK"));
    QCOMPARE(blank.download(newProgram()), std::string("OK"));
    blank.m.powerUp(1000);
    QCOMPARE(blank.cmd("P6"), std::string("10"));
    QCOMPARE(blank.m.flashState(), FlashState::Loaded);
}

// An image the device could not read at power-up holds a name, settings and
// variables it never loaded: neither a download nor STORE may replace it
// until a power-up has read it, or it is gone.
void StoreTest::imageNeverLoadedIsNotReplaced()
{
    Rig stored;
    QCOMPARE(stored.send({"P6=12", "DN=CFG07", "V40=40", "STORE"}), std::string("OK"));
    const std::string image = *stored.flash.image;

    Rig r;
    r.flash.image = image;
    r.flash.unreadable = true;
    r.m.powerUp(1000);
    QCOMPARE(r.m.flashState(), FlashState::Unreadable);
    QCOMPARE(stateField(r.m, "flash"), std::string("unreadable"));
    r.flash.unreadable = false;  // readable now, but never read
    const int writes = r.flash.writes;
    QVERIFY(r.download(newProgram()).ends_with("-> ?FLASH"));
    QCOMPARE(r.cmd("STORE"), std::string("?FLASH"));
    QCOMPARE(r.flash.writes, writes);
    QCOMPARE(*r.flash.image, image);
    QCOMPARE(r.cmd("PGINFO"), std::string("?NOPROGRAM"));

    r.m.powerUp(2000);  // now the device has read it
    QCOMPARE(r.m.flashState(), FlashState::Loaded);
    QCOMPARE(r.download(newProgram()), std::string("OK"));
    r.m.powerUp(3000);
    QCOMPARE(r.cmd("DN"), std::string("CFG07"));
    QCOMPARE(r.cmd("P6"), std::string("12"));
    QCOMPARE(r.cmd("V40"), std::string("40"));
    QCOMPARE(r.upload(), newProgram());

    // Gone meanwhile: nothing to lose, and the state says what the flash now holds.
    Rig gone;
    gone.flash.image = image;
    gone.flash.unreadable = true;
    gone.m.powerUp(1000);
    gone.flash.unreadable = false;
    gone.flash.image.reset();
    QCOMPARE(gone.download(newProgram()), std::string("OK"));
    QCOMPARE(stateField(gone.m, "flash"), std::string("loaded"));
    Rig blank;
    QCOMPARE(stateField(blank.m, "flash"), std::string("blank"));
    QCOMPARE(blank.cmd("STORE"), std::string("OK"));
    QCOMPARE(stateField(blank.m, "flash"), std::string("loaded"));
}

void StoreTest::corruptProgramImage_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("settingsLoad");

    FlashRecord base{{"P6", "13"}};
    auto with = [&](std::initializer_list<std::pair<const std::string, std::string>> extra) {
        FlashRecord r = base;
        for (const auto &kv : extra)
            r.insert(kv);
        return QByteArray::fromStdString(encodeFlash(r));
    };
    QTest::newRow("line missing") << with({{"PGM", "2"}, {"PGM0001", "1 X1"}}) << true;
    QTest::newRow("count missing") << with({{"PGM0001", "1 X1"}}) << true;
    QTest::newRow("count not a number") << with({{"PGM", "x"}, {"PGM0001", "1 X1"}}) << true;
    QTest::newRow("count zero") << with({{"PGM", "0"}}) << true;
    QTest::newRow("extra line") << with({{"PGM", "1"}, {"PGM0001", "1 X1"}, {"PGM0002", "2 X2"}}) << true;
    QTest::newRow("line not well formed") << with({{"PGM", "1"}, {"PGM0001", "1 FROB"}}) << true;
    QTest::newRow("jump outside") << with({{"PGM", "1"}, {"PGM0001", "1 GOTO @7"}}) << true;
    QTest::newRow("line too long") << with({{"PGM", "1"}, {"PGM0001", "1 X" + std::string(60, '1')}}) << true;
    Rig good;
    good.cmd("P6=13");
    good.cmd("STORE");
    good.download(oldProgram());
    QByteArray flipped = QByteArray::fromStdString(*good.flash.image);
    flipped[flipped.indexOf("X100") + 1] = '7';
    QTest::newRow("image checksum fails") << flipped << false;
}

void StoreTest::corruptProgramImage()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, settingsLoad);
    Rig r;
    r.flash.image = image.toStdString();
    r.m.powerUp(1000);
    QCOMPARE(r.m.programState(), ProgramState::Corrupt);
    QCOMPARE(stateField(r.m, "program"), std::string("corrupt"));
    QCOMPARE(r.m.flashState(), settingsLoad ? FlashState::Loaded : FlashState::Corrupt);
    QCOMPARE(r.cmd("P6"), std::string(settingsLoad ? "13" : "10"));
    QCOMPARE(r.cmd("PGINFO"), std::string("?CORRUPT"));
    QCOMPARE(r.cmd("PGR1"), std::string("?CORRUPT"));
    QVERIFY(!r.m.programs().stored(-1));
    QCOMPARE(r.cmd("SR=1"), std::string("?NOPROGRAM"));

    // A new download replaces it, and the settings that loaded stay stored.
    QCOMPARE(r.download(newProgram()), std::string("OK"));
    r.m.powerUp(2000);
    QCOMPARE(r.upload(), newProgram());
    QCOMPARE(r.cmd("P6"), std::string(settingsLoad ? "13" : "10"));
}

void StoreTest::lineCutByTheFrameIsRefused()
{
    Rig r;
    QCOMPARE(r.download(oldProgram()), std::string("OK"));
    QCOMPARE(r.cmd("PGLOAD=1"), std::string("OK"));
    // 64 bytes with no terminator: the device sees only what fits.
    std::string text = "PGL1=1 X" + std::string(80, '2');
    Frame f{};
    std::copy_n(text.begin(), kFrame, f.begin());
    const Frame reply = r.m.handleFrame(f);
    QCOMPARE(std::string(reinterpret_cast<const char *>(reply.data())), std::string("?TOOLONG"));
    QVERIFY(!zenta::lang::parseCompiled({"1 X" + std::string(46, '1')}).ok);  // the loader never sends one
    QVERIFY(!tr::lineCommand(1275, "1 X" + std::string(45, '1')).empty());
    QCOMPARE(r.upload(), oldProgram());
}

QTEST_APPLESS_MAIN(StoreTest)
#include "store_test.moc"

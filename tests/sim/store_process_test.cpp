// The program store through the real zenta-sim process: a transfer cut off
// by the host closing, an unplug or a power cycle leaves the old program, and
// the stored program outlives the process.
#include "SimProcess.h"

#include "Compiled.h"
#include "zenta/lang/transfer.hpp"

#include <QtTest>

using namespace simtest;
namespace lang = zenta::lang;
namespace tr = zenta::lang::transfer;

namespace {

using Lines = std::vector<std::string>;

Lines frames(const Lines &program) { return tr::downloadCommands(program); }

// Sends frames[from, to); the first reply that is not OK, or "OK".
std::string send(int fd, const Lines &f, std::size_t from, std::size_t to)
{
    for (std::size_t k = from; k < to; ++k)
        if (auto r = simtest::exchange(fd, f[k]); r != "OK")
            return f[k] + " -> " + r;
    return "OK";
}

Lines upload(int fd)
{
    const auto info = tr::parseInfoReply(simtest::exchange(fd, std::string(tr::kInfo)));
    if (!info)
        return {};
    Lines l;
    for (int k = 1; k <= info->lines; ++k)
        l.push_back(simtest::exchange(fd, tr::readCommand(k)));
    return lang::programChecksum(l) == info->crc ? l : Lines{};
}

}  // namespace

class StoreProcessTest : public QObject {
    Q_OBJECT
private slots:
    void cutOffTransferKeepsTheOldProgram_data()
    {
        QTest::addColumn<QString>("cut");
        QTest::newRow("host closes") << "close";
        QTest::newRow("unplug") << "unplug";
        QTest::newRow("power cycle") << "power-cycle";
    }

    void cutOffTransferKeepsTheOldProgram()
    {
        QFETCH(QString, cut);
        QTemporaryDir tmp;
        const QString flash = tmp.filePath("dev.flash");
        const Lines oldProgram = compiled("PRG 0\nX100\nPRG 1\nDO1=1\n");
        const Lines newProgram = compiled("V1=1\nWHILE V1<9\nV1=V1+1\nENDWHILE\nX-5\n");
        const Lines f = frames(newProgram);
        {
            SimProcess sim(tmp.path());
            QVERIFY(sim.start({"--lockstep", "--flash", flash}));
            int granted = 0;
            {
                Fd d{sim.connectDevice(granted)};
                QCOMPARE(send(d.fd, frames(oldProgram), 0, frames(oldProgram).size()), std::string("OK"));
                QCOMPARE(send(d.fd, f, 0, f.size() - 2), std::string("OK"));
                QVERIFY(sim.ctl("state").find("transfer=" + std::to_string(newProgram.size() - 1) + "/") !=
                        std::string::npos);
                if (cut != "close") {
                    QCOMPARE(sim.ctl(cut.toStdString()), std::string("OK"));
                    QCOMPARE(readBytes(d.fd, 1), std::string());  // the host sees the link go
                }
            }
            if (cut == "unplug")
                QCOMPARE(sim.ctl("replug"), std::string("OK"));
            // The control socket answers after the simulator has seen the close.
            QVERIFY(sim.ctl("state").find("transfer=- ") != std::string::npos);
            Fd d{sim.connectDevice(granted)};
            QCOMPARE(granted, 1);
            QCOMPARE(simtest::exchange(d.fd, f[f.size() - 2]), std::string("?NOTRANSFER"));
            QCOMPARE(simtest::exchange(d.fd, f.back()), std::string("?NOTRANSFER"));
            QCOMPARE(upload(d.fd), oldProgram);

            // A whole transfer on the new link lands.
            QCOMPARE(send(d.fd, f, 0, f.size()), std::string("OK"));
            QCOMPARE(sim.stop(), 0);
        }
        SimProcess sim(tmp.path());
        QVERIFY(sim.start({"--lockstep", "--flash", flash}));
        QVERIFY(sim.ctl("state").find("program=stored lines=" + std::to_string(newProgram.size())) !=
                std::string::npos);
        int granted = 0;
        Fd d{sim.connectDevice(granted)};
        QCOMPARE(upload(d.fd), newProgram);
    }
};

QTEST_GUILESS_MAIN(StoreProcessTest)
#include "store_process_test.moc"

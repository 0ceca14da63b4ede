// Runs the built zentactl against simulators in a private device folder.
#pragma once

#include "SimProcess.h"

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <memory>
#include <string>
#include <vector>

namespace clitest {

// Guards against a hung zentactl; no test relies on it expiring.
constexpr int kRunMs = 30000;

struct Result {
    int exit = -1;  // -1: it did not end normally
    QByteArray out, err;
    QList<QByteArray> errLines() const
    {
        QList<QByteArray> l = err.split('\n');
        if (!l.isEmpty() && l.back().isEmpty())
            l.removeLast();
        return l;
    }
};

// A device folder, its simulators, and zentactl started in it.
class Bench {
public:
    QTemporaryDir devices;  // TOLLANCOM_DIR
    QTemporaryDir work;     // zentactl's current directory and the tests' files
    std::vector<std::unique_ptr<simtest::SimProcess>> sims;

    // A bench with one device in lockstep, sim1 named CFG01.
    static std::unique_ptr<Bench> withOneDevice()
    {
        auto b = std::make_unique<Bench>();
        if (!b->devices.isValid() || !b->work.isValid())
            qFatal("no temporary folders");
        b->startSim("sim1", "CFG01");
        return b;
    }

    // `product`: the product string it publishes, when not its name.
    simtest::SimProcess &startSim(const QString &serial, const QString &name, bool lockstep = true,
                                  const QString &product = {})
    {
        sims.push_back(std::make_unique<simtest::SimProcess>(devices.path(), serial));
        QStringList args{"--name", name};
        if (lockstep)
            args << "--lockstep";
        if (!product.isEmpty())
            args << "--product" << product;
        if (!sims.back()->start(args))
            qFatal("zenta-sim %s did not start", qPrintable(serial));
        return *sims.back();
    }

    void start(QProcess &p, const QStringList &args) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TOLLANCOM_DIR", devices.path());
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(work.path());
        p.start(simtest::builtBinary("zentactl"), args);
    }

    static Result finish(QProcess &p)
    {
        Result r;
        if (!p.waitForFinished(kRunMs)) {
            p.kill();
            p.waitForFinished(kRunMs);
        }
        r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

    Result run(const QStringList &args, const QByteArray &input = {}) const
    {
        QProcess p;
        start(p, args);
        if (!p.waitForStarted(kRunMs))
            return {};
        p.write(input);
        p.closeWriteChannel();
        return finish(p);
    }

    QString file(const QString &name) const { return work.filePath(name); }
};

// One number of a simulator's state line.
inline long number(simtest::SimProcess &sim, const std::string &key)
{
    return std::strtol(sim.state(key).c_str(), nullptr, 10);
}


// Moving, as far as the device is concerned.
inline bool moving(simtest::SimProcess &sim) { return number(sim, "mst") % 8 != 0; }

// Standard output of a child: a pipe that is full already and that nobody
// reads, though its reading end stays open (in the child itself).
inline void fullPipeAsStandardOutput()
{
    int ends[2];
    if (::pipe(ends) != 0)
        return;
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    static const char block[4096] = {};
    while (::write(ends[1], block, sizeof block) > 0) {
    }
    ::fcntl(ends[1], F_SETFL, 0);
    ::dup2(ends[1], STDOUT_FILENO);
    ::close(ends[1]);
}

// A file of the test's own, written whole.
inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// One line of --json output as an object; a line that is none is said so.
inline QJsonObject jsonOf(const QByteArray &line)
{
    QJsonParseError e{};
    const QJsonDocument d = QJsonDocument::fromJson(line, &e);
    if (e.error != QJsonParseError::NoError || !d.isObject())
        qWarning("not a JSON object: %s", line.constData());
    return d.object();
}

// A whole settings file, as the panel writes it.
inline const QByteArray kSettingsFile = "[ZENTA-KDR-V3 driver settings, format 1]\r\n"
                                        "DeviceName=01\r\n"
                                        "RunCurrent=1.5\r\n"
                                        "IdleCurrent=0\r\n"
                                        "Microstep=2\r\n"
                                        "ControlMode=USB\r\n"
                                        "TimeOut=250\r\n"
                                        "DOPolarity=1\r\n"
                                        "DIPolarity=0\r\n"
                                        "DOBoot=2\r\n"
                                        "AutoRun0=0\r\n"
                                        "AutoRun1=1\r\n";

}  // namespace clitest

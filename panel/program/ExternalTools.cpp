#include "ExternalTools.h"

#include "common/Dialogs.h"
#include "common/NumberText.h"
#include "common/TextFile.h"
#include "device/EventWait.h"
#include "zenta/lang/program.hpp"
#include "zenta/lang/regularfile.hpp"
#include "zenta/lang/transfer.hpp"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QWidget>
#include <QProcess>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace ExternalTools {

namespace {

// Far longer than any tool takes with a device that answers.
constexpr int kToolPatienceMs = 30000;
// Starting a process, or ending one that was killed, takes a moment.
constexpr int kStartMs = 10000;
// Another panel's compile or transfer takes seconds with a device that answers.
constexpr int kLockWaitMs = 15000;
const QString lockName = QStringLiteral("tools.lock");

int &lockWaitMs()
{
    static int ms = kLockWaitMs;
    return ms;
}

// Checksum of the compiled file this panel produced last; none before.
std::optional<std::uint32_t> &compiledChecksum()
{
    static std::optional<std::uint32_t> crc;
    return crc;
}

std::optional<std::uint32_t> checksumOfCompiledOutput()
{
    const zenta::lang::FileRead file =
        zenta::lang::readRegularFile(QFile::encodeName(exePath(QStringLiteral("CompileOut.txt"))).toStdString(),
                                    zenta::lang::kMaxTextFile);
    if (file.status != zenta::lang::FileStatus::Ok)
        return std::nullopt;
    return zenta::lang::crc32(file.bytes);
}

int &toolPatienceMs()
{
    static int ms = kToolPatienceMs;
    return ms;
}

QString &folderOverride()
{
    static QString folder;
    return folder;
}

QString withSlash(const QString &folder)
{
    return folder.endsWith(u'/') ? folder : folder + u'/';
}

void tell(QWidget *parent, const QString &text)
{
    Dialogs::get().notice(parent, text);
}

// A folder where a file is expected is as good as no file.
bool isFile(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

}  // namespace

ResultRead readResultFile(const QString &path, const QString &what)
{
    ResultRead r;
    if (!isFile(path)) {
        r.problem = what + " " + path + " does not exist!";
        return r;
    }
    r.lines = TextFile::readLines(path);
    if (!r.lines)
        r.problem = what + " " + path + " could not be read!";
    return r;
}

QString exeFolder()
{
    if (!folderOverride().isEmpty())
        return folderOverride();
    return QCoreApplication::applicationDirPath() + QStringLiteral("/EXE/");
}

void setExeFolderForTests(const QString &folder)
{
    folderOverride() = folder.isEmpty() ? QString() : withSlash(folder);
}

QString exePath(const QString &name)
{
    return exeFolder() + name;
}

bool exeFolderReady(QWidget *parent)
{
    if (QFileInfo(exeFolder()).isDir())
        return true;
    tell(parent, "The EXE folder " + exeFolder() + " does not exist!");
    return false;
}

bool writeSetupFile(const QString &path, const QStringList &entries)
{
    const std::optional<QByteArray> bytes = TextFile::toLatin1(TextFile::joinLines(entries));
    return bytes && TextFile::writeReplacing(path, *bytes);
}

void setToolPatienceForTests(int ms)
{
    toolPatienceMs() = ms > 0 ? ms : kToolPatienceMs;
}

namespace {

// The run LaunchAndWait has under way, for stopRunningTool().
struct Run {
    QProcess *tool = nullptr;
    QEventLoop *loop = nullptr;
    bool stopAsked = false;
};
Run *&currentRun()
{
    static Run *run = nullptr;
    return run;
}

// Ends the tool and whatever it started (its process group), and waits for
// it in the event loop, up to a bound.
void killTool(QProcess &tool)
{
    if (const qint64 pid = tool.processId(); pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    tool.kill();
    QEventLoop loop;
    QObject::connect(&tool, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kStartMs, &loop, &QEventLoop::quit);
    if (tool.state() != QProcess::NotRunning)
        loop.exec();
}

}  // namespace

void stopRunningTool()
{
    if (Run *run = currentRun()) {
        run->stopAsked = true;
        run->loop->quit();
    }
}

bool LaunchAndWait(QWidget *parent, const QString &path)
{
    if (!isFile(path)) {
        tell(parent, "The tool " + path + " does not exist!");
        return false;
    }
    QProcess tool;
    tool.setProgram(path);
    tool.setArguments({});
    // The tools talk through files; whatever they print goes to our own
    // streams, and an unread pipe can never stall them.
    tool.setProcessChannelMode(QProcess::ForwardedChannels);
    tool.setStandardInputFile(QProcess::nullDevice());
    // A group of its own, so that stopping it stops what it started too.
    tool.setChildProcessModifier([] { ::setpgid(0, 0); });

    // The window takes no input meanwhile, Esc aside; the cursor says so,
    // and is back before any message.
    EventWait::InputHold hold;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QEventLoop loop;
    Run run{&tool, &loop};
    currentRun() = &run;
    QTimer patience;
    patience.setSingleShot(true);
    bool started = false;
    QObject::connect(&patience, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&tool, &QProcess::started, &loop, [&] {
        started = true;
        loop.quit();
    });
    QObject::connect(&tool, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&tool, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });

    tool.start();
    patience.start(kStartMs);
    if (tool.state() == QProcess::Starting)
        loop.exec();
    bool stopped = false;
    // Esc may come before the start is taken in: the stop still holds.
    if (run.stopAsked && tool.state() != QProcess::NotRunning) {
        killTool(tool);
        stopped = true;
    } else if (!started && tool.state() != QProcess::NotRunning) {
        killTool(tool);  // it did not come up within its bound
    }
    QElapsedTimer running;
    running.start();
    // Timers, repaints and Esc go on; a stop asked for meanwhile ends the
    // wait, and so does the patience running out, which asks the operator.
    while (started && !stopped && tool.state() != QProcess::NotRunning) {
        if (!run.stopAsked) {
            patience.start(toolPatienceMs());
            loop.exec();
        }
        if (tool.state() == QProcess::NotRunning)
            break;
        if (run.stopAsked) {
            killTool(tool);
            stopped = true;
            break;
        }
        if (patience.isActive())
            continue;
        QApplication::restoreOverrideCursor();
        const bool stop = Dialogs::get().question(
            parent, QStringLiteral("Tool Still Running"),
            QStringLiteral("The tool %1 is still running after %2 seconds.\n\nStop it? No waits for it longer.")
                .arg(path)
                .arg(running.elapsed() / 1000));
        QApplication::setOverrideCursor(Qt::WaitCursor);
        // It may have ended while the question was open.
        if ((stop || run.stopAsked) && tool.state() != QProcess::NotRunning) {
            killTool(tool);
            stopped = true;
            break;
        }
    }
    currentRun() = nullptr;
    QApplication::restoreOverrideCursor();
    if (stopped)
        tell(parent, "The tool " + path + " was stopped.");
    else if (!started)
        tell(parent, "The tool " + path + " could not be started: " + tool.errorString());
    return started && !stopped;
}

ToolLock::ToolLock(QWidget *parent)
{
    const QByteArray path = QFile::encodeName(exePath(lockName));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) {
        tell(parent, "The tools' lock " + exePath(lockName) + " cannot be opened: " +
                         QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    bool got = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!got && errno == EWOULDBLOCK) {
        // The device is still this panel's while it waits: the poll goes on
        // and Esc still stops the axis, but nothing else in the window acts.
        const QPointer<QWidget> window = parent ? parent->window() : nullptr;
        const bool wasEnabled = window && window->isEnabled();
        if (wasEnabled)
            window->setEnabled(false);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        // The event loop sleeps between tries, so the poll keeps its pace.
        const QDeadlineTimer deadline(lockWaitMs());
        QEventLoop waiting;
        QTimer retry;
        QObject::connect(&retry, &QTimer::timeout, &waiting, [&] {
            got = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            if (got || (errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired())
                waiting.quit();
        });
        retry.start(20);
        waiting.exec();
        QApplication::restoreOverrideCursor();
        if (wasEnabled && window)
            window->setEnabled(true);
    }
    if (!got) {
        ::close(fd);
        tell(parent, "Another panel is using the tools in " + exeFolder() +
                         ". Try again when it has finished.");
        return;
    }
    fd_ = fd;
}

ToolLock::~ToolLock()
{
    if (fd_ >= 0)
        ::close(fd_);  // closing lets the lock go
}

void setLockWaitForTests(int ms)
{
    lockWaitMs() = ms > 0 ? ms : kLockWaitMs;
}

void rememberCompiledOutput()
{
    compiledChecksum() = checksumOfCompiledOutput();
}

void forgetCompiledOutput()
{
    compiledChecksum().reset();
}

bool compiledInThisRun()
{
    return compiledChecksum().has_value();
}

bool compiledOutputIsOurs()
{
    return compiledChecksum() && checksumOfCompiledOutput() == compiledChecksum();
}

int16_t CheckResultFile(QWidget *parent, const QString &path)
{
    return judgeResult(parent, readResultFile(path));
}

bool resultSucceeded(const ResultRead &result)
{
    // The result file was read as Latin-1, so its bytes come back unchanged.
    return result.lines && !zenta::lang::reportsFailure(result.lines->value(0).toLatin1().toStdString());
}

int16_t judgeResult(QWidget *parent, const ResultRead &result)
{
    if (!result.lines) {
        tell(parent, result.problem);
        return ResultMissing;
    }
    if (!resultSucceeded(result)) {
        tell(parent, TextFile::joinLines(*result.lines));
        return ResultFailed;
    }
    tell(parent, QStringLiteral("Done!"));
    return ResultOk;
}

std::optional<int16_t> ReadErrorLine(QWidget *parent)
{
    return ReadErrorLine(parent, readResultFile(exePath(QStringLiteral("CompileOut.txt")),
                                                QStringLiteral("The compile report")));
}

std::optional<int16_t> ReadErrorLine(QWidget *parent, const ResultRead &report)
{
    const QString path = exePath(QStringLiteral("CompileOut.txt"));
    if (!report.lines) {
        tell(parent, report.problem);
        return std::nullopt;
    }
    const QStringList *lines = &*report.lines;
    std::optional<QString> kept;
    for (const QString &line : *lines)
        if (line.contains(QLatin1String("Line")))
            kept = line.mid(6);
    if (!kept) {
        tell(parent, "The compile report " + path + " names no failing line!");
        return std::nullopt;
    }
    const auto number = parseInt16(*kept);
    if (!number)
        tell(parent, "The compile report " + path + " gives no readable line number: \"" + kept->trimmed() + "\"");
    return number;
}

int32_t CountCompiledLines()
{
    const auto lines = TextFile::readLines(exePath(QStringLiteral("CompileOut.txt")));
    return lines ? int32_t(lines->size()) - 1 : -1;
}

}  // namespace ExternalTools

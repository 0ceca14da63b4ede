#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

class QWidget;

// The EXE folder beside the panel and the way the panel drives the external
// tools that live there: setup file in, tool run, result file out.
namespace ExternalTools {

// The folder of the panel's executable followed by "/EXE/".
QString exeFolder();
// Points exeFolder() elsewhere (a path ending in "/" or not); empty restores
// the real one.
void setExeFolderForTests(const QString &folder);

// A bare file name in the EXE folder.
QString exePath(const QString &name);

// True when the EXE folder exists; otherwise tells the operator so.
bool exeFolderReady(QWidget *parent);

// Writes the setup file anew: each entry ("KEY:VALUE") on a line with CR LF.
bool writeSetupFile(const QString &path, const QStringList &entries);

// Starts the tool by its full path with no arguments, in the panel's own
// current directory, and waits in the event loop until its process has
// ended, with the wait cursor: timers, repaints and Esc go on, every other
// input to the panel's windows waits (EventWait::InputHold). A tool still
// running after a while (a device that does not answer, a tool that hangs)
// brings a question whether to stop it: Yes kills it and whatever it
// started, No waits as long again. False, after telling the operator why,
// when the tool is missing, cannot be started or was stopped.
bool LaunchAndWait(QWidget *parent, const QString &path);

// Stops the tool LaunchAndWait is waiting for, and whatever it started (its
// process group); that run then reports it stopped. Nothing when no tool
// runs. How Esc ends the loader while the device is lent to it.
void stopRunningTool();

// How long a tool runs before the operator is asked; 0 restores the real one.
void setToolPatienceForTests(int ms);

// One tool run at a time per EXE folder, whichever panel asks: held from the
// first file written for a run until its result has been read, so that two
// panels on one computer never read each other's setup or result files.
class ToolLock {
public:
    // Waits for the folder with the wait cursor, up to a bound; past it,
    // held() is false and the operator has been told that another panel is
    // using the tools. Meanwhile the window takes no input, but events go
    // on: the poll runs and Esc still stops the axis.
    explicit ToolLock(QWidget *parent);
    ~ToolLock();
    ToolLock(const ToolLock &) = delete;
    ToolLock &operator=(const ToolLock &) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// How long a panel waits for another's tool run; 0 restores the real one.
void setLockWaitForTests(int ms);

// The compiled program this panel produced: remembered after each compile
// that succeeded, so that a download sends only that, never what another
// panel compiled into the same folder meanwhile.
void rememberCompiledOutput();
void forgetCompiledOutput();
bool compiledOutputIsOurs();
// Whether this panel has compiled anything that succeeded since it started.
bool compiledInThisRun();

// What CheckResultFile found. Callers that only ask "success?" compare with
// ResultOk; ResultMissing has already been reported to the operator.
enum : int16_t { ResultFailed = 0, ResultOk = 1, ResultMissing = -1 };

// A tool's result file as read, or why it could not be: read while the
// tools are held, shown once they are free again.
struct ResultRead {
    std::optional<QStringList> lines;
    QString problem;  // the message for the operator when there are no lines
};
ResultRead readResultFile(const QString &path, const QString &what = QStringLiteral("The result file"));
// Read, and its first line reports success.
bool resultSucceeded(const ResultRead &result);

// Judges a result by its first line and tells the operator: the whole
// report on failure, "Done!" on success, the problem when it was not read.
int16_t judgeResult(QWidget *parent, const ResultRead &result);
// Both at once.
int16_t CheckResultFile(QWidget *parent, const QString &path);

// The failing program line of the last compile report in the EXE folder:
// the last line holding "Line", from its seventh character on. No value,
// after telling the operator what is missing, when there is none to read.
std::optional<int16_t> ReadErrorLine(QWidget *parent);
// The same from a report already read.
std::optional<int16_t> ReadErrorLine(QWidget *parent, const ResultRead &report);

// Lines of the last compile output less the result line; -1 for an empty or
// missing file.
int32_t CountCompiledLines();

}  // namespace ExternalTools

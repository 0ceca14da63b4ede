// zentactl's commands. Each takes values already checked (bad input never
// reaches a device), opens the device through the context when it needs one,
// and ends by returning (success) or by throwing Stop.
#pragma once

#include "Link.h"
#include "Output.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zentactl {

class Context {
public:
    // `bySerial`: `choice` is a serial, exactly (a device of a line).
    Context(Output &out, std::string choice, double retrySeconds, bool bySerial = false)
        : out(out), choice_(std::move(choice)), retry_(retrySeconds), bySerial_(bySerial)
    {
    }
    Output &out;
    // The chosen device's name, once one is chosen (opened or not); empty before.
    std::string chosenName() const;
    // The library, loaded on first use; listing needs no device.
    Link &library();
    // The chosen device, opened on first use.
    Link &device();
    // Called before the device is opened by a command that only stops the
    // axis or reads (stop, status, var reads): a device another zentactl
    // holds is then reached through that one's door.
    void allowThroughDoor() { throughDoor_ = true; }
    // The device's name for output.
    std::string name();

private:
    std::string choice_;
    double retry_;
    bool bySerial_ = false;
    std::unique_ptr<Link> link_;
    bool opened_ = false;
    bool throughDoor_ = false;
};

// Waits, in seconds, when none is given, and the longest accepted.
inline constexpr double kDefaultWait = 60;
inline constexpr double kLongestWait = 86400;
// A jog without --for still ends, after this many seconds.
inline constexpr double kLongestJog = 3600;

void listDevices(Context &c);

// The reply to `command` as a number; an unreadable one ends the program (status 2).
int32_t readNumber(Context &c, const char *command);

void status(Context &c, bool watch, std::optional<int32_t> count);
// Polls until the axis stands (IDLE) or no thread runs (`threads`). False
// when a signal came first; after `timeout` seconds status 7, saying `what`.
bool waitUntil(Context &c, bool threads, double timeout, const char *what);
// Until the axis stands (IDLE) or no thread runs; status 7 after `timeout`.
void waitFor(Context &c, bool threads, double timeout);

struct Motion {
    std::optional<int32_t> speed, accel;
};
void move(Context &c, int32_t target, const Motion &m, bool wait, double timeout);
void datum(Context &c, const Motion &m, bool wait, double timeout);
void jog(Context &c, bool positive, const Motion &m, double forSeconds);
void stopAxis(Context &c, bool abort);
void setMode(Context &c, bool incremental);
void setOutput(Context &c, const std::string &output, bool on);

// "Vn" to read, "Vn=value" to set, in the order given.
struct VariableStep {
    int number = 0;
    std::optional<int32_t> value;
};
void variables(Context &c, const std::vector<VariableStep> &steps);
void sendRaw(Context &c, const std::string &command);
void store(Context &c);

// The settings file's bytes, or "-" for standard input and output.
void settingsGet(Context &c, const std::string &file);
// `rename`: a device ID in the file that differs from the device's is set
// (the panel asks first); without it the device keeps its own. With
// `backupDir`, what the device holds is saved there first.
void settingsSet(Context &c, const std::string &file, const std::string &bytes, bool alsoStore, bool rename,
                 const std::string &backupDir = {});
// Ends the program (status 2) unless `bytes` are a settings file whose
// every line passes its checks: the reader settings set and diff use, for
// a line to refuse a file once before any device is chosen.
void checkSettingsFile(const std::string &file, const std::string &bytes);
// Ends the program (status 2; nothing was sent) unless a backup can be
// written in `dir`: called before any device is opened.
void checkBackupFolder(const std::string &dir);
// What differs between the device and the file; status 9 when anything
// does. The device ID only with `withId`.
void settingsDiff(Context &c, const std::string &file, const std::string &bytes, bool withId);

// A program for the device, compiled or read and checked before any device is opened.
struct ProgramFile {
    std::string path;
    std::vector<std::string> lines;  // compiled lines
};
void programCheck(Context &c, const std::string &path, const std::string &source);
ProgramFile programToSend(const std::string &path, const std::string &bytes);
void programDownload(Context &c, const ProgramFile &program);
void programUpload(Context &c, const std::optional<std::string> &file);
// The device's program, read back as upload reads it, against `program`
// (`source`: the file's bytes, to name a line as the file has it); status 9
// when they differ.
void programVerify(Context &c, const ProgramFile &program, const std::string &source);
// action: '1' run, '0' stop, '2' pause, '3' continue; thread 0, 1 or -1 for all.
void programControl(Context &c, char action, int thread);
void programStatus(Context &c);

}  // namespace zentactl

// Merrow: sends a compiled program to the device or reads the device's program
// back, as merrow_setup.txt in its own folder says, through libTollanCom in the
// folder above (the panel's). Whatever goes wrong, it leaves a result file the
// panel can judge: DownloadOut.txt for a download, the FIL file for an upload
// (which the compiler's decompile then reports). Exit code 0 on success, 1 on
// failure. Every wait has a bound: the library's time-outs and the busy retry.
#include "TollanCom.h"
#include "ToolFiles.h"
#include "zenta/lang/decimal.hpp"
#include "zenta/lang/program.hpp"
#include "zenta/lang/text.hpp"
#include "zenta/lang/transfer.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <dlfcn.h>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <variant>
#include <vector>

namespace {

namespace lang = zenta::lang;
namespace tools = zenta::tools;
namespace tr = zenta::lang::transfer;
using Clock = std::chrono::steady_clock;

constexpr const char *kSetupFile = "merrow_setup.txt";
constexpr const char *kDownloadOut = "DownloadOut.txt";
constexpr const char *kModel = "ZENTA-KDR-V3";
constexpr int kExchangeTimeoutMs = 2000;
constexpr auto kBusyRetry = std::chrono::milliseconds(2000);
constexpr auto kBusyPause = std::chrono::milliseconds(50);

// A failure with the lines the operator reads under the result line.
struct Failure {
    std::vector<std::string> lines;
};

Failure failure(std::string reason, std::string more = {})
{
    Failure f{{std::move(reason)}};
    if (!more.empty())
        f.lines.push_back(std::move(more));
    return f;
}

std::string clip(const std::string &s, std::size_t n = 60) { return s.size() > n ? s.substr(0, n) + "..." : s; }

// ---------------------------------------------------------------- library

struct Library {
    decltype(&fnTollanComGetNumDevices) getNumDevices = nullptr;
    decltype(&fnTollanComOpen) open = nullptr;
    decltype(&fnTollanComClose) close = nullptr;
    decltype(&fnTollanComSetTimeouts) setTimeouts = nullptr;
    decltype(&fnTollanComSendRecv) sendRecv = nullptr;
};

std::optional<Failure> loadLibrary(const std::string &folder, Library &lib)
{
    const std::string path = folder + "/../libTollanCom.so";
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        // dlerror() clears its text as it returns it: read it once.
        const char *why = dlerror();
        return failure("The device library libTollanCom.so could not be loaded from the folder above the loader.",
                       clip(why ? why : path, 200));
    }
    auto sym = [h](const char *name) { return dlsym(h, name); };
    lib.getNumDevices = reinterpret_cast<decltype(lib.getNumDevices)>(sym("fnTollanComGetNumDevices"));
    lib.open = reinterpret_cast<decltype(lib.open)>(sym("fnTollanComOpen"));
    lib.close = reinterpret_cast<decltype(lib.close)>(sym("fnTollanComClose"));
    lib.setTimeouts = reinterpret_cast<decltype(lib.setTimeouts)>(sym("fnTollanComSetTimeouts"));
    lib.sendRecv = reinterpret_cast<decltype(lib.sendRecv)>(sym("fnTollanComSendRecv"));
    if (!lib.getNumDevices || !lib.open || !lib.close || !lib.setTimeouts || !lib.sendRecv)
        return failure("The device library " + path + " lacks one of its functions.");
    return std::nullopt;
}

// One open device.
class Device {
public:
    Device(Library &lib, int32_t handle) : lib_(lib), handle_(handle) {}
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;
    ~Device() { lib_.close(handle_); }

    void setName(std::string name) { name_ = std::move(name); }
    const std::string &name() const { return name_; }
    // The device ID: the fourth and fifth characters of its reply to "DN".
    std::string id() const { return name_.size() > 3 ? name_.substr(3, 2) : std::string(); }

    // The reply text, or nullopt when the device did not answer (`lost` tells
    // whether the link itself went).
    std::optional<std::string> exchange(const std::string &command, bool *lost = nullptr)
    {
        unsigned char send[TOLLANCOM_FRAME] = {};
        unsigned char recv[TOLLANCOM_FRAME] = {};
        std::copy(command.begin(), command.begin() + static_cast<std::ptrdiff_t>(std::min(command.size(), sizeof send)),
                  send);
        const int32_t r = lib_.sendRecv(handle_, send, TOLLANCOM_FRAME, TOLLANCOM_FRAME, recv);
        if (lost)
            *lost = r != 1 && r != 0;
        if (r != 1)
            return std::nullopt;
        std::size_t n = 0;
        while (n < sizeof recv && recv[n] != 0)
            ++n;
        return std::string(reinterpret_cast<const char *>(recv), n);
    }

private:
    Library &lib_;
    int32_t handle_;
    std::string name_;
};

// Opens device `index`, retrying while another client holds it.
std::optional<int32_t> openWithRetry(Library &lib, int32_t index)
{
    const auto deadline = Clock::now() + kBusyRetry;
    for (;;) {
        int32_t handle = 0;
        if (lib.open(index, &handle) != 0)
            return handle;
        if (Clock::now() + kBusyPause > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(kBusyPause);
    }
}

std::string joinIds(const std::vector<std::string> &ids)
{
    std::string s;
    for (const auto &id : ids)
        s += (s.empty() ? "" : ", ") + (id.empty() ? std::string("(none)") : id);
    return s;
}

// The device whose ID is `dev`; with `dev` empty, the only device present.
std::variant<std::unique_ptr<Device>, Failure> findDevice(Library &lib, const std::string &dev)
{
    lib.setTimeouts(kExchangeTimeoutMs, kExchangeTimeoutMs);
    int32_t count = 0;
    if (lib.getNumDevices(&count) != 1 || count < 1)
        return failure("No device found.", "Check that the driver is connected and powered.");

    std::vector<std::unique_ptr<Device>> matches;
    std::vector<std::string> ids;
    int busy = 0, silent = 0;
    for (int32_t i = 0; i < count; ++i) {
        const auto handle = openWithRetry(lib, i);
        if (!handle) {
            ++busy;
            continue;
        }
        auto device = std::make_unique<Device>(lib, *handle);
        const auto name = device->exchange("DN");
        if (!name) {
            ++silent;
            continue;
        }
        device->setName(*name);
        ids.push_back(device->id());
        if (dev.empty() ? count == 1 : device->id() == dev)
            matches.push_back(std::move(device));
        else
            device.reset();
    }
    std::string seen = "Devices found: " + std::to_string(count);
    if (!ids.empty())
        seen += ", IDs " + joinIds(ids);
    if (busy)
        seen += ", " + std::to_string(busy) + " busy (held by another program)";
    if (silent)
        seen += ", " + std::to_string(silent) + " not answering";
    seen += ".";
    if (matches.size() == 1)
        return std::move(matches.front());
    if (matches.size() > 1)
        return failure("More than one device has the ID " + clip(dev, 20) + ".", seen);
    if (dev.empty() && count > 1)
        return failure("No device ID given (DEV is empty) and more than one device is present.", seen);
    if (dev.empty())
        return failure(busy ? "The device is busy: another program holds it." : "The device does not answer.", seen);
    return failure("No device has the ID " + clip(dev, 20) + ".", seen);
}

// ---------------------------------------------------------------- setup

struct Setup {
    std::string folder;
    std::string ope, fil, dev;
    int lin = 0;
};

std::optional<Failure> readSetup(const std::string &folder, Setup &setup)
{
    setup.folder = folder;
    std::string bytes;
    switch (tools::readFile(folder + "/" + kSetupFile, bytes, 64 * 1024)) {
    case tools::Read::Ok: break;
    case tools::Read::Missing: return failure("The setup file merrow_setup.txt is missing or unreadable.");
    case tools::Read::TooLarge: return failure("The setup file merrow_setup.txt is too large.");
    }
    const tools::Setup raw = tools::parseSetup(bytes);
    if (const auto *ope = raw.get("OPE"))
        setup.ope = *ope;
    if (const auto *fil = raw.get("FIL"))
        setup.fil = *fil;
    if (!raw.problem.empty())
        return failure("merrow_setup.txt: " + raw.problem + ".");
    const auto *mod = raw.get("MOD");
    if (!mod)
        return failure("merrow_setup.txt has no MOD entry.");
    if (*mod != kModel)
        return failure("Unknown model in MOD: " + clip(*mod, 40) + " (expected " + kModel + ").");
    if (setup.ope.empty())
        return failure("merrow_setup.txt has no OPE entry.");
    if (setup.ope != "DOWNLOAD" && setup.ope != "UPLOAD")
        return failure("Unknown operation in OPE: " + clip(setup.ope, 40) + " (expected DOWNLOAD or UPLOAD).");
    if (!tools::bareName(setup.fil))
        return failure("FIL must name a file in the loader's folder.");
    const auto *com = raw.get("COM");
    if (com && *com != "USB")
        return failure("Unknown connection in COM: " + clip(*com, 40) + " (expected USB).");
    const auto *lin = raw.get("LIN");
    if (!lin)
        return failure("merrow_setup.txt has no LIN entry.");
    std::int64_t value = 0;
    if (!lang::parseDecimalIn(*lin, 1, 1'000'000, value))
        return failure("LIN must be a positive line count, not " + clip(*lin, 20) + ".");
    setup.lin = static_cast<int>(value);
    if (const auto *dev = raw.get("DEV"))
        setup.dev = *dev;
    return std::nullopt;
}

// The library from the panel's folder and the device the setup names.
std::variant<std::unique_ptr<Device>, Failure> connect(Library &lib, const Setup &s)
{
    if (auto f = loadLibrary(s.folder, lib))
        return std::move(*f);
    return findDevice(lib, s.dev);
}

// ---------------------------------------------------------------- download

// The compiled lines of the compiler's result file, or why they cannot be sent.
std::variant<std::vector<std::string>, Failure> readProgram(const Setup &s)
{
    std::string bytes;
    switch (tools::readFile(s.folder + "/" + s.fil, bytes)) {
    case tools::Read::Ok: break;
    case tools::Read::Missing:
        return failure("The file " + clip(s.fil) + " named by FIL is missing, unreadable or not a file.",
                       "Compile the program first.");
    case tools::Read::TooLarge: return failure("The file " + clip(s.fil) + " is larger than 16 MB.");
    }
    // The result line says what the file is; the lines after it are read with
    // memory bounded by what a device can hold, and must match its count.
    const std::string first = bytes.substr(0, bytes.find_first_of("\r\n"));
    const tools::ResultLine result = tools::judgeResultLine(first, "COMPILE");
    if (result == tools::ResultLine::Other)
        return failure("The file " + clip(s.fil) + " is not a result of the compiler.");
    if (result == tools::ResultLine::Failed)
        return failure("The program did not compile; nothing was sent.", "Correct the program and compile it again.");
    lang::CompiledFile file = lang::readCompiledFile(bytes);
    if (!file.ok)
        return failure("The file " + clip(s.fil) + " cannot be sent: " + clip(file.message, 160) + ". Nothing was sent.");
    std::vector<std::string> lines = std::move(file.lines);
    if (lines.empty())
        return failure("The program is empty; nothing was sent.");
    if (static_cast<int>(lines.size()) > s.lin)
        return failure("The program has " +
                           (lines.size() > static_cast<std::size_t>(lang::kMaxCompiledLines)
                                ? "more than " + std::to_string(lang::kMaxCompiledLines)
                                : std::to_string(lines.size())) +
                           " compiled lines; the device holds at most " + std::to_string(s.lin) + ". Nothing was sent.");
    const lang::ParsedProgram parsed = lang::parseCompiled(lines);
    if (!parsed.ok)
        return failure("Compiled line " + std::to_string(parsed.errorLine) + " is not valid: " + clip(parsed.message, 120) +
                       ". Nothing was sent.");
    return lines;
}

// Why the device refused a frame, in the operator's words.
std::string refusal(const std::string &reply)
{
    if (reply == "?RUNNING")
        return "A program is running on the device; stop it and download again.";
    if (reply == "?FLASH")
        return "The device could not write its flash memory.";
    if (reply == "?CHECKSUM")
        return "The program reached the device damaged (checksum mismatch).";
    if (reply.rfind("?PROGRAM ", 0) == 0)
        return "The device refused the program at compiled line " + clip(reply.substr(9), 10) + ".";
    if (reply == "?UNKNOWN")
        return "The device does not take programs (it does not know the transfer commands).";
    if (reply == "?NOTRANSFER")
        return "The device lost the transfer (its link was interrupted).";
    return "The device refused the transfer: " + clip(reply, 40);
}

std::string noAnswer(bool lost) { return lost ? "The link to the device was lost." : "The device stopped answering."; }

std::variant<std::string, Failure> download(Library &lib, const Setup &s)
{
    auto program = readProgram(s);
    if (auto *f = std::get_if<Failure>(&program))
        return std::move(*f);
    const auto &lines = std::get<std::vector<std::string>>(program);
    const auto start = Clock::now();
    auto found = connect(lib, s);
    if (auto *f = std::get_if<Failure>(&found))
        return std::move(*f);
    Device &device = *std::get<std::unique_ptr<Device>>(found);

    const std::uint32_t crc = lang::programChecksum(lines);
    const std::vector<std::string> frames = tr::downloadCommands(lines);
    const std::string kept = "The device keeps its previous program.";
    for (std::size_t k = 0; k < frames.size(); ++k) {
        bool lost = false;
        const auto reply = device.exchange(frames[k], &lost);
        const bool last = k + 1 == frames.size();
        if (!reply)
            return failure(noAnswer(lost),
                           last ? "The device holds its previous program or the new one, whole; upload to see which."
                                : kept);
        if (*reply != "OK")
            return failure(refusal(*reply), kept);
    }
    bool lost = false;
    const auto info = device.exchange(std::string(tr::kInfo), &lost);
    if (!info)
        return failure(noAnswer(lost), "The device took the program but could not confirm it; upload to check.");
    const auto confirmed = tr::parseInfoReply(*info);
    if (!confirmed || confirmed->lines != static_cast<int>(lines.size()) || confirmed->crc != crc)
        return failure("The device does not confirm the program it took (it reports " + clip(*info, 40) + ").",
                       "Upload to see what it holds.");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", seconds);
    return std::to_string(lines.size()) + " lines sent to device " + (device.id().empty() ? "(no ID)" : device.id()) +
           " (" + clip(device.name(), 20) + ") in " + time + " s; the device confirmed checksum " +
           lang::formatChecksum(crc) + ".";
}

// ---------------------------------------------------------------- upload

std::variant<std::vector<std::string>, Failure> upload(Library &lib, const Setup &s)
{
    auto found = connect(lib, s);
    if (auto *f = std::get_if<Failure>(&found))
        return std::move(*f);
    Device &device = *std::get<std::unique_ptr<Device>>(found);

    bool lost = false;
    const auto info = device.exchange(std::string(tr::kInfo), &lost);
    if (!info)
        return failure(noAnswer(lost));
    if (*info == "?NOPROGRAM")
        return failure("The device " + device.id() + " holds no program.");
    if (*info == "?CORRUPT")
        return failure("The program stored in the device " + device.id() + " is corrupt; download it again.");
    if (*info == "?UNKNOWN")
        return failure("The device does not hold programs (it does not know the transfer commands).");
    const auto stored = tr::parseInfoReply(*info);
    if (!stored)
        return failure("The device gave an unreadable program summary: " + clip(*info, 40));
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(stored->lines));
    for (int k = 1; k <= stored->lines; ++k) {
        const auto line = device.exchange(tr::readCommand(k), &lost);
        if (!line)
            return failure(noAnswer(lost), "Read " + std::to_string(k - 1) + " of " + std::to_string(stored->lines) +
                                               " lines.");
        if (line->empty() || (*line)[0] == '?')
            return failure("The device refused to give line " + std::to_string(k) + ": " + clip(*line, 40));
        lines.push_back(*line);
    }
    if (lang::programChecksum(lines) != stored->crc)
        return failure("The program read from the device does not match its checksum.", "Upload again.");
    return lines;
}

// ---------------------------------------------------------------- result files

// `what` FAILED and the reasons, one a line.
std::vector<std::string> failureReport(const char *what, const Failure &f)
{
    std::vector<std::string> lines{std::string(what) + " FAILED"};
    for (const auto &l : f.lines)
        lines.push_back(tools::scrub(l));
    return lines;
}

int writeReport(const std::string &path, const std::vector<std::string> &lines, bool success)
{
    return tools::writeResult("Merrow", path, lines) && success ? 0 : 1;
}

int reportDownload(const std::string &folder, const std::variant<std::string, Failure> &outcome)
{
    const auto *f = std::get_if<Failure>(&outcome);
    return writeReport(folder + "/" + kDownloadOut,
                       f ? failureReport("DOWNLOAD", *f)
                         : std::vector<std::string>{"DOWNLOAD OK", tools::scrub(std::get<std::string>(outcome))},
                       !f);
}

int reportUpload(const Setup &s, const std::variant<std::vector<std::string>, Failure> &outcome)
{
    if (const auto *f = std::get_if<Failure>(&outcome))
        return writeReport(s.folder + "/" + s.fil, failureReport("UPLOAD", *f), false);
    const auto &program = std::get<std::vector<std::string>>(outcome);
    std::vector<std::string> lines{tools::okLine("UPLOAD", program.size())};
    lines.insert(lines.end(), program.begin(), program.end());
    return writeReport(s.folder + "/" + s.fil, lines, true);
}

}  // namespace

int main()
{
    const std::string folder = tools::ownFolder();
    Setup setup;
    if (auto f = readSetup(folder, setup)) {
        // An upload's failure goes where the decompile will look for it.
        if (setup.ope == "UPLOAD" && tools::bareName(setup.fil))
            return reportUpload(setup, std::move(*f));
        return reportDownload(folder, std::move(*f));
    }
    Library lib;
    if (setup.ope == "DOWNLOAD") {
        // A result left from an earlier run must never pass for this one's.
        ::unlink((folder + "/" + kDownloadOut).c_str());
        return reportDownload(folder, download(lib, setup));
    }
    ::unlink((folder + "/" + setup.fil).c_str());
    return reportUpload(setup, upload(lib, setup));
}

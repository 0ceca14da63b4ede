// Merrow: sends a compiled program to the device or reads the device's program
// back, as merrow_setup.txt in its own folder says, through libTollanCom in the
// folder above (the panel's). Whatever goes wrong, it leaves a result file the
// panel can judge: DownloadOut.txt for a download, the FIL file for an upload
// (which the compiler's decompile then reports). Exit code 0 on success, 1 on
// failure. Every wait has a bound: the library's time-outs and the busy retry.
#include "CompiledProgram.h"
#include "DeviceLink.h"
#include "DeviceName.h"
#include "ProgramTransfer.h"
#include "ToolFiles.h"
#include "zenta/lang/decimal.hpp"
#include "zenta/lang/program.hpp"
#include "zenta/lang/text.hpp"
#include "zenta/lang/transfer.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <variant>
#include <vector>

namespace {

namespace lang = zenta::lang;
namespace tools = zenta::tools;
namespace device = zenta::device;
using device::clip;
using device::Failure;
using device::failure;
using Clock = std::chrono::steady_clock;

constexpr const char *kSetupFile = "merrow_setup.txt";
constexpr const char *kDownloadOut = "DownloadOut.txt";
constexpr const char *kModel = "ZENTA-KDR-V3";
constexpr int kExchangeTimeoutMs = 2000;
constexpr auto kBusyRetry = std::chrono::milliseconds(2000);
constexpr auto kBusyPause = std::chrono::milliseconds(50);

// ---------------------------------------------------------------- library

std::optional<Failure> loadLibrary(const std::string &folder, device::Library &lib)
{
    const std::string path = folder + "/../libTollanCom.so";
    if (const std::string why = lib.load(path); !why.empty())
        return failure("The device library libTollanCom.so could not be loaded from the folder above the loader.",
                       clip(why, 200));
    return std::nullopt;
}

// One open device and its name.
struct Found {
    std::unique_ptr<device::Device> device;
    std::string name;
    // The device ID (lang::deviceIdOf), empty for a name that gives none.
    std::string id() const { return lang::deviceIdOf(name).value_or(std::string()); }
};

// "(none)" for a device that gave no ID, "?" for one not asked.
std::string joinIds(const std::vector<std::string> &ids)
{
    std::string s;
    for (const auto &id : ids)
        s += (s.empty() ? "" : ", ") + (id.empty() ? std::string("(none)") : id);
    return s;
}

// The product string listed at `index`.
std::string listedProduct(device::Library &lib, int32_t index)
{
    char buffer[TOLLANCOM_PRODUCT_BUFFER] = {};
    lib.getProductString(index, buffer, 0);
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

// The device whose ID is `dev`; with `dev` empty, the only device present.
// Opening a device keeps every other program from it meanwhile, so only the
// devices that may be the one are opened: those whose product string names
// the wanted ID, and those whose product string names none, which are asked
// "DN". A device whose product string names another ID is never touched.
std::variant<Found, Failure> findDevice(device::Library &lib, const std::string &dev)
{
    lib.setTimeouts(kExchangeTimeoutMs, kExchangeTimeoutMs);
    int32_t count = 0;
    if (lib.getNumDevices(&count) != 1 || count < 1)
        return failure("No device found.", "Check that the driver is connected and powered.");

    std::vector<std::string> products;
    std::vector<std::optional<std::string>> listed;
    for (int32_t i = 0; i < count; ++i) {
        products.push_back(listedProduct(lib, i));
        listed.push_back(lang::deviceNameIn(products.back()));
    }
    std::vector<Found> matches;
    std::vector<std::string> ids;
    int busy = 0, silent = 0;
    auto seen = [&] {
        std::string s = "Devices found: " + std::to_string(count);
        if (!ids.empty())
            s += ", IDs " + joinIds(ids);
        if (busy)
            s += ", " + std::to_string(busy) + " busy (held by another program)";
        if (silent)
            s += ", " + std::to_string(silent) + " not answering";
        return s + ".";
    };
    if (dev.empty() && count > 1) {
        for (const auto &name : listed)
            ids.push_back(name ? *lang::deviceIdOf(*name) : std::string("?"));
        return failure("No device ID given (DEV is empty) and more than one device is present.", seen());
    }
    // Two that name it already make the ID ambiguous: neither is opened.
    if (!dev.empty() && lang::productsNaming(products, dev) > 1) {
        for (const auto &name : listed)
            ids.push_back(name ? *lang::deviceIdOf(*name) : std::string("?"));
        return failure("More than one device has the ID " + clip(dev, 20) + ".", seen());
    }
    for (int32_t i = 0; i < count; ++i) {
        const std::optional<std::string> &name = listed[static_cast<std::size_t>(i)];
        const bool named = name.has_value() && !dev.empty();
        if (named && lang::deviceIdOf(*name) != dev) {
            ids.push_back(*lang::deviceIdOf(*name));
            continue;
        }
        const auto handle = device::openWithRetry(lib, i, kBusyRetry, kBusyPause);
        if (!handle) {
            ++busy;
            continue;
        }
        Found found{std::make_unique<device::Device>(lib, *handle), {}};
        const device::DeviceName asked =
            device::nameOf(products[static_cast<std::size_t>(i)],
                           [&found](std::string_view command) { return found.device->exchange(command); });
        if (asked.from == device::DeviceName::From::Silent) {
            ++silent;
            continue;
        }
        // An answer that is no device name gives no ID: only "the only device" may be it.
        found.name = asked.known() ? asked.name : asked.answer;
        ids.push_back(found.id());
        if (dev.empty() || found.id() == dev)
            matches.push_back(std::move(found));
    }
    if (matches.size() == 1)
        return std::move(matches.front());
    if (matches.size() > 1)
        return failure("More than one device has the ID " + clip(dev, 20) + ".", seen());
    if (dev.empty())
        return failure(busy ? "The device is busy: another program holds it." : "The device does not answer.", seen());
    return failure("No device has the ID " + clip(dev, 20) + ".", seen());
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
std::variant<Found, Failure> connect(device::Library &lib, const Setup &s)
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
    return device::compiledProgram(bytes, s.fil, s.lin);
}

std::variant<std::string, Failure> download(device::Library &lib, const Setup &s)
{
    auto program = readProgram(s);
    if (auto *f = std::get_if<Failure>(&program))
        return std::move(*f);
    const auto &lines = std::get<std::vector<std::string>>(program);
    const auto start = Clock::now();
    auto found = connect(lib, s);
    if (auto *f = std::get_if<Failure>(&found))
        return std::move(*f);
    const Found &target = std::get<Found>(found);
    auto sent = device::download(*target.device, lines);
    if (auto *f = std::get_if<Failure>(&sent))
        return std::move(*f);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", seconds);
    return std::to_string(lines.size()) + " lines sent to device " + (target.id().empty() ? "(no ID)" : target.id()) +
           " (" + clip(target.name, 20) + ") in " + time + " s; the device confirmed checksum " +
           lang::formatChecksum(std::get<device::Sent>(sent).crc) + ".";
}

std::variant<std::vector<std::string>, Failure> upload(device::Library &lib, const Setup &s)
{
    auto found = connect(lib, s);
    if (auto *f = std::get_if<Failure>(&found))
        return std::move(*f);
    return device::upload(*std::get<Found>(found).device);
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
    device::Library lib;
    if (setup.ope == "DOWNLOAD") {
        // A result left from an earlier run must never pass for this one's.
        ::unlink((folder + "/" + kDownloadOut).c_str());
        return reportDownload(folder, download(lib, setup));
    }
    ::unlink((folder + "/" + setup.fil).c_str());
    return reportUpload(setup, upload(lib, setup));
}

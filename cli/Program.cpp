// Standalone programs: compiled in-process by the language library, moved
// with the loader's transfer, run as the thread window runs them.
#include "Commands.h"
#include "Exit.h"
#include "Signals.h"
#include "Text.h"

#include "ProgramTransfer.h"
#include "zenta/lang/compiler.hpp"
#include "zenta/lang/program.hpp"
#include "zenta/lang/text.hpp"
#include "zenta/lang/transfer.hpp"

#include <algorithm>
#include <unistd.h>
#include <variant>

namespace zentactl {

using json = nlohmann::ordered_json;
namespace dev = zenta::device;
namespace lang = zenta::lang;

namespace {

bool endsWithPrg(const std::string &path)
{
    return path.size() >= 4 && sameWord(std::string_view(path).substr(path.size() - 4), ".prg");
}

std::string joined(const std::vector<std::string> &lines)
{
    std::string s;
    for (const std::string &l : lines)
        s += (s.empty() ? "" : " ") + l;
    return s;
}

// The end of a transfer that did not happen or did not finish.
[[noreturn]] void transferFailed(Context &c, const dev::Failure &f)
{
    if (f.stopped)
        stop(128 + caughtSignal(),
             c.name() + ": interrupted by " + signalName(caughtSignal()) + ": " + joined(f.lines));
    std::vector<std::string> lines = f.lines;
    // The device refuses a download while a program runs or is paused
    // (?RUNNING): a paused one is not called running.
    const std::string running = "A program is running on the device;";
    if (!lines.empty() && lines.front().rfind(running, 0) == 0)
        lines.front().replace(0, running.size(), "A program runs or is paused on the device;");
    stop(f.noAnswer ? NoAnswer : Failed, c.name() + ": " + joined(lines));
}

// Why a file is no program for the device, as check and download say it:
// `errors` each with its line (none for the whole file), in line order.
struct Refusal {
    std::vector<lang::Diagnostic> errors;
    int count = 0;  // failing lines found, shown or not
};

// The compiled lines of a program file, read as download reads it: a .prg
// file compiled, any other read as a compiled file, then judged as the
// device will judge it. `all`: every failing line of a program text, not
// only the first.
std::variant<std::vector<std::string>, Refusal> readProgram(const std::string &path, const std::string &bytes, bool all)
{
    std::vector<std::string> lines;
    if (endsWithPrg(path)) {
        const lang::CompileResult r = lang::compile(bytes);
        if (!r.ok) {
            Refusal refused{{{r.errorLine, r.message}}, 1};
            if (all) {
                // Every failing line, as the editor marks them, in line order.
                lang::CheckResult checked = lang::check(bytes);
                std::stable_sort(checked.errors.begin(), checked.errors.end(),
                                 [](const lang::Diagnostic &a, const lang::Diagnostic &b) { return a.line < b.line; });
                if (!checked.errors.empty())
                    refused = {std::move(checked.errors), checked.count};
            }
            return refused;
        }
        lines = lang::formatCompiled(r.program.code);
    } else {
        lang::CompiledFile file = lang::readCompiledFile(bytes);
        if (!file.ok)
            return Refusal{{{0, file.message}}, 1};
        lines = std::move(file.lines);
    }
    if (const auto f = dev::checkProgram(lines, lang::kMaxCompiledLines))
        return Refusal{{{0, joined(f->lines)}}, 1};
    return lines;
}

// "FILE:LINE: message", as compilers say it; "FILE: message" for the whole file.
std::string located(const std::string &path, const lang::Diagnostic &d)
{
    return path + (d.line > 0 ? ":" + std::to_string(d.line) : std::string()) + ": " + utf8(d.message);
}

// Progress on a terminal only, on standard error, where it does not mix
// with the result; a signal stops the transfer between two frames.
dev::Progress progress(const char *what)
{
    const bool terminal = ::isatty(STDERR_FILENO);
    return [terminal, what](int done, int total) {
        if (terminal && (done == total || done % 25 == 0)) {
            std::fprintf(stderr, "\r%s %d/%d", what, done, total);
            if (done == total)
                std::fputc('\n', stderr);
        }
        return caughtSignal() == 0;
    };
}

}  // namespace

void programCheck(Context &c, const std::string &path, const std::string &bytes)
{
    const auto read = readProgram(path, bytes, true);
    if (const auto *lines = std::get_if<std::vector<std::string>>(&read)) {
        const int count = static_cast<int>(lines->size());
        c.out.result(path + ": " + std::to_string(count) + " compiled lines",
                     {{"file", path}, {"ok", true}, {"lines", count}});
        return;
    }
    const Refusal &refused = std::get<Refusal>(read);
    json errors = json::array();
    std::string text;
    for (const lang::Diagnostic &d : refused.errors) {
        json e = json::object();
        if (d.line > 0)
            e["line"] = d.line;
        e["message"] = utf8(d.message);
        errors.push_back(e);
        text += (text.empty() ? "" : "\n") + located(path, d);
    }
    const int shown = static_cast<int>(refused.errors.size());
    if (refused.count > shown)
        text += "\n" + path + ": " + std::to_string(refused.count - shown) + " more failing lines not shown";
    const json result{{"file", path}, {"ok", false}, {"errors", errors}, {"count", refused.count}};
    // With --json the object holds the failing lines; standard error has one line for people.
    if (c.out.json()) {
        const lang::Diagnostic &first = refused.errors.front();
        if (refused.count == 1)
            throw Stop{Failed, located(path, first), first.line > 0, result};
        throw Stop{Failed, path + ": " + std::to_string(refused.count) + " failing lines", false, result};
    }
    // A compiler's lines as they are; a fault of the whole file as zentactl says it.
    throw Stop{Failed, text, refused.errors.front().line > 0, result};
}

ProgramFile programToSend(const std::string &path, const std::string &bytes)
{
    const auto read = readProgram(path, bytes, false);
    if (const auto *refused = std::get_if<Refusal>(&read))
        throw Stop{Failed, located(path, refused->errors.front()), refused->errors.front().line > 0};
    return ProgramFile{path, std::get<std::vector<std::string>>(read)};
}

void programDownload(Context &c, const ProgramFile &program)
{
    const auto sent = dev::download(c.device().raw(), program.lines, progress("download"));
    if (const auto *f = std::get_if<dev::Failure>(&sent))
        transferFailed(c, *f);
    const auto &s = std::get<dev::Sent>(sent);
    const std::string crc = lang::formatChecksum(s.crc);
    c.out.result(c.name() + ": " + std::to_string(s.lines) + " compiled lines of " + program.path +
                     " sent; the device confirmed checksum " + crc,
                 {{"device", c.name()}, {"file", program.path}, {"lines", s.lines}, {"checksum", crc}});
}

void programUpload(Context &c, const std::optional<std::string> &file)
{
    const auto got = dev::upload(c.device().raw(), progress("upload"));
    if (const auto *f = std::get_if<dev::Failure>(&got))
        transferFailed(c, *f);
    const auto &compiled = std::get<std::vector<std::string>>(got);
    const lang::DecompileResult text = lang::decompileLines(compiled);
    if (!text.ok)
        stop(Failed, c.name() + ": the device's program cannot be decompiled: " + utf8(text.message));
    const std::string bytes = lang::joinLines(text.lines);
    json result{{"device", c.name()}, {"compiled", compiled.size()}};
    if (file) {
        if (const std::string why = lang::replaceFile(*file, bytes); !why.empty())
            stop(Failed, "the program was not saved: " + why);
        result["file"] = *file;
        c.out.result(c.name() + ": program saved to " + *file + " (" + std::to_string(text.lines.size()) +
                         " lines)",
                     result);
        return;
    }
    c.out.carriesData();
    if (!c.out.json()) {
        c.out.bytes(bytes);
        return;
    }
    json lines = json::array();
    for (const std::string &l : text.lines)
        lines.push_back(utf8(l));
    result["text"] = lines;
    c.out.object(result);
}

namespace {

// The source line a compiled line names ("12 V1=0" is line 12), or 0.
int sourceLineOf(const std::string &compiled)
{
    const auto n = strictInt32(compiled.substr(0, compiled.find(' ')));
    return n && *n > 0 ? *n : 0;
}

// One side of a difference: where it is and what it says, as its reader
// knows it (a program text's own line, else the compiled line).
struct Side {
    bool present = false;
    int line = 0;
    std::string text;
};

Side sideAt(const std::vector<std::string> &compiled, std::size_t k, const std::vector<std::string> *text)
{
    if (k >= compiled.size())
        return {};
    if (!text)
        return {true, static_cast<int>(k) + 1, compiled[k]};
    const int line = sourceLineOf(compiled[k]);
    if (line < 1 || static_cast<std::size_t>(line) > text->size())
        return {true, line, compiled[k]};
    return {true, line, (*text)[static_cast<std::size_t>(line - 1)]};
}

}  // namespace

void programVerify(Context &c, const ProgramFile &program, const std::string &source)
{
    const auto got = dev::upload(c.device().raw(), progress("verify"));
    std::vector<std::string> held;  // a device without a program holds an empty one
    if (const auto *f = std::get_if<dev::Failure>(&got)) {
        if (!f->noProgram)
            transferFailed(c, *f);
    } else {
        held = std::get<std::vector<std::string>>(got);
    }
    const std::vector<std::string> &wanted = program.lines;
    json result{{"device", c.name()}, {"file", program.path}};
    if (held == wanted) {
        result["same"] = true;
        result["lines"] = wanted.size();
        c.out.result(c.name() + ": the program is that of " + program.path + " (" + std::to_string(wanted.size()) +
                         " compiled lines)",
                     result);
        return;
    }
    const std::size_t k = static_cast<std::size_t>(
        std::mismatch(held.begin(), held.end(), wanted.begin(), wanted.end()).first - held.begin());
    // A program text is named by its own lines, the device's by the text it
    // decompiles to; a compiled file by its compiled lines.
    const bool isText = endsWithPrg(program.path);
    const std::vector<std::string> fileText = lang::splitLines(source);
    const lang::DecompileResult decompiled = lang::decompileLines(held);
    const Side file = sideAt(wanted, k, isText ? &fileText : nullptr);
    const Side device = sideAt(held, k, isText && decompiled.ok ? &decompiled.lines : nullptr);
    const int line = file.present ? file.line : device.line;
    const std::string where = (isText ? "line " : "compiled line ") + std::to_string(line);
    auto quoted = [](const std::string &t) { return "\"" + utf8(t) + "\""; };
    std::string deviceSays = held.empty()            ? std::string("(no program)")
                             : !device.present      ? std::string("(its program ends before it)")
                             : device.line == line ? quoted(device.text)
                                                    : quoted(device.text) + " (its line " + std::to_string(device.line) + ")";
    const std::string fileSays = file.present ? quoted(file.text) : std::string("(its program ends before it)");
    json difference{{"line", line},
                    {"compiled", k + 1},
                    {"device", device.present ? json(utf8(device.text)) : json(nullptr)},
                    {"deviceline", device.present ? json(device.line) : json(nullptr)},
                    {"file", file.present ? json(utf8(file.text)) : json(nullptr)}};
    result["same"] = false;
    result["difference"] = difference;
    c.out.result(where + ": device " + deviceSays + ", file " + fileSays, result);
    throw Stop{Differs, c.name() + ": the program differs from " + program.path + " at " + where, false, json::object(),
               true};
}

void programControl(Context &c, char action, int thread)
{
    // The thread window: "SR0=" or "SR1=", and ABORT after Stop and Pause;
    // the whole program as the main window's buttons: "SR=", ABORT after Stop.
    const std::string command =
        std::string("SR") + (thread < 0 ? "" : std::to_string(thread)) + "=" + std::string(1, action);
    const bool thenAbort = action == '0' || (action == '2' && thread >= 0);
    c.device().set(command);
    if (thenAbort)
        c.device().set("ABORT");
    json sent = json::array({command});
    if (thenAbort)
        sent.push_back("ABORT");
    c.out.result(c.name() + ": " + command + (thenAbort ? ", ABORT" : "") + " sent",
                 {{"device", c.name()}, {"sent", sent}});
}

}  // namespace zentactl

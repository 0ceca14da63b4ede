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

#include <unistd.h>

namespace zentactl {

using json = nlohmann::ordered_json;
namespace dev = zenta::device;
namespace lang = zenta::lang;

namespace {

bool endsWithPrg(const std::string &path)
{
    return path.size() >= 4 && sameWord(std::string_view(path).substr(path.size() - 4), ".prg");
}

// "FILE:LINE: message", as compilers say it.
std::string compileError(const std::string &path, const lang::CompileResult &r)
{
    return path + ":" + std::to_string(r.errorLine) + ": " + utf8(r.message);
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
    stop(f.noAnswer ? NoAnswer : Failed, c.name() + ": " + joined(f.lines));
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

void programCheck(Context &c, const std::string &path, const std::string &source)
{
    const lang::CompileResult r = lang::compile(source);
    if (r.ok) {
        const int lines = static_cast<int>(r.program.code.size());
        c.out.result(path + ": " + std::to_string(lines) + " compiled lines",
                     {{"file", path}, {"ok", true}, {"lines", lines}});
        return;
    }
    // Every failing line, as the editor marks them, not only the first.
    const lang::CheckResult checked = lang::check(source);
    json errors = json::array();
    std::string text;
    for (const lang::Diagnostic &d : checked.errors) {
        errors.push_back({{"line", d.line}, {"message", utf8(d.message)}});
        text += (text.empty() ? "" : "\n") + path + ":" + std::to_string(d.line) + ": " + utf8(d.message);
    }
    if (checked.count > static_cast<int>(checked.errors.size()))
        text += "\n" + path + ": " + std::to_string(checked.count - static_cast<int>(checked.errors.size())) +
                " more failing lines not shown";
    c.out.object({{"file", path}, {"ok", false}, {"errors", errors}, {"count", checked.count}});
    throw Stop{Failed, text, true};
}

ProgramFile programToSend(const std::string &path, const std::string &bytes)
{
    ProgramFile p{path, {}};
    if (endsWithPrg(path)) {
        const lang::CompileResult r = lang::compile(bytes);
        if (!r.ok)
            throw Stop{Failed, compileError(path, r), true};
        p.lines = lang::formatCompiled(r.program.code);
    } else {
        lang::CompiledFile file = lang::readCompiledFile(bytes);
        if (!file.ok)
            stop(Failed, path + ": " + utf8(file.message));
        p.lines = std::move(file.lines);
    }
    if (const auto f = dev::checkProgram(p.lines, lang::kMaxCompiledLines))
        stop(Failed, path + ": " + joined(f->lines));
    return p;
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

#include "ProgramTransfer.h"

#include "zenta/lang/program.hpp"
#include "zenta/lang/transfer.hpp"

namespace zenta::device {

namespace lang = zenta::lang;
namespace tr = zenta::lang::transfer;

namespace {

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

Failure noAnswer(const Reply &reply, std::string more = {})
{
    Failure f = failure(reply.outcome == Outcome::Lost ? "The link to the device was lost."
                                                       : "The device stopped answering.",
                        std::move(more));
    f.noAnswer = true;
    return f;
}

Failure stoppedAt(int done, int total, std::string more)
{
    Failure f = failure("Stopped after " + std::to_string(done) + " of " + std::to_string(total) + " frames.",
                        std::move(more));
    f.stopped = true;
    return f;
}

}  // namespace

std::string clip(const std::string &s, std::size_t n) { return s.size() > n ? s.substr(0, n) + "..." : s; }

Failure failure(std::string reason, std::string more)
{
    Failure f{{std::move(reason)}};
    if (!more.empty())
        f.lines.push_back(std::move(more));
    return f;
}

std::optional<Failure> checkProgram(const std::vector<std::string> &lines, int maxLines)
{
    if (lines.empty())
        return failure("The program is empty; nothing was sent.");
    if (static_cast<int>(lines.size()) > maxLines)
        return failure("The program has " +
                       (lines.size() > static_cast<std::size_t>(lang::kMaxCompiledLines)
                            ? "more than " + std::to_string(lang::kMaxCompiledLines)
                            : std::to_string(lines.size())) +
                       " compiled lines; the device holds at most " + std::to_string(maxLines) +
                       ". Nothing was sent.");
    const lang::ParsedProgram parsed = lang::parseCompiled(lines);
    if (!parsed.ok)
        return failure("Compiled line " + std::to_string(parsed.errorLine) + " is not valid: " +
                       clip(parsed.message, 120) + ". Nothing was sent.");
    return std::nullopt;
}

std::variant<Sent, Failure> download(Device &device, const std::vector<std::string> &lines, const Progress &progress)
{
    const std::uint32_t crc = lang::programChecksum(lines);
    const std::vector<std::string> frames = tr::downloadCommands(lines);
    const int total = static_cast<int>(frames.size());
    const std::string kept = "The device keeps its previous program.";
    for (int k = 0; k < total; ++k) {
        const Reply reply = device.exchange(frames[static_cast<std::size_t>(k)]);
        const bool last = k + 1 == total;
        if (!reply.answered())
            return noAnswer(reply, last ? "The device holds its previous program or the new one, whole; upload to "
                                          "see which."
                                        : kept);
        if (reply.text != "OK")
            return failure(refusal(reply.text), kept);
        // The last frame has committed the program: nothing is left to stop.
        if (!last && progress && !progress(k + 1, total))
            return stoppedAt(k + 1, total, kept);
    }
    const Reply info = device.exchange(tr::kInfo);
    if (!info.answered())
        return noAnswer(info, "The device took the program but could not confirm it; upload to check.");
    const auto confirmed = tr::parseInfoReply(info.text);
    if (!confirmed || confirmed->lines != static_cast<int>(lines.size()) || confirmed->crc != crc)
        return failure("The device does not confirm the program it took (it reports " + clip(info.text, 40) + ").",
                       "Upload to see what it holds.");
    if (progress)
        progress(total, total);
    return Sent{static_cast<int>(lines.size()), crc};
}

std::variant<std::vector<std::string>, Failure> upload(Device &device, const Progress &progress)
{
    const Reply info = device.exchange(tr::kInfo);
    if (!info.answered())
        return noAnswer(info);
    if (info.text == "?NOPROGRAM") {
        Failure none = failure("The device holds no program.");
        none.noProgram = true;
        return none;
    }
    if (info.text == "?CORRUPT")
        return failure("The program stored in the device is corrupt; download it again.");
    if (info.text == "?UNKNOWN")
        return failure("The device does not hold programs (it does not know the transfer commands).");
    const auto stored = tr::parseInfoReply(info.text);
    if (!stored)
        return failure("The device gave an unreadable program summary: " + clip(info.text, 40));
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(stored->lines));
    for (int k = 1; k <= stored->lines; ++k) {
        const Reply line = device.exchange(tr::readCommand(k));
        if (!line.answered())
            return noAnswer(line, "Read " + std::to_string(k - 1) + " of " + std::to_string(stored->lines) + " lines.");
        if (line.text.empty() || line.text[0] == '?')
            return failure("The device refused to give line " + std::to_string(k) + ": " + clip(line.text, 40));
        lines.push_back(line.text);
        if (progress && !progress(k, stored->lines))
            return stoppedAt(k, stored->lines, {});
    }
    if (lang::programChecksum(lines) != stored->crc)
        return failure("The program read from the device does not match its checksum.", "Upload again.");
    return lines;
}

}  // namespace zenta::device

#include "Transfer.h"

#include "zenta/lang/transfer.hpp"

namespace zsim {

namespace tr = zenta::lang::transfer;

void ProgramTransfer::abandon()
{
    expected_ = 0;
    lines_.clear();
    lines_.shrink_to_fit();
}

ProgramTransfer::Step ProgramTransfer::refuse(std::string reply)
{
    abandon();
    return Step{std::move(reply), std::nullopt};
}

std::optional<ProgramTransfer::Step> ProgramTransfer::handle(std::string_view name, bool hasValue,
                                                              std::string_view value, bool threadsBusy)
{
    if (name == tr::kBegin) {
        abandon();  // a new transfer always starts from nothing
        if (!hasValue)
            return refuse("?SYNTAX");
        if (threadsBusy)
            return refuse("?RUNNING");
        int n = 0;
        if (value.empty() || value.size() > 4 || value.find_first_not_of("0123456789") != std::string_view::npos)
            return refuse("?SYNTAX");
        for (char c : value)
            n = n * 10 + (c - '0');
        if (n < 1 || n > zenta::lang::kMaxCompiledLines)
            return refuse("?RANGE");
        expected_ = n;
        lines_.reserve(static_cast<std::size_t>(n));
        return Step{"OK", std::nullopt};
    }
    if (name == tr::kEnd)
        return finish(value, threadsBusy);
    const auto number = tr::numberedName(name, tr::kLine);
    if (!number)
        return std::nullopt;
    if (!active())
        return refuse("?NOTRANSFER");
    if (!hasValue || *number == 0)
        return refuse("?SYNTAX");
    if (*number != received() + 1 || *number > expected_)
        return refuse("?SEQUENCE");
    // A line longer than the longest compiled line was cut by the frame or
    // was never one; either way it is not what the host meant to send.
    if (zenta::lang::compiledLineTooLong(value))
        return refuse("?TOOLONG");
    lines_.emplace_back(value);
    return Step{"OK", std::nullopt};
}

ProgramTransfer::Step ProgramTransfer::finish(std::string_view value, bool threadsBusy)
{
    if (!active())
        return refuse("?NOTRANSFER");
    const auto crc = zenta::lang::parseChecksum(value);
    if (!crc)
        return refuse("?SYNTAX");
    if (received() != expected_)
        return refuse("?COUNT");
    if (*crc != zenta::lang::programChecksum(lines_))
        return refuse("?CHECKSUM");
    if (threadsBusy)
        return refuse("?RUNNING");
    zenta::lang::ParsedProgram parsed = zenta::lang::parseCompiled(lines_);
    if (!parsed.ok)
        return refuse("?PROGRAM " + std::to_string(parsed.errorLine));
    Step done{{}, Checked{std::move(lines_), std::move(parsed.program)}};
    abandon();
    return done;
}

}  // namespace zsim

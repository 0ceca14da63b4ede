// Any frames at the simulated device: the stored program changes only through
// a transfer that the device accepted whole, and what it then holds reads as a
// sound program. Each input line is one frame, except for three control bytes
// standing alone on a line: 0x01 drops the link, 0x02 power-cycles the device,
// 0x03 sends PGEND with the right checksum of the lines sent since PGLOAD.
#include "check.hpp"

#include "Model.h"
#include "zenta/lang/text.hpp"
#include "zenta/lang/transfer.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>

using namespace zenta::lang;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    zsim::MemoryFlash flash;
    zsim::Model m(flash, "CFG01");
    std::vector<std::string> sent;  // PGL lines since the last PGLOAD, as the host sees them
    int steps = 0;
    for (const std::string &frame : splitLines(std::string_view(reinterpret_cast<const char *>(data), size))) {
        if (++steps > 4000)
            break;
        const std::vector<std::string> before = m.programs().lines();
        bool ended = false;
        std::string reply;
        if (frame == "\x01") {
            m.linkDropped();
        } else if (frame == "\x02") {
            m.powerUp(m.now() + 1000);
        } else {
            std::string command = frame == "\x03" ? transfer::endCommand(programChecksum(sent)) : frame;
            ended = command.rfind(transfer::kEnd, 0) == 0;
            zsim::Frame in{};
            std::copy_n(command.begin(), std::min(command.size(), in.size()), in.begin());
            const zsim::Frame out = m.handleFrame(in);
            reply.assign(reinterpret_cast<const char *>(out.data()), out.size());
            reply.resize(reply.find('\0') == std::string::npos ? reply.size() : reply.find('\0'));
            if (command.rfind(transfer::kBegin, 0) == 0)
                sent.clear();
            else if (command.rfind(transfer::kLine, 0) == 0 && reply == "OK")
                sent.push_back(command.substr(command.find('=') + 1));
        }
        const std::vector<std::string> &after = m.programs().lines();
        if (!(ended && reply == "OK")) {
            FUZZ_CHECK(after == before);
            continue;
        }
        FUZZ_CHECK(after == sent);
        FUZZ_CHECK(parseCompiled(after).ok);
        FUZZ_CHECK(m.handle(std::string(transfer::kInfo)) ==
                   transfer::infoReply(static_cast<int>(after.size()), programChecksum(after)));
        for (std::size_t k = 0; k < after.size(); ++k)
            FUZZ_CHECK(m.handle(transfer::readCommand(static_cast<int>(k) + 1)) == after[k]);
    }
    return 0;
}

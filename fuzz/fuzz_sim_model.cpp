// Any sequence of host commands, passing time, input changes and power cycles
// into the simulated driver's model. One step per line:
//   @MS    time moves on by MS milliseconds (up to a day per step)
//   #BITS  digital inputs     %VALUE  analog input     !  power cycle
//   ~      the whole line after it goes in as one raw 64-byte frame
//   $      PGEND with the right checksum of the PGL lines since PGLOAD, so
//          that programs reach the threads and run
//   other  one command, as the host sends it
// Every command gets exactly one reply of 1 to 64 characters, time never runs
// backwards, a stored flash image always loads again, and the position stays
// inside the 32-bit range.
#include "check.hpp"

#include "Model.h"
#include "zenta/lang/transfer.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace zsim;

namespace {

long long number(std::string_view s, long long max)
{
    long long v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v < 0 ? 0 : v > max ? max : v;
}

void checkReply(const std::string &reply)
{
    FUZZ_CHECK(!reply.empty());
    FUZZ_CHECK(reply.size() <= kFrame);
    FUZZ_CHECK(reply.find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    MemoryFlash flash;
    Model m(flash, "CFG01");
    Micros now = 0;
    std::string_view in(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> sent;  // PGL lines since the last PGLOAD
    int steps = 0;
    // Slices of statements one input may use up: a program that loops over a
    // day of device time (a store in a loop) would run a million statements
    // per step and hide every other input behind the time-out.
    int slices = 500;
    while (!in.empty() && steps++ < 2000) {
        const auto nl = in.find('\n');
        const std::string_view line = in.substr(0, nl);
        in = nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1);
        const char op = line.empty() ? '\0' : line[0];
        const std::string_view arg = line.empty() ? line : line.substr(1);
        if (op == '@') {
            now += number(arg, 86'400'000) * 1000;
            // Only a slice that runs out of statements is charged, so that
            // many short steps still reach the programs.
            while (!m.advanceTo(now, slices > 0 ? 32 : 0))
                if (--slices <= 0) {
                    m.fallBehind(now);
                    break;
                }
            FUZZ_CHECK(m.now() == now);
        } else if (op == '#') {
            m.setInputs(static_cast<unsigned>(number(arg, 0xFF)));
        } else if (op == '%') {
            m.setAnalog(static_cast<int>(number(arg, Model::kAnalogMax)));
        } else if (op == '!') {
            m.powerUp(now);
            // What STORE wrote must load again whole.
            FUZZ_CHECK(m.flashState() != FlashState::Corrupt);
        } else if (op == '~') {
            Frame f{};
            std::memcpy(f.data(), arg.data(), std::min(arg.size(), kFrame));
            const Frame reply = m.handleFrame(f);
            FUZZ_CHECK(reply[0] != 0);
        } else if (op == '$') {
            checkReply(m.handle(zenta::lang::transfer::endCommand(zenta::lang::programChecksum(sent))));
        } else {
            const std::string_view command = line.substr(0, kFrame);
            const std::string reply = m.handle(command);
            checkReply(reply);
            if (command.starts_with(zenta::lang::transfer::kBegin))
                sent.clear();
            else if (command.starts_with(zenta::lang::transfer::kLine) && reply == "OK")
                sent.emplace_back(command.substr(command.find('=') + 1));
        }
        // Every poll reads these; they must stay inside the stored program.
        checkReply(m.handle("SPC0"));
        checkReply(m.handle("SPC1"));
        const std::string px = m.handle("PX");
        long long pos = 0;
        const auto [end, ec] = std::from_chars(px.data(), px.data() + px.size(), pos);
        FUZZ_CHECK(ec == std::errc() && end == px.data() + px.size());
        FUZZ_CHECK(pos >= INT32_MIN && pos <= INT32_MAX);
    }
    return 0;
}

// Variables, the raw exchange and the flash store.
#include "Commands.h"
#include "Exit.h"
#include "Text.h"

#include <algorithm>

namespace zentactl {

using json = nlohmann::ordered_json;

void variables(Context &c, const std::vector<VariableStep> &steps)
{
    json read = json::object();
    json set = json::object();
    std::string text;
    // Reads alone may go through the door of another zentactl that holds the device.
    if (std::none_of(steps.begin(), steps.end(), [](const VariableStep &s) { return s.value.has_value(); }))
        c.allowThroughDoor();
    for (const VariableStep &s : steps) {
        const std::string name = "V" + std::to_string(s.number);
        if (s.value) {
            c.device().set(name + "=" + std::to_string(*s.value));
            set["v" + std::to_string(s.number)] = *s.value;
            continue;
        }
        const int32_t value = readNumber(c, name.c_str());
        read["v" + std::to_string(s.number)] = value;
        text += (text.empty() ? "" : "\n") + name + "=" + std::to_string(value);
    }
    if (!read.empty())
        c.out.carriesData();
    if (c.out.json())
        c.out.object({{"device", c.name()}, {"read", read}, {"set", set}});
    else if (!text.empty())
        c.out.line(text);
}

void sendRaw(Context &c, const std::string &command)
{
    const std::string reply = c.device().ask(command);
    const json result{{"device", c.name()}, {"command", utf8(command)}, {"reply", utf8(reply)}};
    // An error reply ("?RANGE", "?UNKNOWN", "?EMPTY") is a failure: printed,
    // then status 2; with --json one object holds the reply and the error.
    const bool refused = !reply.empty() && reply[0] == '?';
    c.out.carriesData();
    if (!c.out.json())
        c.out.line(utf8(reply));
    else if (!refused)
        c.out.object(result);
    if (refused)
        throw Stop{Failed, c.name() + " refused \"" + utf8(command) + "\": " + utf8(reply), false, result};
}

void store(Context &c)
{
    // As the panel's "Store": the reply must be exactly "OK".
    const std::string reply = c.device().ask("STORE");
    if (reply != "OK")
        stop(Failed, c.name() + ": Error setting flash! (\"STORE\" answered \"" + utf8(reply) + "\")");
    c.out.result(c.name() + ": Store to Flash done!", {{"device", c.name()}, {"stored", true}});
}

}  // namespace zentactl

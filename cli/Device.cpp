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
    c.out.carriesData();
    c.out.result(utf8(reply), {{"device", c.name()}, {"command", utf8(command)}, {"reply", utf8(reply)}});
}

void store(Context &c)
{
    // As the panel's "Store": the reply must be exactly "OK".
    const std::string reply = c.device().ask("STORE");
    if (reply != "OK")
        stop(Failed, "Error setting flash! (" + c.name() + " answers \"STORE\" with \"" + utf8(reply) + "\")");
    c.out.result("Store to Flash done!", {{"device", c.name()}, {"stored", true}});
}

}  // namespace zentactl

#include "Output.h"

#include "Exit.h"
#include "Signals.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace zentactl {

void Output::result(const std::string &text, const nlohmann::ordered_json &o)
{
    if (json_)
        object(o);
    else
        line(text);
}

void Output::line(const std::string &text)
{
    if (!json_)
        write(text + "\n");
}

void Output::object(const nlohmann::ordered_json &o)
{
    // Device texts are made UTF-8 on their way in; a file name that is not
    // UTF-8 shows with a replacement character rather than ending the program.
    if (json_)
        write(o.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
}

void Output::bytes(const std::string &data)
{
    write(data);
}

void Output::failure(const std::string &device, int status, const std::string &message,
                     const nlohmann::ordered_json &result)
{
    if (!json_)
        return;
    nlohmann::ordered_json o = nlohmann::ordered_json::object();
    o["device"] = device.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(device);
    for (const auto &[key, value] : result.items())
        if (key != "device" && key != "error")
            o[key] = value;
    o["error"] = {{"exit", status}, {"message", message}};
    try {
        object(o);
    } catch (const Stop &) {
        // The exit status and standard error still say it.
    }
}

// Unbuffered, so that each reading of a watch is out as soon as it is read.
// A reader that takes nothing keeps it waiting only until a signal.
void Output::write(const std::string &data)
{
    int error = 0;
    if (writeStandardOutput(data, error))
        return;
    if (error == EPIPE && carriesData_)
        stop(Failed, "standard output was closed before the whole result was written");
    if (error == EPIPE)
        stop(Success, {});
    stop(Failed, std::string("cannot write standard output: ") + std::strerror(error));
}

}  // namespace zentactl

#include "Link.h"

#include "Exit.h"
#include "Signals.h"
#include "Text.h"
#include "ToolFiles.h"
#include "zenta/lang/transfer.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

namespace zentactl {

namespace dev = zenta::device;
using Clock = std::chrono::steady_clock;

namespace {

std::string upper(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return s;
}

// "CFG" and the two digits after it, wherever the product string holds them;
// else the whole product string.
std::string nameIn(const std::string &product)
{
    const std::string u = upper(product);
    for (std::size_t at = u.find("CFG"); at != std::string::npos; at = u.find("CFG", at + 1))
        if (zenta::lang::isDeviceName(std::string_view(u).substr(at, 5)))
            return u.substr(at, 5);
    return product;
}

std::string described(const std::vector<Listed> &devices)
{
    std::string s;
    for (const Listed &d : devices)
        s += (s.empty() ? "" : ", ") + utf8(d.name) + " (#" + std::to_string(d.index) + ")";
    return s;
}

}  // namespace

Link::Link()
{
    const std::string path = zenta::tools::ownFolder() + "/libTollanCom.so";
    if (const std::string why = lib_.load(path); !why.empty())
        stop(NoSuchDevice, "the device library cannot be loaded: " + why);
}

std::vector<Listed> Link::list()
{
    int32_t count = 0;
    // The library says on standard error why it lists nothing, if it knows.
    if (lib_.getNumDevices(&count) != 1)
        stop(NoSuchDevice, "the device library lists no devices");
    std::vector<Listed> devices;
    for (int32_t i = 0; i < count; ++i) {
        char buffer[TOLLANCOM_PRODUCT_BUFFER] = {};
        lib_.getProductString(i, buffer, 0);
        const std::string product(buffer, ::strnlen(buffer, sizeof buffer - 1));
        if (upper(product).find("CFG") != std::string::npos)
            devices.push_back({i, nameIn(product), product});
    }
    return devices;
}

void Link::open(const std::string &argument, double retrySeconds)
{
    // Product strings are Latin-1; a name that has none cannot be one of them.
    const std::string choice = latin1Argument(argument, nullptr).value_or(std::string());
    const std::vector<Listed> devices = list();
    std::vector<Listed> matches;
    if (argument.empty()) {
        if (devices.empty())
            stop(NoSuchDevice, "no device is listed");
        if (devices.size() > 1)
            stop(NoDeviceChosen, "several devices are listed, choose one with -d: " + described(devices));
        matches = devices;
    } else if (!choice.empty() && choice[0] == '#') {
        const auto n = strictInt32(std::string_view(choice).substr(1));
        for (const Listed &d : devices)
            if (n && d.index == *n)
                matches.push_back(d);
    } else {
        for (const Listed &d : devices)
            if (sameWord(d.name, choice) || d.product == choice)
                matches.push_back(d);
    }
    if (matches.empty())
        stop(NoSuchDevice, "no device " + argument + " is listed" +
                               (devices.empty() ? std::string() : "; listed: " + described(devices)));
    if (matches.size() > 1)
        stop(NoDeviceChosen, argument + " names " + std::to_string(matches.size()) +
                                 " devices, choose one by its index: " + described(matches));
    chosen_ = matches.front();

    lib_.setTimeouts(kExchangeTimeoutMs, kExchangeTimeoutMs);
    const auto started = Clock::now();
    const auto retry = std::chrono::milliseconds(static_cast<long long>(retrySeconds * 1000));
    const auto handle = dev::openWithRetry(lib_, chosen_.index, retry, std::chrono::milliseconds(50),
                                           [] { return caughtSignal() != 0; });
    if (caughtSignal())
        stop(128 + caughtSignal(), {});
    if (!handle) {
        const std::string name = utf8(chosen_.name);
        // A device that went away is no longer listed; one that is listed
        // and did not take us was held by another program, unless it let
        // the grant time out: then it does not answer at all.
        const std::vector<Listed> now = list();
        const bool listed = std::any_of(now.begin(), now.end(), [&](const Listed &d) {
            return d.product == chosen_.product;
        });
        if (!listed)
            stop(NoSuchDevice, "device " + name + " went away");
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        if (retry.count() == 0 && waited.count() >= kExchangeTimeoutMs)
            stop(NoAnswer, "device " + name + " does not answer");
        stop(InUse, "device " + name + " is in use by another program (the panel or a loader)" +
                        (retry.count() ? "; it stayed busy for the " + secondsText(retrySeconds) + " s of --retry"
                                       : "; --retry S waits for it up to S seconds"));
    }
    open_ = std::make_unique<dev::Device>(lib_, *handle);
}

void Link::noAnswer(const std::string &command, const dev::Reply &reply) const
{
    stop(NoAnswer, reply.outcome == dev::Outcome::Lost
                       ? "the link to " + utf8(chosen_.name) + " was lost (at \"" + utf8(command) + "\")"
                       : utf8(chosen_.name) + " stopped answering (no reply to \"" + utf8(command) + "\")");
}

std::string Link::ask(const std::string &command)
{
    // Commands are checked where they are made; this only keeps a cut one off the wire.
    if (command.size() > TOLLANCOM_FRAME)
        stop(BadArguments, "\"" + utf8(command) + "\" is longer than the 64 characters of a frame");
    const dev::Reply reply = open_->exchange(command);
    if (!reply.answered())
        noAnswer(command, reply);
    return reply.text;
}

void Link::set(const std::string &command)
{
    const std::string reply = ask(command);
    if (reply != "OK")
        stop(Failed, utf8(chosen_.name) + " refused \"" + utf8(command) + "\": " +
                         (reply.empty() ? std::string("(empty reply)") : utf8(reply)));
}

}  // namespace zentactl

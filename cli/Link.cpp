#include "Link.h"

#include "DeviceName.h"
#include "Exit.h"
#include "Signals.h"
#include "Text.h"
#include "ToolFiles.h"
#include "zenta/lang/transfer.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <time.h>

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

std::string described(const std::vector<Listed> &devices)
{
    // Identical units share a name: their serials tell them apart, as they
    // do a device whose name could not be asked.
    const auto shared = [&](const Listed &d) {
        return std::count_if(devices.begin(), devices.end(), [&](const Listed &e) { return e.name == d.name; }) > 1;
    };
    std::string s;
    for (const Listed &d : devices)
        s += (s.empty() ? "" : ", ") + utf8(d.name) + " (#" + std::to_string(d.index) +
             (shared(d) || !d.unnamed.empty() ? ", serial " + utf8(d.serial) : std::string()) +
             (d.unnamed.empty() ? std::string() : ": " + d.unnamed) + ")";
    return s;
}

std::string productString(dev::Library &lib, int32_t index, int32_t selector)
{
    char buffer[TOLLANCOM_PRODUCT_BUFFER] = {};
    if (lib.getProductString(index, buffer, selector) != 1)
        return {};
    return std::string(buffer, ::strnlen(buffer, sizeof buffer - 1));
}

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// A wait that no signal cuts short: the STOP of a failed link is tried for
// its whole time.
void nap(int ms)
{
    const timespec t{0, static_cast<long>(ms) * 1000000L};
    ::nanosleep(&t, nullptr);
}

// An open that failed after the whole grant time found a device that takes
// no connection (stopped, hung); one turned away at once, a busy one.
constexpr auto kSilentOpen = std::chrono::milliseconds(kExchangeTimeoutMs - 250);
// How long another program's listing may hold a device to ask its name.
constexpr auto kNameAskGrace = std::chrono::milliseconds(kExchangeTimeoutMs + 500);

}  // namespace

Link::Link()
{
    const std::string path = zenta::tools::ownFolder() + "/libTollanCom.so";
    if (const std::string why = lib_.load(path); !why.empty())
        stop(NoSuchDevice, "the device library cannot be loaded: " + why);
}

Link::~Link()
{
    // The door first, so that nobody comes to it while the device is let go.
    if (door_ && service() == door_.get())
        setService(nullptr);
    door_.reset();
    remote_.reset();
    open_.reset();
}

std::vector<Listed> Link::list(const std::optional<std::string> &serial)
{
    int32_t count = 0;
    // The library says on standard error why it lists nothing, if it knows.
    if (lib_.getNumDevices(&count) != 1)
        stop(NoSuchDevice, "the device library lists no devices");
    std::vector<Listed> devices;
    std::vector<std::string> serials;
    for (int32_t i = 0; i < count; ++i)
        serials.push_back(productString(lib_, i, 1));
    // A device asked its name answers within an exchange's time, or not at all.
    lib_.setTimeouts(kExchangeTimeoutMs, kExchangeTimeoutMs);
    for (int32_t i = 0; i < count; ++i) {
        const std::string product = productString(lib_, i, 0);
        if (upper(product).find("CFG") == std::string::npos)
            continue;
        // Naming a device may open it: a device of a line names only its
        // own, never holding another while that one's zentactl opens it.
        const std::string &own = serials[static_cast<std::size_t>(i)];
        if (serial && own != *serial)
            continue;
        // A product string that names no device has the device asked "DN";
        // one that cannot be asked keeps its product string for a name.
        dev::DeviceName name = dev::nameOfListed(lib_, i, product);
        // Held by another zentactl, it is asked through that one's door, so
        // that it can be stopped by its name; not when its serial, which
        // names the door, is another device's too.
        if (name.from == dev::DeviceName::From::Busy && std::count(serials.begin(), serials.end(), own) == 1)
            if (const auto door = DoorClient::connect(doorPath(own))) {
                const dev::DeviceName answered = dev::nameOf(product, [&door](std::string_view command) {
                    const DoorClient::Result r = door->exchange(std::string(command));
                    return r.answer == Door::Answered ? dev::Reply{dev::Outcome::Answered, r.text}
                                                      : dev::Reply{dev::Outcome::Silent, {}};
                });
                if (answered.known())
                    name = answered;
            }
        devices.push_back({i, name.known() ? name.name : product, product, own, name.why()});
    }
    return devices;
}

int32_t Link::indexOf(const std::string &serial, int *carriers)
{
    int32_t count = 0, index = -1;
    int found = 0;
    if (!serial.empty() && lib_.getNumDevices(&count) == 1)
        for (int32_t i = 0; i < count; ++i)
            if (productString(lib_, i, 1) == serial && found++ == 0)
                index = i;
    if (carriers)
        *carriers = found;
    // A serial that several devices carry finds none of them for sure.
    return found == 1 ? index : -1;
}

std::string Link::holder()
{
    const int32_t index = indexOf(chosen_.serial);
    return index < 0 ? std::string() : utf8(productString(lib_, index, 2));
}

Listed Link::choose(const std::string &argument, bool bySerial)
{
    if (!bySerial)
        return choose(argument, list());
    // A device of a line, fixed by its serial as the library gave it: never
    // taken for another's name.
    const std::vector<Listed> devices = list(argument);
    if (devices.empty())
        stop(NoSuchDevice, "no device with serial " + utf8(argument) + " is listed");
    if (devices.size() > 1)
        stop(NoDeviceChosen, "serial " + utf8(argument) + " is shared by " + std::to_string(devices.size()) +
                                 " devices: " + described(devices) +
                                 "; a line finds its devices by serial, so choose one of these alone, by its index");
    return devices.front();
}

Listed Link::choose(const std::string &argument, const std::vector<Listed> &devices)
{
    // Product strings are Latin-1; a name that has none cannot be one of them.
    const std::string choice = latin1Argument(argument, nullptr).value_or(std::string());
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
        // A name in any case, or a product string or a serial exactly.
        for (const Listed &d : devices)
            if (sameWord(d.name, choice) || d.product == choice || (!choice.empty() && d.serial == choice))
                matches.push_back(d);
    }
    if (matches.empty())
        stop(NoSuchDevice, "no device " + argument + " is listed" +
                               (devices.empty() ? std::string() : "; listed: " + described(devices)));
    if (matches.size() > 1)
        stop(NoDeviceChosen, argument + " names " + std::to_string(matches.size()) +
                                 " devices, choose one by its index: " + described(matches));
    return matches.front();
}

void Link::open(const std::string &argument, double retrySeconds, bool throughDoor, bool bySerial)
{
    chosen_ = choose(argument, bySerial);
    const std::string name = utf8(chosen_.name);

    lib_.setTimeouts(kExchangeTimeoutMs, kExchangeTimeoutMs);
    const auto retry = std::chrono::milliseconds(static_cast<long long>(retrySeconds * 1000));
    // A device whose product string names none is opened for a moment by
    // whoever lists it, to ask its name: busy for that long is not in use.
    const bool askedByListings = !zenta::lang::deviceNameIn(chosen_.product);
    const auto deadline = Clock::now() + (askedByListings ? std::max(retry, kNameAskGrace) : retry);
    const auto pause = std::chrono::milliseconds(50);
    // From here the device is its serial: every attempt finds its index anew.
    int32_t index = chosen_.index;
    bool silent = false;
    for (bool first = true;; first = false) {
        int carriers = 1;
        if (!first)
            index = indexOf(chosen_.serial, &carriers);
        if (index >= 0) {
            const auto tried = Clock::now();
            int32_t handle = 0;
            if (lib_.open(index, &handle) != 0) {
                hold(handle);
                return;
            }
            silent = Clock::now() - tried >= kSilentOpen;
            if (!silent && throughDoor) {
                if (first)
                    indexOf(chosen_.serial, &carriers);
                // The door of a serial that several devices carry may be another's.
                if (carriers == 1)
                    remote_ = DoorClient::connect(doorPath(chosen_.serial));
                if (remote_)
                    return;
            }
        }
        if (caughtSignal())
            stop(128 + caughtSignal(), {});
        if (Clock::now() + pause > deadline)
            break;
        pauseFor(pause);
    }
    if (caughtSignal())
        stop(128 + caughtSignal(), {});
    // A device that went away is no longer listed; one that is listed and
    // did not take us was held by another program, unless it let the grant
    // time out: then it does not answer at all.
    int carriers = 0;
    indexOf(chosen_.serial, &carriers);
    if (carriers == 0)
        stop(NoSuchDevice, "device " + name + " went away");
    if (silent)
        stop(NoAnswer, "device " + name + " does not answer (it took no connection within " +
                           secondsText(kExchangeTimeoutMs / 1000.0) + " s)");
    const std::string by = holder();
    if (carriers > 1)
        stop(InUse, "device " + name + " is in use by " + (by.empty() ? "another program" : by) + "; its serial " +
                        utf8(chosen_.serial) + " is shared by " + std::to_string(carriers) +
                        " devices, so it is not looked for again by it, nor reached through a door");
    stop(InUse, "device " + name + " is in use by " + (by.empty() ? "another program (the panel or a loader)" : by) +
                    (retry.count() ? "; it stayed busy for the " + secondsText(retrySeconds) + " s of --retry"
                                   : "; --retry S waits for it up to S seconds"));
}

void Link::hold(int32_t handle)
{
    open_ = std::make_unique<dev::Device>(lib_, handle);
    if (door_)
        return;
    door_ = std::make_unique<DoorServer>(doorPath(chosen_.serial), [this](const std::string &command) {
        return open_ ? open_->exchange(command) : dev::Reply{dev::Outcome::Lost, {}};
    });
    setService(door_.get());
}

bool Link::openDirect(std::chrono::milliseconds within)
{
    const auto deadline = Clock::now() + within;
    for (;;) {
        const int32_t index = indexOf(chosen_.serial);
        int32_t handle = 0;
        if (index >= 0 && lib_.open(index, &handle) != 0) {
            hold(handle);
            return true;
        }
        if (caughtSignal())
            stop(signalStatus(), {});
        if (Clock::now() >= deadline)
            return false;
        pauseFor(std::chrono::milliseconds(50));
    }
}

dev::Device &Link::raw()
{
    if (!open_)
        stop(InUse, "device " + utf8(chosen_.name) + " is in use by " + holder());
    return *open_;
}

dev::Reply Link::exchange(const std::string &command)
{
    if (remote_) {
        const DoorClient::Result r = remote_->exchange(command);
        switch (r.answer) {
        case Door::Answered: return {dev::Outcome::Answered, r.text};
        case Door::Silent: return {dev::Outcome::Silent, {}};
        case Door::Refused: {
            const std::string by = holder();
            stop(InUse, "device " + utf8(chosen_.name) + " is in use by " + (by.empty() ? "another zentactl" : by) +
                            ", which passes on only stop, status and variable reads");
        }
        case Door::Lost: break;
        }
        if (r.timedOut) {
            const std::string by = holder();
            stop(NoAnswer, "device " + utf8(chosen_.name) + " is held by " + (by.empty() ? "another zentactl" : by) +
                               ", which did not pass \"" + utf8(command) + "\" on within " +
                               secondsText(kDoorAnswerMs / 1000.0) + " s");
        }
        // The holder went, or its link did: the device itself, if it can be had.
        remote_.reset();
        if (!openDirect(std::chrono::milliseconds(kExchangeTimeoutMs)))
            return {dev::Outcome::Lost, {}};
    }
    // Whoever waits at our door goes first, between our exchanges.
    if (door_)
        door_->serve();
    return open_->exchange(command);
}

[[noreturn]] void Link::noAnswer(const std::string &command, const dev::Reply &reply)
{
    std::string what = reply.outcome == dev::Outcome::Lost
                           ? "the link to " + utf8(chosen_.name) + " was lost (at \"" + utf8(command) + "\")"
                           : utf8(chosen_.name) + " stopped answering (no reply to \"" + utf8(command) + "\")";
    if (moving_) {
        moving_ = false;
        what += rescueStop();
    }
    stop(NoAnswer, what);
}

std::string Link::rescueStop()
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRescueMs);
    const std::string within = secondsText(kRescueMs / 1000.0);
    // The old connection cannot be trusted: STOP goes over a new one.
    open_.reset();
    remote_.reset();
    for (;;) {
        int left = msLeft(deadline);
        if (left <= 0)
            break;
        const int32_t index = indexOf(chosen_.serial);
        if (index >= 0) {
            lib_.setTimeouts(std::max(left, 50), std::max(left, 50));
            const auto tried = Clock::now();
            int32_t handle = 0;
            if (lib_.open(index, &handle) != 0) {
                open_ = std::make_unique<dev::Device>(lib_, handle);
                left = std::max(msLeft(deadline), 200);
                lib_.setTimeouts(left, left);
                const dev::Reply r = open_->exchange("STOP");
                if (!r.answered())
                    return "; reached it again, but STOP was not answered: the axis may still be moving";
                if (r.text != "OK")
                    return "; reached it again and sent STOP, which it refused (\"" + utf8(r.text) +
                           "\"): the axis may still be moving";
                return "; reached it again and sent STOP, which it took";
            }
            // Taken meanwhile by another zentactl: its door passes STOP.
            if (Clock::now() - tried < kSilentOpen)
                if (auto door = DoorClient::connect(doorPath(chosen_.serial))) {
                    const DoorClient::Result r = door->exchange("STOP", std::max(msLeft(deadline), 200), false);
                    if (r.answer == Door::Answered && r.text == "OK")
                        return "; reached it again through the zentactl that holds it now and sent STOP, which it "
                               "took";
                }
        }
        nap(std::min(50, std::max(msLeft(deadline), 1)));
    }
    return "; STOP could not be sent again within " + within + " s: the axis may still be moving";
}

void Link::stopIfMoving()
{
    if (!moving_)
        return;
    moving_ = false;
    if (open_)
        open_->exchange("STOP");
}

std::string Link::ask(const std::string &command)
{
    // Commands are checked where they are made; this only keeps a cut one off the wire.
    if (command.size() > TOLLANCOM_FRAME)
        stop(BadArguments, "\"" + utf8(command) + "\" is longer than the 64 characters of a frame");
    const dev::Reply reply = exchange(command);
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

// Any bytes as what a USB driver and sysfs may give the device library's
// hidraw backend: the attributes of a USB device in a sysfs tree, a value of
// TOLLANCOM_HID_IDS, and the input reports that come before and after a
// frame goes out. Listing and exchanging end with a clear result that
// follows the rules, never a crash or a wait.
//
// Input: a sequence of pieces, each a length byte and that many bytes:
//   product, serial, idVendor, idProduct, the IDs value, then one byte that
//   says how many of the remaining pieces come before the frame, then the
//   reports (up to 8; a length byte of 255 stands for a report of 300 bytes).
#include "check.hpp"

#include "HidBackend.h"
#include "HidParse.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Reader {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t at = 0;
    bool more() const { return at < size; }
    std::string piece()
    {
        if (at >= size)
            return {};
        std::size_t len = data[at++];
        const bool big = len == 255;
        std::string out;
        const std::size_t take = std::min(big ? std::size_t(300) : len, size - at);
        out.assign(reinterpret_cast<const char *>(data + at), take);
        at += take;
        if (big)
            out.resize(300, 'R');
        return out;
    }
};

// A sysfs tree of one USB device with one hidraw node, made once and
// rewritten per input; gone when the process ends.
const std::string &tree()
{
    // Never destroyed, so that the clean-up at exit still finds its name.
    static const std::string *root = [] {
        char tmpl[] = "/tmp/fuzz-hid-XXXXXX";
        const std::string r = ::mkdtemp(tmpl);
        for (const char *d : {"/class", "/class/hidraw", "/class/hidraw/hidraw0", "/devices", "/devices/usb1",
                              "/devices/usb1/1-1", "/devices/usb1/1-1/1-1:1.0", "/devices/usb1/1-1/1-1:1.0/0003:1:2.1"})
            ::mkdir((r + d).c_str(), 0700);
        (void)!::symlink("../../../devices/usb1/1-1/1-1:1.0/0003:1:2.1", (r + "/class/hidraw/hidraw0/device").c_str());
        std::atexit([] { std::filesystem::remove_all(tree()); });
        return new std::string(r);
    }();
    return *root;
}

void put(const std::string &path, const std::string &bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

void checkListing(const std::string &product, const std::string &serial, const std::string &vendor,
                  const std::string &productId, const std::string &idsValue)
{
    const std::string usb = tree() + "/devices/usb1/1-1";
    put(usb + "/product", product);
    put(usb + "/serial", serial);
    put(usb + "/idVendor", vendor);
    put(usb + "/idProduct", productId);
    std::vector<std::string> bad;
    const std::vector<std::string> ids = tollancom::hid::parseIds(idsValue, bad);
    for (const std::string &id : ids) {
        FUZZ_CHECK(id.size() == 9 && id[4] == ':');
        FUZZ_CHECK(id == tollancom::hid::lower(id));
    }
    const auto found = tollancom::hid::listDrivers(tree(), ids);
    const std::string line = tollancom::firstLine(product);
    FUZZ_CHECK(line.size() <= tollancom::kTextCap);
    FUZZ_CHECK(line.find_first_of(std::string("\n\r\0", 3)) == std::string::npos);
    const bool wanted = tollancom::hid::isDriver(line, tollancom::hid::usbId(vendor, productId), ids);
    FUZZ_CHECK(found.size() == (wanted ? 1u : 0u));
    if (wanted) {
        FUZZ_CHECK(found[0].node == "hidraw0");
        FUZZ_CHECK(found[0].product == line);
        const std::string s = tollancom::firstLine(serial);
        FUZZ_CHECK(found[0].serial == (s.empty() ? std::string("hidraw0") : s));
    }
}

void checkExchange(const std::vector<std::string> &before, const std::vector<std::string> &after)
{
    int pair[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0);
    for (const std::string &r : before)
        (void)::send(pair[1], r.data(), r.size(), MSG_NOSIGNAL);
    // The driver: takes the frame, sends the reports, then goes away, so
    // that every read ends at once.
    std::string frameSeen;
    std::thread driver([&] {
        char buf[128];
        const ssize_t n = ::recv(pair[1], buf, sizeof buf, 0);
        if (n > 0)
            frameSeen.assign(buf, static_cast<std::size_t>(n));
        for (const std::string &r : after)
            (void)::send(pair[1], r.data(), r.size(), MSG_NOSIGNAL);
        ::shutdown(pair[1], SHUT_RDWR);
    });
    auto link = tollancom::hid::linkOver(pair[0], true, tree() + "/class");
    unsigned char frame[64], reply[64];
    std::memset(frame, 'F', sizeof frame);
    std::memset(reply, 0, sizeof reply);
    // Bounds only: the driver's going away ends the wait first.
    const int status = link->exchange(frame, reply, tollancom::Timeouts{5000, 5000});
    driver.join();
    ::close(pair[1]);
    FUZZ_CHECK(frameSeen.size() == 65 && frameSeen[0] == 0 && frameSeen.compare(1, 64, std::string(64, 'F')) == 0);
    const std::string *answer = nullptr;
    for (const std::string &r : after)
        if (r.size() == 64 && !answer)
            answer = &r;
    if (answer) {
        FUZZ_CHECK(status == 1);
        FUZZ_CHECK(std::memcmp(reply, answer->data(), 64) == 0);
    } else {
        FUZZ_CHECK(status == -2);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Reader in{data, size};
    const std::string product = in.piece(), serial = in.piece(), vendor = in.piece(), productId = in.piece(),
                      ids = in.piece();
    checkListing(product, serial, vendor, productId, ids);
    const std::size_t early = in.more() ? data[in.at++] % 4 : 0;
    std::vector<std::string> before, after;
    for (int i = 0; i < 8 && in.more(); ++i) {
        std::string r = in.piece();
        if (r.empty())
            continue;  // a message of no bytes is no report
        (before.size() < early ? before : after).push_back(std::move(r));
    }
    checkExchange(before, after);
    return 0;
}

// A hostile loader on 2047:0200: every report the connection writes is
// answered with the next piece of the input (or not at all), on the virtual
// clock. Each of the connection's calls must return one of its results, never
// read past a reply, and never report success for what the replies did not
// say: a version only from a data reply of four bytes or more, an unlock only
// from a message reply of 0, a CRC only from a data reply of two bytes or more.
//
// Input: byte 0 picks the calls made; then pieces, each a length byte (0: no
// reply to that write; above 64: the reply is cut to 64) and its bytes.
#include "loader/connection.h"
#include "loader/loader_protocol.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/scripted_device.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

namespace P = vardo::loader::protocol;
using vardo::loader::Result;

// The replies the input holds, handed out write by write.
struct Replies {
    std::mutex mutex;
    std::vector<vardo::sim::Report> pieces;
    std::size_t next = 0;
    vardo::sim::Report last;   // the last reply handed out

    vardo::sim::Report take()
    {
        std::lock_guard lock(mutex);
        last = next < pieces.size() ? pieces[next++] : vardo::sim::Report{};
        return last;
    }
    vardo::sim::Report lastGiven()
    {
        std::lock_guard lock(mutex);
        return last;
    }
};

bool isResult(Result r) { return static_cast<unsigned>(r) <= static_cast<unsigned>(Result::CannotOpenFile); }

void check(Result r)
{
    if (!isResult(r) || std::string(vardo::loader::resultText(r)).empty())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static vardo::platform::VirtualClock clock;
    static vardo::platform::ScopedClock inForce{clock};
    if (size < 1)
        return 0;
    const std::uint8_t calls = data[0];
    auto replies = std::make_shared<Replies>();
    for (std::size_t at = 1; at < size;) {
        const std::size_t length = data[at++];
        const std::size_t n = std::min({length, std::size_t{64}, size - at});
        replies->pieces.emplace_back(data + at, data + at + n);
        at += n;
    }

    auto& bus = vardo::sim::Bus::instance();
    bus.reset();
    vardo::sim::DeviceInfo info;
    info.path = "sim:9-1:bsl";
    info.port = "9-1";
    info.vendorId = P::kVendorId;
    info.productId = P::kProductId;
    info.interfaceNumber = 0;
    auto device = vardo::sim::ScriptedDevice::create(info);
    device->answerEveryWrite([replies](const vardo::sim::Report&) { return replies->take(); }, 1);
    device->attach();

    {
        vardo::loader::Connection connection;
        vardo::loader::Address address;
        address.port = "9-1";
        const Result opened = connection.open(address);
        check(opened);
        if (opened != Result::Ok)
            std::abort();

        std::array<std::uint8_t, P::kPasswordSize> password{};
        password.fill(0xFF);
        const Result unlocked = connection.unlock(password);
        check(unlocked);
        if (unlocked == Result::Ok) {
            const auto r = replies->lastGiven();
            if (r.size() < 5 || r[2] != P::kMessage || r[4] != 0)
                std::abort();
        }
        if (calls & 1) {
            vardo::loader::Version v;
            const Result read = connection.version(v);
            check(read);
            if (read == Result::Ok) {
                const auto r = replies->lastGiven();
                if (r.size() < 7 || r[2] != P::kData)
                    std::abort();
            }
        }
        if (calls & 2) {
            std::uint16_t crc = 0;
            const Result r = connection.crc(0x4400, 1 + (calls >> 4) * 512u, crc);
            check(r);
            if (r == Result::Ok && replies->lastGiven().size() < 5)
                std::abort();
        }
        if (calls & 4)
            check(connection.eraseSegment(0xFFFE));
        if (calls & 8)
            check(connection.sendImage("@4400\n01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10\n@FFFE\n00 44\nq\n"));
        check(connection.loadPc(0x2504));
        std::uint8_t last[vardo::loader::Connection::kReplySize];
        connection.lastReply(last);
        connection.close();
        // A closed connection sends nothing and says so.
        std::uint16_t crc = 0;
        if (connection.crc(0x4400, 2, crc) != Result::NotOpen)
            std::abort();
    }
    device->detach();
    bus.reset();
    return 0;
}

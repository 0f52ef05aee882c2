// Plays arbitrary input reports to one exchange of the encoder link. The
// exchange must give 0, -1, -6, -8 or -13, agree with an independent reading
// of the reply frame rules (a valid frame naming another command is passed
// over), write the exact command frame, and copy no more than 62 reply bytes
// (the buffer is exactly that big, so ASan sees overruns).
//
// Input: byte 0 picks send-and-receive or receive only, a failing read, and
// the payload length; byte 1 is the command code; then the payload; the rest
// is cut into input reports of 64 bytes (the last one may be shorter).
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/scripted_device.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t kReport = 64;
constexpr std::size_t kReplyBytes = 62;
constexpr std::int32_t kTimeoutMs = 30;

int hexDigit(std::uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

struct Expected {
    std::int32_t result = -6;
    std::vector<std::uint8_t> data;
};

bool isHex(std::uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The command a frame names in bytes 3-4 (either case), -1 when they are not hex digits.
int namedCommand(const std::array<std::uint8_t, kReport>& b)
{
    if (!isHex(b[3]) || !isHex(b[4]))
        return -1;
    auto v = [](std::uint8_t c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    return v(b[3]) * 16 + v(b[4]);
}

// The reply rules read straight from the protocol, one report after another.
// command: the command sent, or -1 for a receive-only wait that takes any reply.
Expected expectedOutcome(const std::vector<vardo::sim::Report>& reports, int command)
{
    for (const auto& r : reports) {
        if (r.empty())
            continue;  // an empty read is no report
        std::array<std::uint8_t, kReport> b{};
        std::copy_n(r.begin(), std::min(r.size(), kReport), b.begin());
        if (b[2] == 0x06)
            continue;
        if (b[2] == 0x0F)
            return {-13, {}};
        if (b[1] > 0x40)
            return {-8, {}};
        if (b[2] != 0x02)
            return {-13, {}};
        const int n = hexDigit(b[5]) * 16 + hexDigit(b[6]);
        if (n < 1 || 8 + n >= static_cast<int>(kReport))
            return {-13, {}};
        if (b[7] != 0 || b[7 + n] != 0x03)
            return {-13, {}};
        std::uint8_t sum = 0;
        for (int i = 2; i <= 7 + n; ++i)
            sum ^= b[i];
        if (b[8 + n] != sum)
            return {-13, {}};
        // A valid frame naming another command is someone else's late reply.
        if (command >= 0 && namedCommand(b) >= 0 && namedCommand(b) != command)
            continue;
        return {0, std::vector<std::uint8_t>(b.begin() + 8, b.begin() + 7 + n)};
    }
    return {-6, {}};
}

vardo::sim::Report expectedFrame(std::uint8_t code, const std::uint8_t* payload, std::size_t length)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    vardo::sim::Report f(kReport, 0);
    f[0] = 0x3F;
    f[1] = 0x40;
    f[2] = 0x02;
    f[3] = static_cast<std::uint8_t>(hex[code >> 4]);
    f[4] = static_cast<std::uint8_t>(hex[code & 15]);
    f[5] = static_cast<std::uint8_t>(hex[length >> 4]);
    f[6] = static_cast<std::uint8_t>(hex[length & 15]);
    std::copy_n(payload, length, f.begin() + 7);
    f[7 + length] = 0x03;
    std::uint8_t sum = 0;
    for (std::size_t i = 2; i <= 7 + length; ++i)
        sum ^= f[i];
    f[8 + length] = sum;
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static vardo::platform::VirtualClock clock;
    static const bool installed = (vardo::platform::setClock(&clock), true);
    (void)installed;
    if (size < 2)
        return 0;

    const bool receiveOnly = data[0] & 0x80;
    const bool readFails = (data[0] & 0x40) && (data[0] & 0x01);
    const std::size_t payloadLength = std::min<std::size_t>(data[0] & 0x3F, 55);
    const std::uint8_t code = data[1];
    data += 2;
    size -= 2;
    const std::size_t taken = std::min(payloadLength, size);
    std::vector<std::uint8_t> payload(data, data + taken);
    data += taken;
    size -= taken;

    std::vector<vardo::sim::Report> reports;
    for (std::size_t at = 0; at < size; at += kReport)
        reports.emplace_back(data + at, data + std::min(size, at + kReport));

    auto& bus = vardo::sim::Bus::instance();
    bus.reset();
    auto device = vardo::sim::ScriptedDevice::create();
    device->attach();
    char manufacturer[48];
    char product[48];
    hid_device* handle = ScanForUSBDevice_a(0x2047, 0x0902, manufacturer, product);
    if (!handle)
        std::abort();

    std::vector<vardo::sim::TimedReport> script;
    for (const auto& r : reports)
        script.push_back({1, r});
    if (receiveOnly) {
        for (const auto& r : reports)
            device->queueReport(r, 1);
    } else {
        device->scriptReply(script);
    }
    device->setReadFails(readFails);

    // Exactly 62 bytes on the heap: one byte more written is an ASan report.
    auto reply = std::make_unique<std::uint8_t[]>(kReplyBytes);
    std::memset(reply.get(), 0xA5, kReplyBytes);
    std::uint32_t replyLength = 0xDEADBEEF;
    std::int32_t result;
    if (receiveOnly) {
        result = USBEncoderReceive_a(handle, code, reply.get(), 64, &replyLength, kTimeoutMs);
    } else {
        result = USBEncoderSendAndReceive_a(handle, code, payload.data(),
                                            static_cast<std::int32_t>(taken), reply.get(), 64,
                                            &replyLength, kTimeoutMs);
        // A device that cannot be read is given up before anything is written.
        const auto writes = device->writes();
        if (readFails ? !writes.empty()
                      : writes.size() != 1 || writes[0] != expectedFrame(code, payload.data(), taken))
            std::abort();
    }

    if (result != 0 && result != -1 && result != -6 && result != -8 && result != -13)
        std::abort();
    const Expected expected =
        readFails ? Expected{-1, {}} : expectedOutcome(reports, receiveOnly ? -1 : code);
    if (result != expected.result)
        std::abort();
    if (result == 0) {
        if (replyLength != expected.data.size() || replyLength > kReplyBytes
            || !std::equal(expected.data.begin(), expected.data.end(), reply.get()))
            std::abort();
        // Bytes past the reply stay as they were.
        for (std::size_t i = replyLength; i < kReplyBytes; ++i)
            if (reply[i] != 0xA5)
                std::abort();
    } else {
        // A failed exchange hands nothing back.
        if (replyLength != 0xDEADBEEF)
            std::abort();
        for (std::size_t i = 0; i < kReplyBytes; ++i)
            if (reply[i] != 0xA5)
                std::abort();
    }

    hid_close(handle);
    device->detach();
    return 0;
}

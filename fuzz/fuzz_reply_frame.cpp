// Plays arbitrary input reports to one exchange of the encoder link. The
// exchange must give 0, -1, -6, -8 or -13, agree with the frame decoder read
// report by report (a valid frame naming another command is passed over, an
// ACK waits on), write the exact command frame, and copy no more than 62
// reply bytes (the buffer is exactly that big, so ASan sees overruns). Each
// report must also survive the encoder's own reading of a command frame, and
// every valid reply must decode back to what encodeReply was given.
//
// Input: byte 0 picks send-and-receive or receive only, a failing read, and
// the payload length; byte 1 is the command code; then the payload; the rest
// is cut into input reports of 64 bytes (the last one may be shorter).
#include "link/frame.h"
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
#include <optional>
#include <vector>

namespace {

namespace frame = vardo::link::frame;

constexpr std::size_t kReport = 64;
constexpr std::size_t kReplyBytes = 62;
constexpr std::int32_t kTimeoutMs = 30;

struct Expected {
    std::int32_t result = -6;
    std::vector<std::uint8_t> data;
};

// The outcome of the reports one after another. command: the command sent,
// or nullopt for a receive-only wait that takes any reply.
Expected expectedOutcome(const std::vector<vardo::sim::Report>& reports,
                         std::optional<std::uint8_t> command)
{
    for (const auto& r : reports) {
        if (r.empty())
            continue;  // an empty read is no report
        frame::Report b{};
        std::copy_n(r.begin(), std::min(r.size(), kReport), b.begin());
        const frame::Decoded d = frame::decodeReply(b);
        switch (d.kind) {
        case frame::Kind::Ack:
            continue;
        case frame::Kind::Refusal:
            return {-13, {}};
        case frame::Kind::Malformed:
            return {d.why == frame::Why::ByteCount ? -8 : -13, {}};
        case frame::Kind::Reply:
            break;
        }
        if (command && d.command && *d.command != *command)
            continue;
        // A valid reply is one encodeReply makes, up to the byte count and the echo's case.
        frame::Report again = frame::encodeReply(d.command.value_or(0), d.data);
        if (!std::equal(b.begin() + 5, b.begin() + 9 + static_cast<long>(d.data.size()), again.begin() + 5))
            std::abort();
        return {0, std::vector<std::uint8_t>(d.data.begin(), d.data.end())};
    }
    return {-6, {}};
}

// The encoder's reading of any bytes stays inside them and finds a payload that fits.
void checkCommandReading(const vardo::sim::Report& r)
{
    if (const auto c = frame::decodeCommand(r)) {
        if (c->payload.data() != r.data() + 7 || 9 + c->payload.size() > r.size())
            std::abort();
        if (c->payload.size() <= frame::kMaxPayload
            && frame::encodeCommand(c->code, c->payload)[8 + c->payload.size()] != r[8 + c->payload.size()])
            std::abort();
    }
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
    for (const auto& r : reports)
        checkCommandReading(r);

    auto& bus = vardo::sim::Bus::instance();
    bus.reset();
    auto device = vardo::sim::ScriptedDevice::create();
    device->attach();
    char manufacturer[48];
    char product[48];
    hid_device* const handle = ScanForUSBDevice_a(0x2047, 0x0902, manufacturer, product);
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
                      : writes.size() != 1 || writes[0].size() != kReport
                            || !std::equal(writes[0].begin(), writes[0].end(),
                                           frame::encodeCommand(code, payload).begin()))
            std::abort();
    }

    if (result != 0 && result != -1 && result != -6 && result != -8 && result != -13)
        std::abort();
    const Expected expected =
        readFails ? Expected{-1, {}}
                  : expectedOutcome(reports, receiveOnly ? std::nullopt : std::optional<std::uint8_t>(code));
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

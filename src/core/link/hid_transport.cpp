#include "link/hid_transport.h"

#include "link/hid_list.h"

#include "platform/clock.h"
#include "platform/hid_bus.h"
#include "platform/hid_trace.h"
#include "platform/text8.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>

namespace vardo::link {

namespace {

constexpr int kPollMs = 10;
constexpr int kMaxDrainReads = kDefaultTimeoutMs;
constexpr char kNone[] = "None";
constexpr char kUnableToFind[] = "Unable To Find";
constexpr std::size_t kMaxStringUnits = 255;

// Empty polls are not traced: only reports and failures.
void traceInput(const std::uint8_t* report, int got)
{
    if (got != 0)
        platform::traceHidReport("encoder", false, report, got);
}

// The exchange's result when a report ends the wait.
Result resultOfReport(const frame::Decoded& d)
{
    if (d.kind == frame::Kind::Reply)
        return Result::Ok;
    return d.why == frame::Why::ByteCount ? Result::BadCount : Result::Refused;
}

// A valid frame naming another command is a late reply to an earlier exchange;
// command is nullopt for a receive-only wait, which takes any reply.
bool answersOther(const frame::Decoded& d, std::optional<std::uint8_t> command)
{
    return d.kind == frame::Kind::Reply && command && d.command && *d.command != *command;
}

// Polls for the reply frame; each poll waits up to 10 ms inside the HID
// library so that a report is taken the moment it arrives. The time-out runs
// on the clock from the write or the last ACK: reports that are not the reply
// (late replies of other commands) use it up as silence does, so a device that
// keeps sending cannot stretch the wait; nor can one that keeps sending ACKs
// stretch it past kTimeoutsPerExchange time-outs.
Result awaitReply(hid_device* device, std::optional<std::uint8_t> command, std::uint8_t* reply,
                  std::uint32_t* replyLength, std::int32_t timeoutMs)
{
    platform::Clock& clock = platform::clock();
    frame::Report report{};
    const auto timeout = static_cast<std::uint64_t>(timeoutMs);
    const std::uint64_t limit = clock.nowMs() + timeout * kTimeoutsPerExchange;
    std::uint64_t deadline = clock.nowMs() + timeout;
    for (;;) {
        report.fill(0);
        const int got = hid_read_timeout(device, report.data(), report.size(), kPollMs);
        traceInput(report.data(), got);
        if (got < 0)
            return Result::NoDevice;
        if (got > 0) {
            const frame::Decoded d = frame::decodeReply(report);
            if (d.kind == frame::Kind::Ack) {
                deadline = std::min(limit, clock.nowMs() + timeout);
            } else if (!answersOther(d, command)) {
                // Only a frame that passed every check reaches the caller's buffer.
                if (d.kind == frame::Kind::Reply) {
                    if (reply && !d.data.empty())
                        std::memcpy(reply, d.data.data(), d.data.size());
                    if (replyLength)
                        *replyLength = static_cast<std::uint32_t>(d.data.size());
                }
                return resultOfReport(d);
            }
        }
        if (timeoutMs != 0 && clock.nowMs() >= deadline)
            return Result::Timeout;
    }
}

// Throws away input that is already waiting (a late reply to an earlier
// command), so it is never taken as the reply to the command about to go out.
// A device sends at most a report a millisecond: kMaxDrainReads clears the
// backlog of a whole time-out, and a device that never stops cannot hold the
// command back for good.
bool drainPendingInput(hid_device* device)
{
    frame::Report report{};
    for (int reads = 0; reads < kMaxDrainReads; ++reads) {
        const int got = hid_read_timeout(device, report.data(), report.size(), 0);
        traceInput(report.data(), got);
        if (got < 0)
            return false;
        if (got == 0)
            break;
    }
    return true;
}

void fillNameBuffer(int readResult, const wchar_t* text, char* buffer)
{
    if (readResult < 0)
        platform::copyToBuffer(kUnableToFind, buffer, kNameBufferSize);
    else
        platform::copyToBuffer(platform::narrowLow8(text), buffer, kNameBufferSize);
}

} // namespace

} // namespace vardo::link

using namespace vardo::link;

hid_device* ScanForUSBDevice_a(std::int32_t vendorId, std::int32_t productId, char* manufacturer,
                               char* product)
{
    const std::lock_guard busLock(vardo::platform::hidBusMutex());
    // The listing also brings the HID library up again after an exit.
    const auto listed = listHid(static_cast<std::uint16_t>(vendorId), static_cast<std::uint16_t>(productId),
                                kEncoderInterface);
    hid_device* device = listed.empty() ? nullptr : hid_open_path(listed.front().path.c_str());
    if (!device) {
        vardo::platform::copyToBuffer(kNone, manufacturer, kNameBufferSize);
        vardo::platform::copyToBuffer(kNone, product, kNameBufferSize);
        return nullptr;
    }

    std::array<wchar_t, kMaxStringUnits + 1> text{};
    int r = hid_get_manufacturer_string(device, text.data(), kMaxStringUnits);
    fillNameBuffer(r, text.data(), manufacturer);
    text.fill(L'\0');
    r = hid_get_product_string(device, text.data(), kMaxStringUnits);
    fillNameBuffer(r, text.data(), product);

    hid_set_nonblocking(device, 1);
    return device;
}

std::int32_t USBEncoderSendAndReceive_a(hid_device* device, std::uint8_t code,
                                        const std::uint8_t* payload, std::int32_t payloadLength,
                                        std::uint8_t* reply, std::int32_t /*replyCapacity*/,
                                        std::uint32_t* replyLength, std::int32_t timeoutMs)
{
    if (!device)
        return codeOf(Result::NoDevice);
    // A longer payload would not fit the report; refuse it rather than overrun.
    if (payloadLength < 0 || payloadLength > kMaxPayload || (payloadLength > 0 && !payload))
        return codeOf(Result::NoDevice);

    const frame::Report command =
        frame::encodeCommand(code, {payload, static_cast<std::size_t>(payloadLength)});
    if (!drainPendingInput(device))
        return codeOf(Result::NoDevice);
    const int written = hid_write(device, command.data(), command.size());
    vardo::platform::traceHidReport("encoder", true, command.data(),
                                    written < 0 ? written : long(command.size()));
    if (written < 0)
        return codeOf(Result::NoDevice);
    return codeOf(awaitReply(device, code, reply, replyLength, timeoutMs));
}

std::int32_t USBEncoderReceive_a(hid_device* device, std::uint8_t /*code*/, std::uint8_t* reply,
                                 std::int32_t /*replyCapacity*/, std::uint32_t* replyLength,
                                 std::int32_t timeoutMs)
{
    if (!device)
        return codeOf(Result::NoDevice);
    return codeOf(awaitReply(device, std::nullopt, reply, replyLength, timeoutMs));
}

void hid_exit_safely(hid_device* device)
{
    if (device)
        hid_close(device);
    const std::lock_guard busLock(vardo::platform::hidBusMutex());
    hid_exit();
}

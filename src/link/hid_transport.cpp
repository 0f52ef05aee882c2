#include "link/hid_transport.h"

#include "platform/clock.h"
#include "platform/hid_trace.h"
#include "platform/text8.h"

#include <array>
#include <cstring>
#include <cwchar>
#include <string>

namespace vardo::link {

std::recursive_mutex& exchangeMutex()
{
    static std::recursive_mutex mutex;
    return mutex;
}

namespace {

constexpr std::uint8_t kReportId = 0x3F;
constexpr std::uint8_t kCommandMarker = 0x40;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kRefused = 0x0F;
constexpr std::uint8_t kMaxByteCount = 0x40;
constexpr int kPollMs = 10;
constexpr int kMaxDrainReads = kDefaultTimeoutMs;

// Empty polls are not traced: only reports and failures.
void traceInput(const std::uint8_t* report, int got)
{
    if (got != 0)
        platform::traceHidReport("encoder", false, report, got);
}
// The last byte of a reply frame (checksum at 8+N) must lie inside the report.
constexpr int kMaxReplyN = static_cast<int>(kReportSize) - 9;
constexpr char kNone[] = "None";
constexpr char kUnableToFind[] = "Unable To Find";
constexpr std::size_t kMaxStringUnits = 255;

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The encoder writes upper-case digits only; anything else counts as 0.
int hexValue(std::uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

enum class ReportKind { Ack, Reply, OtherCommand };

// No command is coded -1: a receive-only wait takes any reply.
constexpr int kAnyCommand = -1;

bool isHexDigit(std::uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The command a reply frame echoes in bytes 3-4, or kAnyCommand when they are
// not two hexadecimal digits (either case).
int echoedCommand(const std::uint8_t* report)
{
    if (!isHexDigit(report[3]) || !isHexDigit(report[4]))
        return kAnyCommand;
    auto value = [](std::uint8_t c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    return value(report[3]) * 16 + value(report[4]);
}

// Classifies one input report; for a reply, result is the exchange's result
// and, on 0, the data bytes are copied out. A valid frame that names another
// command than `command` is a late reply to an earlier exchange: OtherCommand.
ReportKind checkReport(const std::uint8_t* report, int command, std::uint8_t* reply,
                       std::uint32_t* replyLength, std::int32_t& result)
{
    if (report[2] == kAck)
        return ReportKind::Ack;
    if (report[2] == kRefused) {
        result = kErrBadFrame;
        return ReportKind::Reply;
    }
    if (report[1] > kMaxByteCount) {
        result = kErrBadCount;
        return ReportKind::Reply;
    }
    result = kErrBadFrame;
    if (report[2] != kStx)
        return ReportKind::Reply;
    const int n = hexValue(report[5]) * 16 + hexValue(report[6]);
    // N = 0 has no status byte; N above 55 would put ETX or checksum past the report.
    if (n < 1 || n > kMaxReplyN)
        return ReportKind::Reply;
    if (report[7] != 0x00)
        return ReportKind::Reply;
    if (report[7 + n] != kEtx)
        return ReportKind::Reply;
    std::uint8_t sum = 0;
    for (int i = 2; i <= 7 + n; ++i)
        sum ^= report[i];
    if (report[8 + n] != sum)
        return ReportKind::Reply;
    const int echoed = echoedCommand(report);
    if (command != kAnyCommand && echoed != kAnyCommand && echoed != command)
        return ReportKind::OtherCommand;
    // Only a frame that passed every check reaches the caller's buffer.
    if (n > 1 && reply)
        std::memcpy(reply, report + 8, static_cast<std::size_t>(n - 1));
    if (replyLength)
        *replyLength = static_cast<std::uint32_t>(n - 1);
    result = kOk;
    return ReportKind::Reply;
}

// Polls for the reply frame; each poll waits up to 10 ms inside the HID
// library so that a report is taken the moment it arrives. The time-out runs
// on the clock from the write or the last ACK: reports that are not the reply
// (late replies of other commands) use it up as silence does, so a device that
// keeps sending cannot stretch the wait.
std::int32_t awaitReply(hid_device* device, int command, std::uint8_t* reply,
                        std::uint32_t* replyLength, std::int32_t timeoutMs)
{
    platform::Clock& clock = platform::clock();
    std::array<std::uint8_t, kReportSize> report{};
    std::uint64_t deadline = clock.nowMs() + static_cast<std::uint64_t>(timeoutMs);
    for (;;) {
        report.fill(0);
        const int got = hid_read_timeout(device, report.data(), report.size(), kPollMs);
        traceInput(report.data(), got);
        if (got < 0)
            return kErrNoDevice;
        if (got > 0) {
            std::int32_t result = kErrBadFrame;
            const ReportKind kind = checkReport(report.data(), command, reply, replyLength, result);
            if (kind == ReportKind::Ack) {
                deadline = clock.nowMs() + static_cast<std::uint64_t>(timeoutMs);
                continue;
            }
            if (kind == ReportKind::Reply)
                return result;
        }
        if (timeoutMs != 0 && clock.nowMs() >= deadline)
            return kErrTimeout;
    }
}

// Throws away input that is already waiting (a late reply to an earlier
// command), so it is never taken as the reply to the command about to go out.
// A device sends at most a report a millisecond: kMaxDrainReads clears the
// backlog of a whole time-out, and a device that never stops cannot hold the
// command back for good.
bool drainPendingInput(hid_device* device)
{
    std::array<std::uint8_t, kReportSize> report{};
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
    // The full enumeration only brings the HID library up again after an exit.
    hid_free_enumeration(hid_enumerate(0, 0));

    std::string path;
    hid_device_info* devices = hid_enumerate(static_cast<unsigned short>(vendorId),
                                             static_cast<unsigned short>(productId));
    for (hid_device_info* d = devices; d; d = d->next) {
        if (d->interface_number == kEncoderInterface && d->path) {
            path = d->path;
            break;
        }
    }
    hid_free_enumeration(devices);

    hid_device* device = path.empty() ? nullptr : hid_open_path(path.c_str());
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
        return kErrNoDevice;
    // A longer payload would not fit the report; refuse it rather than overrun.
    if (payloadLength < 0 || payloadLength > kMaxPayload || (payloadLength > 0 && !payload))
        return kErrNoDevice;

    std::lock_guard lock(exchangeMutex());

    std::array<std::uint8_t, kReportSize> frame{};
    frame[0] = kReportId;
    frame[1] = kCommandMarker;
    frame[2] = kStx;
    frame[3] = static_cast<std::uint8_t>(kHexDigits[code >> 4]);
    frame[4] = static_cast<std::uint8_t>(kHexDigits[code & 0x0F]);
    const auto len = static_cast<std::uint8_t>(payloadLength);
    frame[5] = static_cast<std::uint8_t>(kHexDigits[len >> 4]);
    frame[6] = static_cast<std::uint8_t>(kHexDigits[len & 0x0F]);
    if (payloadLength > 0)
        std::memcpy(frame.data() + 7, payload, static_cast<std::size_t>(payloadLength));
    frame[7 + payloadLength] = kEtx;
    std::uint8_t sum = 0;
    for (int i = 2; i <= 7 + payloadLength; ++i)
        sum ^= frame[i];
    frame[8 + payloadLength] = sum;

    if (!drainPendingInput(device))
        return kErrNoDevice;
    const int written = hid_write(device, frame.data(), frame.size());
    vardo::platform::traceHidReport("encoder", true, frame.data(), written < 0 ? written : long(frame.size()));
    if (written < 0)
        return kErrNoDevice;
    return awaitReply(device, code, reply, replyLength, timeoutMs);
}

std::int32_t USBEncoderReceive_a(hid_device* device, std::uint8_t /*code*/, std::uint8_t* reply,
                                 std::int32_t /*replyCapacity*/, std::uint32_t* replyLength,
                                 std::int32_t timeoutMs)
{
    if (!device)
        return kErrNoDevice;
    std::lock_guard lock(exchangeMutex());
    return awaitReply(device, kAnyCommand, reply, replyLength, timeoutMs);
}

void hid_exit_safely(hid_device* device)
{
    if (device) {
        // Never close the handle under an exchange that another thread is running.
        std::lock_guard lock(exchangeMutex());
        hid_close(device);
    }
    hid_exit();
}

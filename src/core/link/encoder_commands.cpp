#include "link/encoder_commands.h"

#include "link/hid_transport.h"

#include <algorithm>

namespace vardo::link {

namespace {
constexpr std::size_t kSettingBytes = 6;
constexpr std::size_t kVersionBytes = 6;
} // namespace

int statusTableBytes(int layoutCode)
{
    if (layoutCode >= 0 && layoutCode <= 2)
        return 8;
    if (layoutCode >= 3 && layoutCode <= 5)
        return 24;
    return 32;
}

bool unpackStatusMessage(std::span<const std::uint8_t> data, DeviceStatus& status)
{
    if (data.size() < kSettingBytes)
        return false;
    const auto tableBytes = static_cast<std::size_t>(statusTableBytes(data[5]));
    // A short message would leave part of the table and version undefined.
    if (data.size() < kSettingBytes + tableBytes + kVersionBytes)
        return false;

    status.ledBrightness = data[0];
    status.ledColour = data[1];
    status.buzzer = data[2];
    status.optionsFitted = data[3];
    status.buzzerPeriod = data[4];
    status.keypadType = data[5];
    std::copy_n(data.begin() + kSettingBytes, tableBytes, status.codeTable.begin());
    const auto version = data.subspan(kSettingBytes + tableBytes, kVersionBytes);
    status.firmwareVersion.assign(version.begin(), version.end());
    return true;
}

namespace {

// One exchange with a 64-byte reply buffer and the 5000 ms time-out.
Result exchange(hid_device* device, EncoderCommand code, std::span<const std::uint8_t> payload,
                std::array<std::uint8_t, kReportSize>& reply, std::uint32_t& replyLength)
{
    if (payload.size() > static_cast<std::size_t>(kMaxPayload))
        return Result::NoDevice;
    return resultOf(USBEncoderSendAndReceive_a(device, code, payload.data(),
                                               static_cast<std::int32_t>(payload.size()),
                                               reply.data(), static_cast<std::int32_t>(reply.size()),
                                               &replyLength, kDefaultTimeoutMs));
}

} // namespace

Result readDeviceStatus(hid_device* device, DeviceStatus& status)
{
    std::array<std::uint8_t, kReportSize> reply{};
    std::uint32_t replyLength = 0;
    if (const Result r = exchange(device, GET_STATUS, {}, reply, replyLength); r != Result::Ok)
        return r;
    const std::size_t length = std::min<std::size_t>(replyLength, reply.size());
    // A status too short for its layout is as bad as a broken frame.
    if (!unpackStatusMessage(std::span(reply.data(), length), status))
        return Result::Refused;
    return Result::Ok;
}

Result sendCommand(hid_device* device, EncoderCommand code, std::span<const std::uint8_t> payload)
{
    std::array<std::uint8_t, kReportSize> reply{};
    std::uint32_t replyLength = 0;
    return exchange(device, code, payload, reply, replyLength);
}

Result sendByteCommand(hid_device* device, EncoderCommand code, std::uint8_t value)
{
    const std::uint8_t payload[1] = {value};
    return sendCommand(device, code, payload);
}

} // namespace vardo::link

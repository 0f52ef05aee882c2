#pragma once
// The encoder's command set: the status message and the senders that every
// window shares (the codes are in command_codes.h). Qt-free.
#include <hidapi.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "link/code_table.h"
#include "link/command_codes.h"
#include "link/result.h"

namespace vardo::link {

// Bytes of the code table section in the status message for a layout code:
// 8 for 0-2, 24 for 3-5, 32 for any other code.
int statusTableBytes(int layoutCode);

// The encoder's settings as one status message reports them: what every
// window, the configuration file, the upgrade write-back and the command-line
// tool keep of an encoder.
struct DeviceStatus {
    int ledBrightness = 0;
    int ledColour = 0;
    int buzzer = 0;
    int optionsFitted = 0;
    int buzzerPeriod = 0;   // as the encoder reports it (the boxes' index)
    int keypadType = 0;
    std::string firmwareVersion;   // six characters
    link::CodeTable codeTable{};
};

// Unpacks the N-1 data bytes of a GET_STATUS reply. The table section (8, 24 or
// 32 bytes by layout) is copied over the start of status.codeTable; the rest of
// the table keeps its contents. Returns false, changing nothing, when the reply
// is shorter than the status message its layout needs (12 + table bytes).
[[nodiscard]] bool unpackStatusMessage(std::span<const std::uint8_t> data, DeviceStatus& status);

// GET_STATUS on device and unpacking. Ok, or the exchange's result (Refused
// for a status too short for its layout) with status unchanged.
[[nodiscard]] Result readDeviceStatus(hid_device* device, DeviceStatus& status);

// One command with an optional payload, 64-byte reply buffer, 5000 ms time-out.
[[nodiscard]] Result sendCommand(hid_device* device, EncoderCommand code,
                                 std::span<const std::uint8_t> payload = {});
[[nodiscard]] Result sendByteCommand(hid_device* device, EncoderCommand code, std::uint8_t value);

} // namespace vardo::link

#pragma once
// The encoder's command set: codes, the status message and the senders that
// every window shares. Qt-free.
#include <hidapi.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "codetable/code_table.h"

namespace vardo::link {

enum EncoderCommand : std::uint8_t {
    GET_STATUS = 0x01,
    SET_LED_BRIGHTNESS = 0x02,
    SET_LED_COLOUR = 0x03,
    SET_BUZZER = 0x04,
    LOAD_CODE_TABLE = 0x05,
    SET_BUZZER_PERIOD = 0x06,
    SET_KEYPAD_TYPE = 0x07,
    SELF_TEST = 0x08,
    WRITE_DEFAULTS = 0x09,
    FACTORY_RESET = 0x0A,
    SET_OPTIONS = 0x0B,
    ENTER_BSL = 0x0C,
    SOUND_BUZZER = 0x0D,
};

inline constexpr std::uint8_t kSelfTestStart = 1;
inline constexpr std::uint8_t kSelfTestEnd = 2;
inline constexpr std::uint8_t kNoKey = 0xFF;

// Option bits of the options-fitted mask.
inline constexpr int kOptionLedColour = 1;
inline constexpr int kOptionLedBrightness = 2;
inline constexpr int kOptionBuzzer = 4;
inline constexpr int kAllOptions = 7;

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
    codetable::CodeTable codeTable{};
};

// Unpacks the N-1 data bytes of a GET_STATUS reply. The table section (8, 24 or
// 32 bytes by layout) is copied over the start of status.codeTable; the rest of
// the table keeps its contents. Returns false, changing nothing, when the reply
// is shorter than the status message its layout needs (12 + table bytes).
bool unpackStatusMessage(std::span<const std::uint8_t> data, DeviceStatus& status);

// GET_STATUS on device and unpacking. 0, or the exchange's result (kErrBadFrame
// for a status too short for its layout) with status unchanged.
std::int32_t readDeviceStatus(hid_device* device, DeviceStatus& status);

// One command with an optional payload, 64-byte reply buffer, 5000 ms time-out.
std::int32_t sendCommand(hid_device* device, EncoderCommand code,
                         std::span<const std::uint8_t> payload = {});
std::int32_t sendByteCommand(hid_device* device, EncoderCommand code, std::uint8_t value);

} // namespace vardo::link

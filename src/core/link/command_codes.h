#pragma once
// The encoder's command codes and the values some of them carry: the host's
// link and the virtual encoder speak from this one list.
#include <cstdint>

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

} // namespace vardo::link

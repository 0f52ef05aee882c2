#pragma once
// Parsing of what an operator types on the command line into the bytes the
// encoder gets. The payload rules are the main window's boxes.
#include "codetable/usage_codes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vardo::cli {

// A setting named on the command line and the byte that SET_... carries.
struct SettingValue {
    std::uint8_t payload = 0;   // what goes over the wire
    int value = 0;              // the box index the operator chose
};

// brightness 0-9; colour 0 or "white"; buzzer off/on/0/1; period 0-9 (sends
// value + 1, as the period box does); layout 0-8 or its item text, with or
// without its closing "Table", in any letter case and spacing ("16w customised
// table", "12W Calculator"). Nothing on a bad value.
[[nodiscard]] std::optional<SettingValue> parseBrightness(std::string_view text);
[[nodiscard]] std::optional<SettingValue> parseColour(std::string_view text);
[[nodiscard]] std::optional<SettingValue> parseBuzzer(std::string_view text);
[[nodiscard]] std::optional<SettingValue> parsePeriod(std::string_view text);
[[nodiscard]] std::optional<SettingValue> parseLayout(std::string_view text);

// A whole decimal or 0x-hexadecimal number within [0, max]; nothing otherwise.
[[nodiscard]] std::optional<int> parseNumber(std::string_view text, int max);

// A usage code: a number 0-255 (decimal or 0x hex) or the name of the code in
// the usage list ("a", "Enter", "F1", "KeypadPlus"; any letter case). A plain
// number is a code, so the digit keys go by code: 0x1E is the key "1".
// Sets error and returns nothing for a bad or ambiguous text.
[[nodiscard]] std::optional<std::uint8_t> parseUsageCode(std::string_view text, std::string& error);

// A modifier: none, a modifier key's name (LeftShift, Left Shift, LeftCtrl,
// LeftControl, RightGUI, ...; any letter case, blanks ignored) or its byte
// 0xE0-0xE7 (0 for none).
[[nodiscard]] std::optional<std::uint8_t> parseModifier(std::string_view text);

// One key assignment "KEY=CODE[+MODIFIER]", KEY 1-16.
struct KeyAssignment {
    int key = 0;
    codetable::CodeEntry entry;
};
[[nodiscard]] std::optional<KeyAssignment> parseKeyAssignment(std::string_view text, std::string& error);

// The 32 bytes of a CodeTableValues text: the first 32 of its comma-separated
// numbers, each as the configuration reset takes it (low 8 bits). Sets error
// and returns nothing when fewer than 32 numbers are there or one is invalid.
[[nodiscard]] std::optional<link::CodeTable> parseCodeTableValues(std::string_view text, std::string& error);

} // namespace vardo::cli

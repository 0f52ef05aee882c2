#pragma once
// Parsing of what an operator types on the command line into the bytes the
// encoder gets. The payload rules are the main window's boxes.
#include "codetable/usage_codes.h"
#include "device/encoder.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A setting 'set' takes: its name, how its value is read, the command that
// sends it and its values for a message.
struct SettingInfo {
    const char* name;
    std::optional<SettingValue> (*parse)(std::string_view);
    device::Setting setting;
    const char* range;
};
// brightness, colour, buzzer, period, layout ("color" is taken for colour).
[[nodiscard]] const std::vector<SettingInfo>& settingTable();
// The setting named name; null for none.
[[nodiscard]] const SettingInfo* findSetting(std::string_view name);

// The names a setting's values go by (off, on, white, the layouts' names).
[[nodiscard]] std::vector<std::string> settingWords(const SettingInfo& setting);
// "SET_LED_BRIGHTNESS 4": a setting's command as sent, for --json.
[[nodiscard]] std::string sentText(device::Setting setting, int payload);

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

// The known word closest to word (letter case, blanks, '-' and '_' aside) when
// it is near enough to be a typing slip: at most one edit (a letter wrong,
// missing, extra, or two swapped) per four letters; "" otherwise.
[[nodiscard]] std::string nearestWord(std::string_view word, const std::vector<std::string>& known);
// " (did you mean 'X'?)" for nearestWord, "" when there is none.
[[nodiscard]] std::string didYouMean(std::string_view word, const std::vector<std::string>& known);

// The names a layout goes by, as 'help set' lists them ("12W Calculator").
[[nodiscard]] std::string layoutName(int layout);
// Every usage code's name and every modifier's name, for suggestions and help.
[[nodiscard]] std::vector<std::string> usageNames();
[[nodiscard]] std::vector<std::string> modifierNames();

} // namespace vardo::cli

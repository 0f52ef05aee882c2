#pragma once
// Internal to the tool's core: the desired state that 'apply' brings an
// encoder to, read from JSON in the vocabulary of 'help --json'.
#include "cli/cli_values.h"
#include "cli/json_value.h"
#include "link/encoder_commands.h"

#include <optional>
#include <string>
#include <vector>

namespace vardo::cli {

// Each setting as 'set' takes it (period as the window's box numbers it);
// absent ones are left as they are.
struct DesiredState {
    std::optional<SettingValue> layout;
    std::optional<SettingValue> brightness;
    std::optional<SettingValue> colour;
    std::optional<SettingValue> buzzer;
    std::optional<SettingValue> period;
    std::vector<KeyAssignment> codeTable;   // the keys named, in key order
    bool keep = false;                      // the encoder's power-up defaults, recorded in the file
};

// The members apply knows, in the order it sends them.
[[nodiscard]] const std::vector<std::string>& desiredStateMembers();

// state: {"layout": 8 or "16W Customised", "code_table": {"1": "0x1E",
// "2": "a+LeftShift"}, "brightness": 5, "colour": "white", "buzzer": true,
// "period": 2, "keep": true}. Nothing, with why in error, for anything else.
[[nodiscard]] std::optional<DesiredState> readDesiredState(const JsonValue& state, std::string& error);

// The members of wanted as status has them, as a JSON object ("before" and
// "after" of --diff); code table entries as "0x04+LeftShift".
[[nodiscard]] std::string stateJson(const link::DeviceStatus& status, const DesiredState& wanted);
// The same as "name: value" lines.
[[nodiscard]] std::vector<std::string> stateLines(const link::DeviceStatus& status, const DesiredState& wanted);

// What of wanted status lacks: the names of the members that differ.
[[nodiscard]] std::vector<std::string> differences(const link::DeviceStatus& status, const DesiredState& wanted);

} // namespace vardo::cli

#pragma once
// The reset of the encoder from the settings stored in the configuration file
// (or a backup of it): reading and checking them, then sending them. Qt-free:
// every text meant for the operator goes to the caller's Report.
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/inifile.h"
#include "device/encoder.h"
#include "link/messages.h"

namespace vardo::config {

inline constexpr const char* kMsgResetKeypad = messages::kKeypadTypeFailed;
inline constexpr const char* kMsgResetTable = messages::kLoadTableFailed;
inline constexpr const char* kMsgResetBrightness = "Unable to set LED Brightness..";
inline constexpr const char* kMsgResetColour = "Unable to set LED Color..";
inline constexpr const char* kMsgResetBuzzer = "Unable to set Buzzer..";
inline constexpr const char* kMsgResetPeriod = "Unable to set Buzzer period..";

// How a reset from the configuration ended, for the window's follow-up.
enum class ResetOutcome {
    NotSaved,        // FirstUp is not "Yes": nothing sent, nothing shown
    NotSent,         // damaged file or invalid value: reported, nothing sent
    KeypadRefused,   // SET_KEYPAD_TYPE failed: reported; revert the layout box
    TableRefused,    // LOAD_CODE_TABLE failed: reported; the box stays
    SettingRefused,  // a later command failed: reported; revert the layout box
    Sent,            // every command went through: read the status next
};

// The settings the reset sends, read and checked before the first command.
using ResetPlan = device::Configuration;

// Reads the settings stored in configFile into plan, from one read of the file. NotSaved,
// Sent (plan filled) or NotSent (reported: damaged file, or the first key with
// an empty or invalid value, CodeTableValues included when the layout is a
// customised one). A setting outside what the encoder takes (layout 0-8,
// brightness 0-9, colour 0-2, buzzer 0-1, period 0-10) is invalid, so nothing is sent
// rather than the first commands only.
ResetOutcome readResetPlan(const std::string& configFile, ResetPlan& plan, const Report& report);

// The whole reset: the plan from configFile (the configuration file or a
// backup of it), then the encoder's applyConfiguration
// (SET_KEYPAD_TYPE, LOAD_CODE_TABLE for customised layouts, SET_LED_BRIGHTNESS,
// SET_LED_COLOUR, SET_BUZZER, SET_BUZZER_PERIOD), stopping at the first failure.
// A null encoder fails the first command. result, when given, receives the
// failed command's result (Ok otherwise). The closing status read belongs to
// the caller (on Sent).
ResetOutcome resetFromConfigFile(device::Encoder* encoder, const std::string& configFile,
                                 const Report& report, device::Result* result = nullptr);

// What the records of a configuration file hold for the reset.
enum class Stored { NotSaved, Valid, Invalid };
struct BadValue {
    const char* key = "";
    std::string why;   // after the key's name: "holds ..."
};

// The settings records hold as the reset sends them. Each value must be one
// the encoder takes: a refusal half way would leave the layout and table of
// the file with the rest of the old settings.
Stored storedPlan(const std::vector<Record>& records, ResetPlan& plan, BadValue& bad);

} // namespace vardo::config

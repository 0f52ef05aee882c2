#pragma once
// Reading and saving the utility's configuration file USBUtilityCfg.ini:
// first-start set-up, single keys, the save of the encoder's settings and the
// parsing of the values it stores. Qt-free: every text meant for the operator
// goes to the caller's Report, which shows it.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "config/config_path.h"
#include "link/encoder_commands.h"

namespace vardo::config {

// Receives one operator message (without its trailing line break).
using Report = std::function<void(const std::string& text)>;

// The nine keys of appSettings in the order the first start creates them.
inline constexpr std::array<const char*, 9> kConfigKeys = {
    "FirstUp", "KeypadLayout", "LedBrightness", "LedColour", "Buzzer",
    "BuzzerPeriod", "CodeTableValues", "FirmwareFile", "Options"};

inline constexpr const char* kMsgUpdateFailed = "Failed to update USBUtilityCfg.ini file.";
// A section line without "]" in our own file: reported once, nothing written or sent.
inline constexpr const char* kMsgFileDamaged =
    "USBUtilityCfg.ini file is incorrect format. Please import a correct file..";
// A stored value the reset cannot send; the key's name follows.
inline constexpr const char* kMsgInvalidValuePrefix = "USBUtilityCfg.ini file holds an invalid value for ";

// When configFile is missing, creates its folder and the ten-line file with
// empty values. An existing file is not examined. Returns true when the file was
// there or was created; failures are silent, except a damaged file met while
// filling a new one.
bool setUpConfigFile(const std::string& configFile, const Report& report);
// The windows' set-up: builds FileName (configFilePath()), the path they then
// pass to the calls below, and sets that file up.
bool setUpConfigFile(const Report& report);

// One key of appSettings in configFile. False, after reporting kMsgUpdateFailed,
// when the store could not write it. A damaged file throws IniFormatError.
bool SetSettings(const std::string& key, const std::string& value, const std::string& configFile,
                 const Report& report);

// Value of one key of appSettings; "" when missing or unreadable. A damaged file
// throws IniFormatError.
std::string GetSettings(const std::string& key, const std::string& configFile);

// "n," for each of the 32 bytes, unsigned decimal, no blanks.
std::string codeTableText(const link::CodeTable& table);

// The save's eight keys and their values, in their fixed order.
std::array<std::pair<const char*, std::string>, 8> savedValues(const link::DeviceStatus& s);

enum class SaveOutcome {
    Saved,
    Damaged,     // a section line without "]": reported once, nothing written
    NotWritten,  // one or more keys could not be written (each reported)
};

// Writes into configFile FirstUp="Yes" and the seven settings keys of the last status read
// (FirmwareFile untouched; the firmware version is not kept) in the fixed
// order, in one replacement of the file (the bytes a key-by-key save would
// leave), so a killed run leaves the old file or the new one. When it cannot
// be written, kMsgUpdateFailed is reported once per key, as the key-by-key
// save did.
SaveOutcome saveSettings(const link::DeviceStatus& settings, const std::string& configFile,
                         const Report& report);

// Records in configFile the name (without folder) of the firmware image last chosen. A
// failure, a damaged file included, goes unreported: the name is only a hint.
void recordFirmwareFile(const std::string& name, const std::string& configFile);

// A value as a message shows it: control bytes as "?", long ones cut short.
std::string shown(std::string_view value);

// Parses a stored decimal number as the encoder gets it (low 8 bits). Blanks
// around it and a sign are accepted; false for anything else or outside int32.
bool parseStoredByte(const std::string& text, std::uint8_t& byte);

// The 32 bytes of a CodeTableValues text: exactly 32 comma-separated numbers
// (a last comma allowed), each 0-255 and each modifier one the table editor
// offers (codetable::codeTableProblem). False with why ("holds 3 numbers
// instead of 32", "holds 'x', which is not a number", "holds 999, which is no
// code (0-255)") otherwise.
bool parseStoredTable(std::string_view text, link::CodeTable& table, std::string& why);

} // namespace vardo::config

#pragma once
// The utility's configuration file USBUtilityCfg.ini: first-start set-up, the
// save of the encoder's settings, import, export and the reset of the encoder
// from the stored settings. Qt-free: every text meant for the operator goes to
// the caller's Report, which shows it; pickers and questions stay with the window.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "config/config_path.h"
#include "device/encoder.h"
#include "link/encoder_commands.h"
#include "link/messages.h"
#include "platform/atomic_file.h"

namespace vardo::config {

// Receives one operator message (without its trailing line break).
using Report = std::function<void(const std::string& text)>;

// Every change of the configuration file made in several steps (set-up, save,
// import) and every read of it that must see one whole version (export, reset)
// runs under this advisory lock, taken on ".USBUtilityCfg.ini.lock" beside
// configFile, so that two programs (the window and the command line) never mix
// their changes. Blocks until the lock is free. A reader (forChange false)
// does not create the lock file: no change can have been made without it.
// A lock file that is not a plain file, or that this user may not open, is
// refused (problem()); the caller then reports that and stops. A change also
// removes the temporary files that killed runs left beside configFile.
class ConfigFileLock {
public:
    explicit ConfigFileLock(const std::string& configFile, bool forChange = true);
    // "" when locked (or nothing can be locked); else why not, naming the lock file.
    const std::string& problem() const { return problem_; }
private:
    platform::FileLock lock_;
    std::string problem_;
};

// The nine keys of appSettings in the order the first start creates them.
inline constexpr std::array<const char*, 9> kConfigKeys = {
    "FirstUp", "KeypadLayout", "LedBrightness", "LedColour", "Buzzer",
    "BuzzerPeriod", "CodeTableValues", "FirmwareFile", "Options"};

// Operator messages of this unit.
inline constexpr const char* kMsgUpdateFailed = "Failed to update USBUtilityCfg.ini file.";
inline constexpr const char* kMsgIncorrectFilename = "Incorrect Filename.";
inline constexpr const char* kMsgIncorrectFormat = "File is incorrect format.";
inline constexpr const char* kMsgImportCopyFailed = "Failed to copy the new file.";
inline constexpr const char* kMsgImportException = "Exception :Failed to copy the new file.";
inline constexpr const char* kMsgExportCancelled = "Unable to save the cfg file.";
inline constexpr const char* kMsgExportCopyFailed = "Failed to export the file";
inline constexpr const char* kMsgExportException = "Exception :Unable to save cfg file.";
inline constexpr const char* kOverwriteCaption = "Save USBUtilityCfg File";
inline constexpr const char* kOverwriteQuestion =
    "USBUtilityCfg.ini file already exists. Do you want to overwrite it?";
inline constexpr const char* kMsgResetKeypad = messages::kKeypadTypeFailed;
inline constexpr const char* kMsgResetTable = messages::kLoadTableFailed;
inline constexpr const char* kMsgResetBrightness = "Unable to set LED Brightness..";
inline constexpr const char* kMsgResetColour = "Unable to set LED Color..";
inline constexpr const char* kMsgResetBuzzer = "Unable to set Buzzer..";
inline constexpr const char* kMsgResetPeriod = "Unable to set Buzzer period..";
// A section line without "]" in our own file: reported once, nothing written or sent.
inline constexpr const char* kMsgFileDamaged =
    "USBUtilityCfg.ini file is incorrect format. Please import a correct file..";
// A stored value the reset cannot send; the key's name follows.
inline constexpr const char* kMsgInvalidValuePrefix = "USBUtilityCfg.ini file holds an invalid value for ";

// <user data folder>/VardoInterface/USBUtilityCfg.ini; "" when no data folder
// is known. Builds nothing and does not touch FileName.
std::string configFilePath();

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

// The keys a backup adds to appSettings: whose settings it holds. The reset
// and the import pass over them.
inline constexpr const char* kBackupSerialKey = "EncoderSerial";
inline constexpr const char* kBackupPortKey = "EncoderPort";

// Before a firmware upgrade erases anything: writes the settings that will be
// written back into a new file beside configFile, named after the encoder's
// serial number and the time (USBUtilityCfg-SERIAL-YYYYMMDD-HHMMSS.ini, with
// -2, -3 ... for more in one second; USBUtilityCfg-YYYYMMDD-HHMMSS.ini
// without a serial), in the configuration file's layout plus the serial and
// port keys above, so a failure after the erase never loses them; a reset from
// that file sends them back. The name is taken exclusively: runs started in
// the same second each get their own file. Of the serial's backups the newest
// ten are kept (none that this process wrote is removed). path receives the
// file's name. False when it could not be written whole; then no file of
// that name is left behind.
bool writeUpgradeBackup(const link::DeviceStatus& settings, const std::string& configFile,
                        const std::string& serial, const std::string& port, std::string& path);

// What importConfigFile did, for callers that say more than the window does.
struct ImportDetails {
    bool nameDamagedLine = false;  // in: a section line without "]" is reported by its
                                   // line number instead of with kMsgImportException
    bool anyName = false;          // in: the chosen file may have any name (a backup's too);
                                   // the window takes only files named USBUtilityCfg.ini
    bool copyFailed = false;       // out: refused at the copy or the backup, not for the chosen file
    std::string backupPath;        // out: where the replaced file was kept; "" when none was
};

// The longest file taken as a configuration: a saved one is under 1 KiB.
inline constexpr std::size_t kConfigFileLimit = 1u << 20;

// Replaces configFile with chosenPath after checking its name (unless
// details->anyName), its nine keys
// and (when FirstUp is "Yes") every value as the reset from the file would
// take it; a NUL byte anywhere is refused too. The file replaced is first kept
// beside configFile as USBUtilityCfg-before-import-YYYYMMDD-HHMMSS.ini (never
// overwriting another), unless it is missing, the same bytes, or never saved
// into (FirstUp not "Yes": a first start's file).
// Every outcome but success is reported. True when the file was replaced.
bool importConfigFile(const std::string& chosenPath, const std::string& configFile, const Report& report,
                      ImportDetails* details = nullptr);

// Copies configFile into folder as USBUtilityCfg.ini. When the target exists,
// confirmOverwrite decides (false: stop silently). Failures are reported.
// True when the copy was made.
bool exportConfigFile(const std::string& folder, const std::string& configFile,
                      const std::function<bool()>& confirmOverwrite, const Report& report);

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

// Parses a stored decimal number as the encoder gets it (low 8 bits). Blanks
// around it and a sign are accepted; false for anything else or outside int32.
bool parseStoredByte(const std::string& text, std::uint8_t& byte);

// The 32 bytes of a CodeTableValues text: exactly 32 comma-separated numbers
// (a last comma allowed), each 0-255 and each modifier one the table editor
// offers (codetable::codeTableProblem). False with why ("holds 3 numbers
// instead of 32", "holds 'x', which is not a number", "holds 999, which is no
// code (0-255)") otherwise.
bool parseStoredTable(std::string_view text, link::CodeTable& table, std::string& why);

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

} // namespace vardo::config

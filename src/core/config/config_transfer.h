#pragma once
// Import of a configuration file in place of the utility's own, and export of
// it into a folder the operator picks. Qt-free: the picker and the overwrite
// question stay with the window; every text meant for the operator goes to the
// caller's Report.
#include <cstddef>
#include <functional>
#include <string>

#include "config/config_file.h"

namespace vardo::config {

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

} // namespace vardo::config

#pragma once
// The backups written before firmware upgrades (USBUtilityCfg-*.ini beside the
// configuration file): writing one, pruning old ones, and finding and reading
// them, so that an encoder recovered from its loader gets the settings it had.
// Qt-free.
#include "link/encoder_commands.h"

#include <string>

namespace vardo::config {

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

// The newest backup beside configFile (by time written) that records this USB
// port (its EncoderPort key) or, when serial is not "", this serial number
// (EncoderSerial); "" when none does. Files that do not read are passed over.
[[nodiscard]] std::string newestBackupFor(const std::string& configFile, const std::string& port,
                                          const std::string& serial);

// The settings a backup holds, as the write-back after an upgrade sends them:
// those a reset from the file would send, and its Options. "" when read; else
// why not ("it holds an invalid value for Options", ...).
[[nodiscard]] std::string readUpgradeBackup(const std::string& path, link::DeviceStatus& settings);

// The local time as YYYYMMDD-HHMMSS, for backup names.
std::string localTimeStamp();

// Writes bytes into base + ".ini", else base + "-2.ini", "-3" ...: a name no
// other run can have taken, even one started in the same second. path
// receives the name tried last.
bool writeUnderFreeName(const std::string& base, const std::string& bytes, std::string& path);

} // namespace vardo::config

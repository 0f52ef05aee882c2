#pragma once
// Finding and reading the backups written before firmware upgrades
// (USBUtilityCfg-*.ini beside the configuration file), so that an encoder
// recovered from its loader gets the settings it had. Qt-free.
#include "link/encoder_commands.h"

#include <string>

namespace vardo::config {

// The newest backup beside configFile (by time written) that records this USB
// port (its EncoderPort key) or, when serial is not "", this serial number
// (EncoderSerial); "" when none does. Files that do not read are passed over.
[[nodiscard]] std::string newestBackupFor(const std::string& configFile, const std::string& port,
                                          const std::string& serial);

// The settings a backup holds, as the write-back after an upgrade sends them:
// those a reset from the file would send, and its Options. "" when read; else
// why not ("it holds an invalid value for Options", ...).
[[nodiscard]] std::string readUpgradeBackup(const std::string& path, link::DeviceStatus& settings);

} // namespace vardo::config

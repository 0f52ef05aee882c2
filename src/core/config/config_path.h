#pragma once
// Where the utility's configuration file lives.
#include <string>

// Full 8-bit path of the configuration file
// (<user data folder>/VardoInterface/USBUtilityCfg.ini); empty until the main
// window's start-up builds it.
extern std::string FileName;

namespace vardo::config {

inline constexpr const char* kConfigFolderName = "VardoInterface";
inline constexpr const char* kConfigFileName = "USBUtilityCfg.ini";
inline constexpr const char* kSection = "appSettings";

} // namespace vardo::config

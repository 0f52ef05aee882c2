#pragma once
// Where the utility's configuration file lives, and the lock that keeps two
// programs from mixing their changes of it. Qt-free.
#include <string>

#include "platform/atomic_file.h"

// Full 8-bit path of the configuration file
// (<user data folder>/VardoInterface/USBUtilityCfg.ini); empty until the main
// window's start-up builds it.
extern std::string FileName;

namespace vardo::config {

inline constexpr const char* kConfigFolderName = "VardoInterface";
inline constexpr const char* kConfigFileName = "USBUtilityCfg.ini";
inline constexpr const char* kSection = "appSettings";

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

// <user data folder>/VardoInterface/USBUtilityCfg.ini; "" when no data folder
// is known. Builds nothing and does not touch FileName.
std::string configFilePath();

// True when something (of any kind, a dangling link too) is at path.
bool pathExists(const std::string& path);

// The folder part of path ("." when it has none).
std::string folderOf(const std::string& path);

} // namespace vardo::config

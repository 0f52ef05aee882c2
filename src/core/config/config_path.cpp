#include "config/config_path.h"

#include "platform/user_folder.h"

#include <sys/stat.h>

std::string FileName;

namespace vardo::config {

bool pathExists(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

namespace {

std::string lockFilePath(const std::string& configFile)
{
    return configFile.empty() ? std::string() : folderOf(configFile) + "/." + kConfigFileName + ".lock";
}

std::string lockProblem(const std::string& lockFile, platform::LockState state)
{
    const std::string what = platform::lockStateText(state);
    if (what.empty())
        return {};
    return std::string("Cannot lock ") + kConfigFileName + ": " + lockFile + " " + what
        + ". Remove it and try again.";
}

} // namespace

ConfigFileLock::ConfigFileLock(const std::string& configFile, bool forChange)
    : lock_(lockFilePath(configFile), forChange), problem_(lockProblem(lockFilePath(configFile), lock_.state()))
{
    // Those of the file itself and of its backups ("USBUtilityCfg-...").
    if (forChange && lock_.held())
        platform::removeStaleTemporaries(folderOf(configFile), "USBUtilityCfg");
}

std::string configFilePath()
{
    const std::string dataFolder = platform::userDataFolder();
    if (dataFolder.empty())
        return {};
    return dataFolder + "/" + kConfigFolderName + "/" + kConfigFileName;
}

} // namespace vardo::config

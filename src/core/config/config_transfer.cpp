#include "config/config_transfer.h"

#include "config/config_reset.h"
#include "config/inifile.h"
#include "config/upgrade_backups.h"
#include "platform/atomic_file.h"

#include <algorithm>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace vardo::config {

namespace {

std::string baseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Why a file to import holds something the reset could not send, or "".
std::string importedValueProblem(const std::string& bytes, const std::vector<Record>& records)
{
    if (const std::size_t nul = bytes.find('\0'); nul != std::string::npos) {
        const std::size_t lineStart = bytes.rfind('\n', nul) == std::string::npos ? 0 : bytes.rfind('\n', nul) + 1;
        const std::string line = bytes.substr(lineStart, bytes.find('\n', nul) - lineStart);
        std::string key = line.substr(0, line.find('='));
        Trim(key);
        const bool named = line.find('=') < nul - lineStart && !key.empty();
        const auto lineNumber = std::count(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(nul), '\n') + 1;
        return "line " + std::to_string(lineNumber) + (named ? " (" + key + ")" : std::string()) + " holds a NUL byte";
    }
    ResetPlan plan;
    BadValue bad;
    if (storedPlan(records, plan, bad) == Stored::Invalid)
        return std::string(bad.key) + " " + bad.why;
    return {};
}

// Keeps what configFile holds in a new file beside it that no other run can
// have taken, unless it is missing, holds replacement already or was never saved into.
enum class Kept { Nothing, Kept, Failed };
Kept keepReplacedFile(const std::string& configFile, const std::string& replacement, std::string& path)
{
    std::string old;
    if (!platform::readRegularFile(configFile, old) || old == replacement)
        return Kept::Nothing;
    // A file never saved into (a first start's) holds nothing to lose.
    try {
        std::vector<Record> records;
        parseIniText(old, records);
        ResetPlan unused;
        BadValue bad;
        if (storedPlan(records, unused, bad) == Stored::NotSaved)
            return Kept::Nothing;
    } catch (const IniFormatError&) {
        // Kept: it may have been mended by hand.
    }
    return writeUnderFreeName(folderOf(configFile) + "/USBUtilityCfg-before-import-" + localTimeStamp(), old, path)
               ? Kept::Kept
               : Kept::Failed;
}

} // namespace

bool importConfigFile(const std::string& chosenPath, const std::string& configFile, const Report& report,
                      ImportDetails* details)
{
    ImportDetails none;
    ImportDetails& out = details ? *details : none;
    out.copyFailed = false;
    out.backupPath.clear();
    const auto copyFailed = [&](const std::string& text) {
        report(text);
        out.copyFailed = true;
        return false;
    };
    try {
        if (!out.anyName && baseName(chosenPath) != kConfigFileName) {
            report(kMsgIncorrectFilename);
            return false;
        }
        // No configuration is that long: refused before it is read into memory.
        if (struct stat st {}; ::stat(chosenPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)
                               && static_cast<std::uint64_t>(st.st_size) > kConfigFileLimit) {
            report("Not imported: the file is too large (" + std::to_string(st.st_size) + " bytes, at most "
                   + std::to_string(kConfigFileLimit) + ").");
            return false;
        }
        // The bytes checked are the bytes copied, even if the file changes meanwhile.
        std::string bytes;
        const bool readable = platform::readRegularFile(chosenPath, bytes);
        if (readable) {
            std::vector<Record> records;
            try {
                parseIniText(bytes, records);
            } catch (const IniFormatError& e) {
                if (!out.nameDamagedLine)
                    throw;
                report("Not imported: line " + std::to_string(e.line()) + " is a section line without ']'.");
                return false;
            }
            bool hasSection = false;
            for (const Record& r : records)
                hasSection = hasSection || r.Section == kSection;
            if (!hasSection) {
                report(kMsgIncorrectFormat);
                return false;
            }
            bool allKeys = true;
            for (const char* key : kConfigKeys) {
                bool found = false;
                for (const Record& r : records)
                    found = found || (r.Section == kSection && r.Key == key);
                allKeys = allKeys && found;
            }
            if (!allKeys) {
                report(kMsgIncorrectFormat);
                return false;
            }
            // Refused now rather than by the next reset, with the good file gone.
            if (const std::string why = importedValueProblem(bytes, records); !why.empty()) {
                report("Not imported: " + why + ".");
                return false;
            }
        }
        const ConfigFileLock lock(configFile);
        if (!lock.problem().empty())
            return copyFailed(lock.problem());
        if (!readable)
            return copyFailed(kMsgImportCopyFailed);
        std::string kept;
        const Kept keeping = keepReplacedFile(configFile, bytes, kept);
        if (keeping == Kept::Failed)
            return copyFailed("Not imported: the current " + std::string(kConfigFileName)
                              + " could not be kept as " + kept + ".");
        if (!platform::replaceFile(configFile, bytes)) {
            if (keeping == Kept::Kept)
                ::unlink(kept.c_str());   // the file it keeps is still in place
            return copyFailed(kMsgImportCopyFailed);
        }
        if (keeping == Kept::Kept)
            out.backupPath = kept;
        return true;
    } catch (const std::exception&) {
        report(kMsgImportException);
        return false;
    }
}

bool exportConfigFile(const std::string& folder, const std::string& configFile,
                      const std::function<bool()>& confirmOverwrite, const Report& report)
{
    try {
        std::string target = folder;
        if (target.empty() || target.back() != '/')
            target += '/';
        target += kConfigFileName;
        if (pathExists(target) && !confirmOverwrite())
            return false;
        // Read under the lock so that a save in progress is copied whole or not at all.
        std::string bytes;
        bool readable = false;
        {
            const ConfigFileLock lock(configFile, false);
            if (!lock.problem().empty()) {
                report(lock.problem());
                return false;
            }
            readable = platform::readRegularFile(configFile, bytes);
        }
        if (!readable || !platform::replaceFile(target, bytes)) {
            report(kMsgExportCopyFailed);
            return false;
        }
        return true;
    } catch (const std::exception&) {
        report(kMsgExportException);
        return false;
    }
}

} // namespace vardo::config

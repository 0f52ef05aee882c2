#include "config/utility_config.h"

#include <ctime>

#include "codetable/usage_codes.h"
#include "config/inifile.h"
#include "link/encoder_commands.h"
#include "platform/atomic_file.h"
#include "platform/user_folder.h"

#include <algorithm>
#include <climits>
#include <vector>

#include <sys/stat.h>

namespace vardo::config {

namespace {

bool pathExists(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

// Creates folder and any missing parents (0700, as the XDG rules ask for the
// data home); a fresh account may not have ~/.local/share yet.
void makeFolders(const std::string& folder)
{
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = folder.find('/', pos + 1);
        partial = folder.substr(0, pos);
        if (!partial.empty() && !pathExists(partial))
            ::mkdir(partial.c_str(), 0700);
    }
}

std::string baseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool customisedLayout(std::uint8_t layout) { return codetable::isCustomisedLayout(layout); }

std::string invalidValueMessage(const char* key)
{
    return std::string(kMsgInvalidValuePrefix) + key + "..";
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

} // namespace

ConfigFileLock::ConfigFileLock(const std::string& configFile, bool forChange)
    : lock_(configFile.empty() ? std::string() : folderOf(configFile) + "/." + kConfigFileName + ".lock",
            forChange)
{
}

std::string configFilePath()
{
    const std::string dataFolder = platform::userDataFolder();
    if (dataFolder.empty())
        return {};
    return dataFolder + "/" + kConfigFolderName + "/" + kConfigFileName;
}

bool setUpConfigFile(const Report& report)
{
    FileName = configFilePath();
    return setUpConfigFile(FileName, report);
}

bool setUpConfigFile(const std::string& configFile, const Report& report)
{
    if (configFile.empty())
        return false;
    const std::string folder = folderOf(configFile);
    if (!pathExists(folder))
        makeFolders(folder);
    if (pathExists(configFile))
        return true;
    const ConfigFileLock lock(configFile);
    // Another program may have made it while we waited for the lock.
    if (pathExists(configFile))
        return true;
    try {
        if (!CIniFile::Create(configFile))
            return false;
        if (!CIniFile::AddSection(kSection, configFile))
            return false;
        for (const char* key : kConfigKeys)
            CIniFile::SetValue(key, "", kSection, configFile);
    } catch (const IniFormatError&) {
        // Only another program writing the new file meanwhile gets us here.
        report(kMsgFileDamaged);
    }
    return pathExists(configFile);
}

bool SetSettings(const std::string& key, const std::string& value, const std::string& configFile,
                 const Report& report)
{
    if (!CIniFile::SetValue(key, value, kSection, configFile)) {
        report(kMsgUpdateFailed);
        return false;
    }
    return true;
}

std::string GetSettings(const std::string& key, const std::string& configFile)
{
    return CIniFile::GetValue(key, kSection, configFile);
}

std::string codeTableText(const codetable::CodeTable& table)
{
    std::string text;
    for (std::uint8_t b : table)
        text += std::to_string(static_cast<unsigned>(b)) + ",";
    return text;
}

namespace {

// The save's eight keys and their values, in their fixed order.
std::array<std::pair<const char*, std::string>, 8> savedValues(const link::DeviceStatus& s)
{
    return {{{"FirstUp", "Yes"},
             {"KeypadLayout", std::to_string(s.keypadType)},
             {"LedBrightness", std::to_string(s.ledBrightness)},
             {"LedColour", std::to_string(s.ledColour)},
             {"Buzzer", std::to_string(s.buzzer)},
             {"BuzzerPeriod", std::to_string(s.buzzerPeriod)},
             {"CodeTableValues", codetable::isCustomisedLayout(s.keypadType) ? codeTableText(s.codeTable) : ""},
             {"Options", std::to_string(s.optionsFitted)}}};
}

// A free name beside the configuration file: USBUtilityCfg-YYYYMMDD-HHMMSS.ini,
// with -2, -3 ... when taken.
std::string freeBackupPath(const std::string& configFile)
{
    const auto slash = configFile.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : configFile.substr(0, slash);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = folder + "/USBUtilityCfg-" + stamp;
    std::string path = base + ".ini";
    struct stat st{};
    for (int n = 2; ::stat(path.c_str(), &st) == 0; ++n)
        path = base + "-" + std::to_string(n) + ".ini";
    return path;
}

} // namespace

SaveOutcome saveSettings(const link::DeviceStatus& s, const std::string& configFile, const Report& report)
{
    const ConfigFileLock lock(configFile);
    try {
        bool complete = true;
        for (const auto& [key, value] : savedValues(s)) {
            if (!CIniFile::SetValue(key, value, kSection, configFile)) {
                report(kMsgUpdateFailed);
                complete = false;
            }
        }
        return complete ? SaveOutcome::Saved : SaveOutcome::NotWritten;
    } catch (const IniFormatError&) {
        // The store refuses to rewrite a file it cannot read: nothing was written.
        report(kMsgFileDamaged);
        return SaveOutcome::Damaged;
    }
}

void recordFirmwareFile(const std::string& name, const std::string& configFile)
{
    if (configFile.empty())
        return;
    const ConfigFileLock lock(configFile);
    try {
        CIniFile::SetValue("FirmwareFile", name, kSection, configFile);
    } catch (const IniFormatError&) {
        // A damaged file simply leaves the name unrecorded.
    }
}

bool writeUpgradeBackup(const link::DeviceStatus& settings, const std::string& configFile,
                        std::string& path)
{
    path.clear();
    if (configFile.empty())
        return false;
    path = freeBackupPath(configFile);
    // Start from the configuration file when it reads, so FirmwareFile and any
    // hand-made comments come along; otherwise from the first-start shape.
    std::vector<Record> records;
    try {
        const ConfigFileLock lock(configFile, false);
        if (!CIniFile::Load(configFile, records))
            records.clear();
    } catch (const IniFormatError&) {
        records.clear();
    }
    if (records.empty()) {
        records.push_back(Record{});
        records.back().Section = kSection;
        for (const char* key : kConfigKeys)
            setValueIn(records, key, "", kSection);
    }
    for (const auto& [key, value] : savedValues(settings))
        setValueIn(records, key, value, kSection);
    // One write of the whole text: a full disk leaves no file, not an empty one.
    return platform::replaceFile(path, formatIniText(records));
}

bool copyFileReplacing(const std::string& from, const std::string& to)
{
    std::string bytes;
    return platform::readRegularFile(from, bytes) && platform::replaceFile(to, bytes);
}

bool importConfigFile(const std::string& chosenPath, const std::string& configFile, const Report& report)
{
    try {
        if (baseName(chosenPath) != kConfigFileName) {
            report(kMsgIncorrectFilename);
            return false;
        }
        // The bytes checked are the bytes copied, even if the file changes meanwhile.
        std::string bytes;
        const bool readable = platform::readRegularFile(chosenPath, bytes);
        if (readable) {
            std::vector<Record> records;
            parseIniText(bytes, records);
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
        }
        const ConfigFileLock lock(configFile);
        if (!readable || !platform::replaceFile(configFile, bytes)) {
            report(kMsgImportCopyFailed);
            return false;
        }
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

bool parseStoredByte(const std::string& text, std::uint8_t& byte)
{
    const char* blanks = " \t\n\v\f\r";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return false;
    const std::size_t last = text.find_last_not_of(blanks);
    std::string_view s(text.data() + first, last - first + 1);
    bool negative = false;
    if (s.front() == '+' || s.front() == '-') {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty())
        return false;
    long long value = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        return false;
    byte = static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFFu);
    return true;
}

ResetOutcome readResetPlan(const std::string& configFile, ResetPlan& plan, const Report& report)
{
    // One read, under the lock, so the values all come from the same save.
    std::vector<Record> records;
    try {
        const ConfigFileLock lock(configFile, false);
        CIniFile::Load(configFile, records);
    } catch (const IniFormatError&) {
        report(kMsgFileDamaged);
        return ResetOutcome::NotSent;
    }
    auto setting = [&](const char* key) {
        const auto it = std::find_if(records.begin(), records.end(), CIniFile::RecordSectionKeyIs(kSection, key));
        return it == records.end() ? std::string() : it->Value;
    };
    if (setting("FirstUp") != "Yes")
        return ResetOutcome::NotSaved;
    ResetPlan p;
    // Each value must be one the encoder takes: a refusal half way would leave
    // the layout and table of the file with the rest of the old settings.
    auto readByte = [&](const char* key, std::uint8_t& out, int highest) {
        std::uint8_t low = 0;
        const std::string text = setting(key);
        if (parseStoredByte(text, low) && std::stoll(text) >= 0 && std::stoll(text) <= highest) {
            out = low;
            return true;
        }
        report(invalidValueMessage(key));
        return false;
    };
    if (!readByte("KeypadLayout", p.keypadType, codetable::kLayoutCount - 1))
        return ResetOutcome::NotSent;
    p.sendTable = customisedLayout(p.keypadType);
    if (p.sendTable) {
        const std::string values = setting("CodeTableValues");
        std::size_t start = 0;
        for (std::size_t i = 0; i < p.codeTable.size(); ++i) {
            // Fewer than 32 numbers runs past the end of the text.
            const bool pastEnd = start > values.size();
            const std::size_t comma = pastEnd ? std::string::npos : values.find(',', start);
            const std::string piece =
                pastEnd ? std::string()
                        : values.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (pastEnd || !parseStoredByte(piece, p.codeTable[i])) {
                report(invalidValueMessage("CodeTableValues"));
                return ResetOutcome::NotSent;
            }
            start = comma == std::string::npos ? values.size() + 1 : comma + 1;
        }
    }
    if (!readByte("LedBrightness", p.ledBrightness, 9) || !readByte("LedColour", p.ledColour, 255)
        || !readByte("Buzzer", p.buzzer, 1) || !readByte("BuzzerPeriod", p.buzzerPeriod, 10))
        return ResetOutcome::NotSent;
    plan = p;
    return ResetOutcome::Sent;
}

ResetOutcome resetFromConfigFile(device::Encoder* encoder, const std::string& configFile,
                                 const Report& report, device::Result* result)
{
    if (result)
        *result = device::Result::Ok;
    ResetPlan plan;
    const ResetOutcome checked = readResetPlan(configFile, plan, report);
    if (checked != ResetOutcome::Sent)
        return checked;

    device::ConfigurationStep failed = device::ConfigurationStep::KeypadType;
    const device::Result r =
        encoder ? encoder->applyConfiguration(plan, failed) : device::Result::NoDevice;
    if (result)
        *result = r;
    if (r == device::Result::Ok)
        return ResetOutcome::Sent;
    switch (failed) {
    case device::ConfigurationStep::KeypadType:
        report(kMsgResetKeypad);
        return ResetOutcome::KeypadRefused;
    case device::ConfigurationStep::CodeTable:
        report(kMsgResetTable);
        return ResetOutcome::TableRefused;
    case device::ConfigurationStep::LedBrightness:
        report(kMsgResetBrightness);
        break;
    case device::ConfigurationStep::LedColour:
        report(kMsgResetColour);
        break;
    case device::ConfigurationStep::Buzzer:
        report(kMsgResetBuzzer);
        break;
    case device::ConfigurationStep::BuzzerPeriod:
        report(kMsgResetPeriod);
        break;
    }
    return ResetOutcome::SettingRefused;
}

} // namespace vardo::config

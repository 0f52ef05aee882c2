#include "config/utility_config.h"

#include <ctime>

#include "codetable/usage_codes.h"
#include "config/inifile.h"
#include "link/encoder_commands.h"
#include "platform/atomic_file.h"
#include "platform/user_folder.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <mutex>
#include <optional>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace vardo::config {

namespace {

bool pathExists(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
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

// A value as a message shows it: control bytes as "?", long ones cut short.
std::string shown(std::string_view value)
{
    std::string out;
    for (char c : value.substr(0, 24))
        out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
    return value.size() > 24 ? out + "..." : out;
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

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
    // A fresh account may not have ~/.local/share yet.
    if (!pathExists(folder))
        platform::makeFolders(folder);
    if (pathExists(configFile))
        return true;
    const ConfigFileLock lock(configFile);
    if (!lock.problem().empty()) {
        report(lock.problem());
        return false;
    }
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

std::string codeTableText(const link::CodeTable& table)
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

std::string localTimeStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return stamp;
}

// Writes bytes into base + ".ini", else base + "-2.ini", "-3" ...: a name no
// other run can have taken, even one started in the same second. path
// receives the name tried last.
bool writeUnderFreeName(const std::string& base, const std::string& bytes, std::string& path)
{
    for (int n = 1; n < 1000; ++n) {
        path = base + (n > 1 ? "-" + std::to_string(n) : std::string()) + ".ini";
        const platform::NewFile written = platform::writeNewFile(path, bytes);
        if (written != platform::NewFile::Exists)
            return written == platform::NewFile::Written;
    }
    return false;
}

constexpr std::size_t kBackupsKept = 10;
constexpr const char* kBackupPrefix = "USBUtilityCfg-";

// The backups this process wrote: never removed by its own later ones (an
// --all run over more encoders of one serial number than are kept).
std::mutex g_ownBackupsMutex;
std::vector<std::string> g_ownBackups;

// When name is an upgrade backup of the serial's (its part of the name given
// as serialPart), its stamp and number, which order backups from old to new.
std::optional<std::pair<std::string, int>> backupOrder(const std::string& name, const std::string& serialPart)
{
    const std::string prefix = kBackupPrefix + serialPart;
    // YYYYMMDD-HHMMSS[-n].ini
    if (name.size() < prefix.size() + 19 || name.compare(0, prefix.size(), prefix) != 0
        || name.compare(name.size() - 4, 4, ".ini") != 0)
        return std::nullopt;
    const std::string rest = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    for (std::size_t i = 0; i < 15; ++i)
        if (i == 8 ? rest[i] != '-' : (rest[i] < '0' || rest[i] > '9'))
            return std::nullopt;
    int n = 1;
    if (rest.size() > 15) {
        const std::string number = rest.substr(16);
        if (rest[15] != '-' || number.empty() || number.size() > 4
            || number.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        n = std::stoi(number);
    }
    return std::make_pair(rest.substr(0, 15), n);
}

// Removes the serial's backups in folder beyond the newest kBackupsKept.
void pruneBackups(const std::string& folder, const std::string& serialPart)
{
    std::vector<std::pair<std::pair<std::string, int>, std::string>> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (const auto order = backupOrder(name, serialPart); order && entry.is_regular_file(ec))
            found.emplace_back(*order, entry.path().string());
    }
    if (found.size() <= kBackupsKept)
        return;
    std::sort(found.begin(), found.end());
    found.resize(found.size() - kBackupsKept);
    std::lock_guard lock(g_ownBackupsMutex);
    for (const auto& [order, path] : found)
        if (std::find(g_ownBackups.begin(), g_ownBackups.end(), path) == g_ownBackups.end())
            std::filesystem::remove(path, ec);
}

// A value as one line of the file: control bytes would break it.
std::string oneLine(std::string value)
{
    for (char& c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return value;
}

} // namespace

bool parseStoredTable(std::string_view text, link::CodeTable& table, std::string& why)
{
    link::CodeTable bytes{};
    std::size_t count = 0;
    std::size_t start = 0;
    // Every comma-separated number is looked at: each a byte, exactly as many
    // as the table holds (one comma may end the list, as a save writes it).
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string piece(text.substr(start, comma - start));
        if (comma == text.size() && piece.empty())
            break;
        std::uint8_t byte = 0;
        if (!parseStoredByte(piece, byte)) {
            why = "holds '" + shown(piece) + "', which is not a number";
            return false;
        }
        if (std::stoll(piece) < 0 || std::stoll(piece) > 255) {
            why = "holds " + std::to_string(std::stoll(piece)) + ", which is no code (0-255)";
            return false;
        }
        if (count < bytes.size())
            bytes[count] = byte;
        ++count;
        start = comma + 1;
    }
    if (count != bytes.size()) {
        why = "holds " + std::to_string(count) + " numbers instead of 32";
        return false;
    }
    if (const std::string odd = codetable::codeTableProblem(bytes); !odd.empty()) {
        why = "holds a table in which " + odd;
        return false;
    }
    table = bytes;
    return true;
}

namespace {

enum class Stored { NotSaved, Valid, Invalid };
struct BadValue {
    const char* key = "";
    std::string why;   // after the key's name: "holds ..."
};

// The settings records hold as the reset sends them. Each value must be one
// the encoder takes: a refusal half way would leave the layout and table of
// the file with the rest of the old settings.
Stored storedPlan(const std::vector<Record>& records, ResetPlan& plan, BadValue& bad)
{
    auto setting = [&](const char* key) {
        const auto it = std::find_if(records.begin(), records.end(), CIniFile::RecordSectionKeyIs(kSection, key));
        return it == records.end() ? std::string() : it->Value;
    };
    if (setting("FirstUp") != "Yes")
        return Stored::NotSaved;
    ResetPlan p;
    auto readByte = [&](const char* key, std::uint8_t& out, int highest) {
        std::uint8_t low = 0;
        const std::string text = setting(key);
        if (parseStoredByte(text, low) && std::stoll(text) >= 0 && std::stoll(text) <= highest) {
            out = low;
            return true;
        }
        bad = {key, "holds \"" + shown(text) + "\", not a whole number from 0 to " + std::to_string(highest)};
        return false;
    };
    using codetable::Setting;
    using codetable::settingMax;
    if (!readByte("KeypadLayout", p.keypadType, settingMax(Setting::KeypadLayout)))
        return Stored::Invalid;
    p.sendTable = customisedLayout(p.keypadType);
    if (p.sendTable && !parseStoredTable(setting("CodeTableValues"), p.codeTable, bad.why)) {
        bad.key = "CodeTableValues";
        return Stored::Invalid;
    }
    if (!readByte("LedBrightness", p.ledBrightness, settingMax(Setting::LedBrightness))
        || !readByte("LedColour", p.ledColour, settingMax(Setting::LedColour)) || !readByte("Buzzer", p.buzzer, settingMax(Setting::Buzzer))
        || !readByte("BuzzerPeriod", p.buzzerPeriod, settingMax(Setting::BuzzerPeriod)))
        return Stored::Invalid;
    plan = p;
    return Stored::Valid;
}

} // namespace

SaveOutcome saveSettings(const link::DeviceStatus& s, const std::string& configFile, const Report& report)
{
    const ConfigFileLock lock(configFile);
    if (!lock.problem().empty()) {
        report(lock.problem());
        return SaveOutcome::NotWritten;
    }
    const auto values = savedValues(s);
    try {
        // All keys in one replacement: a kill half way leaves the old file or the new one.
        std::vector<Record> records;
        bool written = CIniFile::Load(configFile, records);
        if (written) {
            for (const auto& [key, value] : values)
                setValueIn(records, key, value, kSection);
            written = CIniFile::Save(configFile, records);
        }
        if (written)
            return SaveOutcome::Saved;
        for (std::size_t i = 0; i < values.size(); ++i)
            report(kMsgUpdateFailed);
        return SaveOutcome::NotWritten;
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
    if (!lock.problem().empty())
        return;
    try {
        CIniFile::SetValue("FirmwareFile", name, kSection, configFile);
    } catch (const IniFormatError&) {
        // A damaged file simply leaves the name unrecorded.
    }
}

bool writeUpgradeBackup(const link::DeviceStatus& settings, const std::string& configFile,
                        const std::string& serial, const std::string& port, std::string& path)
{
    path.clear();
    if (configFile.empty())
        return false;
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
    // New keys go first in the section: the serial number then heads it.
    setValueIn(records, kBackupPortKey, oneLine(port), kSection);
    setValueIn(records, kBackupSerialKey, oneLine(serial), kSection);

    const std::string folder = folderOf(configFile);
    const std::string serialPart = serial.empty() ? std::string() : platform::fileNamePart(serial) + "-";
    // One write of the whole text under a name taken exclusively: a full disk
    // leaves no file, and two runs in the same second never share one.
    if (!writeUnderFreeName(folder + "/" + kBackupPrefix + serialPart + localTimeStamp(), formatIniText(records),
                            path))
        return false;
    {
        std::lock_guard lock(g_ownBackupsMutex);
        g_ownBackups.push_back(path);
    }
    pruneBackups(folder, serialPart);
    return true;
}

namespace {

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
        if (!lock.problem().empty()) {
            report(lock.problem());
            return ResetOutcome::NotSent;
        }
        CIniFile::Load(configFile, records);
    } catch (const IniFormatError&) {
        report(kMsgFileDamaged);
        return ResetOutcome::NotSent;
    }
    BadValue bad;
    switch (storedPlan(records, plan, bad)) {
    case Stored::NotSaved:
        return ResetOutcome::NotSaved;
    case Stored::Invalid:
        report(invalidValueMessage(bad.key));
        return ResetOutcome::NotSent;
    case Stored::Valid:
        break;
    }
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

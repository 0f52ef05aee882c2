#include "config/upgrade_backups.h"

#include "config/config_file.h"
#include "config/config_reset.h"
#include "config/inifile.h"
#include "platform/atomic_file.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <vector>

#include <sys/stat.h>

namespace vardo::config {

std::string localTimeStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return stamp;
}

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

namespace {

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

// A key of any section, "" when missing.
std::string valueOf(const std::vector<CIniFile::Record>& records, const std::string& key)
{
    for (const auto& r : records)
        if (r.CommentMark == ' ' && r.Key == key)
            return r.Value;
    return {};
}

} // namespace

std::string newestBackupFor(const std::string& configFile, const std::string& port, const std::string& serial)
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(configFile).parent_path();
    std::string newest;
    struct timespec newestTime {};
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder.empty() ? fs::path(".") : folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("USBUtilityCfg-", 0) != 0 || entry.path().extension() != ".ini")
            continue;
        const std::string path = entry.path().string();
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        std::vector<CIniFile::Record> records;
        try {
            if (!CIniFile::Load(path, records))
                continue;
        } catch (const IniFormatError&) {
            continue;
        }
        const std::string recordedPort = valueOf(records, kBackupPortKey);
        const std::string recordedSerial = valueOf(records, kBackupSerialKey);
        const bool ours = (!port.empty() && recordedPort == port) || (!serial.empty() && recordedSerial == serial);
        const auto& t = st.st_mtim;
        // Written in the same tick: the later name (a later second, or "-2") wins.
        const bool newer = newest.empty() || t.tv_sec > newestTime.tv_sec
            || (t.tv_sec == newestTime.tv_sec
                && (t.tv_nsec > newestTime.tv_nsec || (t.tv_nsec == newestTime.tv_nsec && path > newest)));
        if (ours && newer) {
            newest = path;
            newestTime = t;
        }
    }
    return newest;
}

std::string readUpgradeBackup(const std::string& path, link::DeviceStatus& settings)
{
    std::string why;
    ResetPlan plan;
    switch (readResetPlan(path, plan, [&why](const std::string& text) { why = text; })) {
    case ResetOutcome::Sent:
        break;
    case ResetOutcome::NotSaved:
        return "it holds no saved settings (FirstUp is not Yes)";
    default:
        return why.empty() ? std::string("it cannot be read") : why;
    }
    std::string options;
    try {
        options = CIniFile::GetValue("Options", kSection, path);
    } catch (const IniFormatError&) {
    }
    std::uint8_t optionsByte = 0;
    if (!parseStoredByte(options, optionsByte) || std::stoll(options) < 0 || std::stoll(options) > 255)
        return std::string(kMsgInvalidValuePrefix) + "Options..";
    link::DeviceStatus s;
    s.keypadType = plan.keypadType;
    s.codeTable = plan.codeTable;
    s.ledBrightness = plan.ledBrightness;
    s.ledColour = plan.ledColour;
    s.buzzer = plan.buzzer;
    s.buzzerPeriod = plan.buzzerPeriod;
    s.optionsFitted = optionsByte;
    settings = s;
    return {};
}

} // namespace vardo::config

#include "config/upgrade_backups.h"

#include "config/inifile.h"
#include "config/utility_config.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include <sys/stat.h>

namespace vardo::config {

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

#include "config/utility_config.h"

#include <ctime>

#include "codetable/usage_codes.h"
#include "config/inifile.h"
#include "link/encoder_commands.h"
#include "platform/user_folder.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool readRegularFile(const std::string& path, std::string& out)
{
    if (path.empty())
        return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    std::string bytes;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    out = std::move(bytes);
    return true;
}

bool writeAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes bytes to a new file beside `to` and renames it over `to`.
bool replaceFileWith(const std::string& to, const std::string& bytes)
{
    if (to.empty())
        return false;
    std::string target = to;
    // A symbolic link keeps pointing where it did; its target gets the bytes.
    if (char* real = ::realpath(to.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && (!S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0
                   || ::access(target.c_str(), W_OK) != 0))
        return false;

    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    if (exists)
        ::fchmod(fd, st.st_mode & 07777);
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool customisedLayout(std::uint8_t layout) { return codetable::isCustomisedLayout(layout); }

std::string invalidValueMessage(const char* key)
{
    return std::string(kMsgInvalidValuePrefix) + key + "..";
}

} // namespace

bool setUpConfigFile(const Report& report)
{
    const std::string dataFolder = platform::userDataFolder();
    if (dataFolder.empty())
        return false;
    const std::string folder = dataFolder + "/" + kConfigFolderName;
    FileName = folder + "/" + kConfigFileName;
    if (!pathExists(folder))
        makeFolders(folder);
    if (pathExists(FileName))
        return true;
    try {
        if (!CIniFile::Create(FileName))
            return false;
        if (!CIniFile::AddSection(kSection, FileName))
            return false;
        for (const char* key : kConfigKeys)
            CIniFile::SetValue(key, "", kSection, FileName);
    } catch (const IniFormatError&) {
        // Only another program writing the new file meanwhile gets us here.
        report(kMsgFileDamaged);
    }
    return pathExists(FileName);
}

bool SetSettings(const std::string& key, const std::string& value, const Report& report)
{
    if (!CIniFile::SetValue(key, value, kSection, FileName)) {
        report(kMsgUpdateFailed);
        return false;
    }
    return true;
}

std::string GetSettings(const std::string& key)
{
    return CIniFile::GetValue(key, kSection, FileName);
}

std::string codeTableText(const codetable::CodeTable& table)
{
    std::string text;
    for (std::uint8_t b : table)
        text += std::to_string(static_cast<unsigned>(b)) + ",";
    return text;
}

namespace {

// The save's eight keys, in their fixed order, into file.
void saveSettingsTo(const std::string& file, const link::DeviceStatus& s, const Report& report)
{
    auto set = [&](const char* key, const std::string& value) {
        if (!CIniFile::SetValue(key, value, kSection, file))
            report(kMsgUpdateFailed);
    };
    set("FirstUp", "Yes");
    set("KeypadLayout", std::to_string(s.keypadType));
    set("LedBrightness", std::to_string(s.ledBrightness));
    set("LedColour", std::to_string(s.ledColour));
    set("Buzzer", std::to_string(s.buzzer));
    set("BuzzerPeriod", std::to_string(s.buzzerPeriod));
    set("CodeTableValues", codetable::isCustomisedLayout(s.keypadType) ? codeTableText(s.codeTable) : "");
    set("Options", std::to_string(s.optionsFitted));
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

void saveSettings(const link::DeviceStatus& s, const Report& report)
{
    try {
        saveSettingsTo(FileName, s, report);
    } catch (const IniFormatError&) {
        // The store refuses to rewrite a file it cannot read: nothing was written.
        report(kMsgFileDamaged);
    }
}

bool writeUpgradeBackup(const link::DeviceStatus& settings, std::string& path)
{
    path.clear();
    if (FileName.empty())
        return false;
    path = freeBackupPath(FileName);
    try {
        // Start from the configuration file when it reads, so FirmwareFile and
        // any hand-made comments come along; otherwise from the first-start shape.
        std::vector<Record> records;
        if (!CIniFile::Load(FileName, records) || !CIniFile::Save(path, records)) {
            if (!CIniFile::Create(path) || !CIniFile::AddSection(kSection, path))
                return false;
            for (const char* key : kConfigKeys)
                CIniFile::SetValue(key, "", kSection, path);
        }
    } catch (const IniFormatError&) {
        if (!CIniFile::Create(path) || !CIniFile::AddSection(kSection, path))
            return false;
        for (const char* key : kConfigKeys)
            CIniFile::SetValue(key, "", kSection, path);
    }
    bool ok = true;
    saveSettingsTo(path, settings, [&](const std::string&) { ok = false; });
    return ok;
}

bool copyFileReplacing(const std::string& from, const std::string& to)
{
    std::string bytes;
    return readRegularFile(from, bytes) && replaceFileWith(to, bytes);
}

bool importConfigFile(const std::string& chosenPath, const Report& report)
{
    try {
        if (baseName(chosenPath) != kConfigFileName) {
            report(kMsgIncorrectFilename);
            return false;
        }
        // The bytes checked are the bytes copied, even if the file changes meanwhile.
        std::string bytes;
        const bool readable = readRegularFile(chosenPath, bytes);
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
        if (!readable || !replaceFileWith(FileName, bytes)) {
            report(kMsgImportCopyFailed);
            return false;
        }
        return true;
    } catch (const std::exception&) {
        report(kMsgImportException);
        return false;
    }
}

bool exportConfigFile(const std::string& folder, const std::function<bool()>& confirmOverwrite,
                      const Report& report)
{
    try {
        std::string target = folder;
        if (target.empty() || target.back() != '/')
            target += '/';
        target += kConfigFileName;
        if (pathExists(target) && !confirmOverwrite())
            return false;
        if (!copyFileReplacing(FileName, target)) {
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

ResetOutcome readResetPlan(ResetPlan& plan, const Report& report)
{
    try {
        if (GetSettings("FirstUp") != "Yes")
            return ResetOutcome::NotSaved;
        ResetPlan p;
        auto readByte = [&](const char* key, std::uint8_t& out) {
            if (parseStoredByte(GetSettings(key), out))
                return true;
            report(invalidValueMessage(key));
            return false;
        };
        if (!readByte("KeypadLayout", p.keypadType))
            return ResetOutcome::NotSent;
        p.sendTable = customisedLayout(p.keypadType);
        if (p.sendTable) {
            const std::string values = GetSettings("CodeTableValues");
            std::size_t start = 0;
            for (std::size_t i = 0; i < p.codeTable.size(); ++i) {
                // Fewer than 32 numbers runs past the end of the text.
                const bool pastEnd = start > values.size();
                const std::size_t comma = pastEnd ? std::string::npos : values.find(',', start);
                const std::string piece =
                    pastEnd ? std::string()
                            : values.substr(start, comma == std::string::npos ? std::string::npos
                                                                              : comma - start);
                if (pastEnd || !parseStoredByte(piece, p.codeTable[i])) {
                    report(invalidValueMessage("CodeTableValues"));
                    return ResetOutcome::NotSent;
                }
                start = comma == std::string::npos ? values.size() + 1 : comma + 1;
            }
        }
        if (!readByte("LedBrightness", p.ledBrightness) || !readByte("LedColour", p.ledColour)
            || !readByte("Buzzer", p.buzzer) || !readByte("BuzzerPeriod", p.buzzerPeriod))
            return ResetOutcome::NotSent;
        plan = p;
        return ResetOutcome::Sent;
    } catch (const IniFormatError&) {
        report(kMsgFileDamaged);
        return ResetOutcome::NotSent;
    }
}

ResetOutcome resetFromConfigFile(device::Encoder* encoder, const Report& report,
                                 device::Result* result)
{
    if (result)
        *result = device::Result::Ok;
    ResetPlan plan;
    const ResetOutcome checked = readResetPlan(plan, report);
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

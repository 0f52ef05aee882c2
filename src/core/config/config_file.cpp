#include "config/config_file.h"

#include "codetable/usage_codes.h"
#include "config/inifile.h"
#include "platform/atomic_file.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace vardo::config {

std::string shown(std::string_view value)
{
    std::string out;
    for (char c : value.substr(0, 24))
        out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
    return value.size() > 24 ? out + "..." : out;
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

} // namespace vardo::config

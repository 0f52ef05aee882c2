#include "config/config_reset.h"

#include "codetable/usage_codes.h"

#include <algorithm>

namespace vardo::config {

namespace {

bool customisedLayout(std::uint8_t layout) { return codetable::isCustomisedLayout(layout); }

std::string invalidValueMessage(const char* key)
{
    return std::string(kMsgInvalidValuePrefix) + key + "..";
}

} // namespace

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
